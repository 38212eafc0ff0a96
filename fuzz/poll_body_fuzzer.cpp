// The body of a poll answer through the classification. Checked: the code is
// one of the four; the out-parameter changes only for a batch, and then holds
// a JSON object with "messages" and without "error" that classifies again as
// the same batch, and starts with "{" or a byte-order mark (which JSON white
// space may follow) and ends with "}"; white space and line breaks around the
// body change nothing.
#include "fuzz/FuzzCheck.h"
#include "transport/Json.h"
#include "transport/LongPoll.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mv;
  const std::string body(reinterpret_cast<const char*>(data), size), kUnset = "\x01unset";
  std::string batch = kUnset, padded = kUnset, again;
  const int code = ClassifyPollText(body, &batch);
  MV_FUZZ_CHECK(code == kPollBatch || code == kPollNothing || code == kPollError || code == kPollClosed);
  MV_FUZZ_CHECK(ClassifyPollText(" \r\n\t" + body + "\n\u2028 ", &padded) == code && padded == batch);
  MV_FUZZ_CHECK((code == kPollBatch) == (batch != kUnset));
  if (code != kPollBatch) return 0;
  rapidjson::Document doc;
  MV_FUZZ_CHECK((batch.starts_with('{') || batch.starts_with("\xEF\xBB\xBF")) && batch.ends_with('}') &&
                ParseJson(batch, doc) && doc.IsObject() && JsonHas(doc, "messages") && !JsonHas(doc, "error"));
  MV_FUZZ_CHECK(ClassifyPollText(batch, &again) == kPollBatch && again == batch);
  return 0;
}
