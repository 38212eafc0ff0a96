// The body of a poll answer through the classification. Checked: the code is
// one of the four; the out-parameter changes only for a batch, and then holds
// a JSON object (after a byte-order mark, if any) with "messages" and without
// "error", with no white space at either end, that classifies again as the
// same batch; white space and line breaks around the body change nothing.
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
  const size_t start = batch.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  rapidjson::Document doc;
  MV_FUZZ_CHECK(batch.size() > start && batch[start] == '{' && batch.back() == '}' && ParseJson(batch, doc) &&
                doc.IsObject() && JsonHas(doc, "messages") && !JsonHas(doc, "error"));
  MV_FUZZ_CHECK(ClassifyPollText(batch, &again) == kPollBatch && again == batch);
  return 0;
}
