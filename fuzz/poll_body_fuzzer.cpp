// The body of a poll answer through the classification. Checked: the code is
// one of the four; the out-parameter changes only for a batch, and then
// holds a JSON object (after a byte-order mark, if any) with "messages" and without "error" that has no white
// space at either end and classifies again as the same batch; surrounding
// the body with white space and line breaks never changes the answer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "transport/Json.h"
#include "transport/LongPoll.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mv;
  const std::string body(reinterpret_cast<const char*>(data), size);
  const std::string kUnset = "\x01unset";

  std::string batch = kUnset;
  const int code = ClassifyPollText(body, &batch);
  MV_FUZZ_CHECK(code == kPollBatch || code == kPollNothing || code == kPollError ||
                code == kPollClosed);
  MV_FUZZ_CHECK(ClassifyPollText(body, nullptr) == code);
  if (code != kPollBatch) {
    MV_FUZZ_CHECK(batch == kUnset);
  } else {
    // A leading byte-order mark stays: the JSON parser skips it.
    const std::string_view object = std::string_view(batch).starts_with("\xEF\xBB\xBF")
                                        ? std::string_view(batch).substr(3)
                                        : std::string_view(batch);
    MV_FUZZ_CHECK(!object.empty() && object.front() == '{' && object.back() == '}');
    rapidjson::Document doc;
    MV_FUZZ_CHECK(ParseJson(batch, doc) && doc.IsObject());
    MV_FUZZ_CHECK(JsonHas(doc, "messages") && !JsonHas(doc, "error"));
    std::string again;
    MV_FUZZ_CHECK(ClassifyPollText(batch, &again) == kPollBatch && again == batch);
  }
  std::string padded_batch = kUnset;
  MV_FUZZ_CHECK(ClassifyPollText(" \r\n\t" + body + "\n\u2028 ", &padded_batch) == code);
  MV_FUZZ_CHECK(padded_batch == batch);
  return 0;
}
