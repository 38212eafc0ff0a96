// The body of a handshake answer through the token extraction and the log
// redaction. Checked: a token is handed over exactly when the body is one
// JSON object with a "token" member, and it is the string of the first such
// member (empty when that is not a string); the log text is the body itself
// unless the root holds a non-empty string token, and then it is an object
// with as many members in which every "token" member of the root holds
// "<redacted>", the empty string or a non-string.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/FuzzCheck.h"
#include "transport/Json.h"
#include "transport/LongPoll.h"

namespace {

// Whether the body is one JSON object: what the handshake insists on (a NUL
// byte anywhere makes it something else).
bool IsWholeObject(const std::string& body, rapidjson::Document& doc) {
  return body.find('\0') == std::string::npos && mv::ParseJson(body, doc) && doc.IsObject();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mv;
  const std::string body(reinterpret_cast<const char*>(data), size);

  rapidjson::Document doc;
  const bool object = IsWholeObject(body, doc);
  const std::optional<std::string> token = TokenFromHandshake(body);
  MV_FUZZ_CHECK(token.has_value() == (object && JsonHas(doc, "token")));
  if (token) MV_FUZZ_CHECK(*token == JsonStr(doc, "token", ""));

  bool has_secret = false;
  if (object) {
    for (const auto& member : std::as_const(doc).GetObject()) {
      has_secret |= std::string_view(member.name.GetString(), member.name.GetStringLength()) ==
                        "token" &&
                    member.value.IsString() && member.value.GetStringLength() > 0;
    }
  }
  const std::string logged = HandshakeLogText(body);
  if (!has_secret) {
    MV_FUZZ_CHECK(logged == body);
    return 0;
  }
  rapidjson::Document redacted;
  MV_FUZZ_CHECK(IsWholeObject(logged, redacted));
  MV_FUZZ_CHECK(redacted.MemberCount() == doc.MemberCount());
  for (const auto& member : std::as_const(redacted).GetObject()) {
    if (std::string_view(member.name.GetString(), member.name.GetStringLength()) != "token") continue;
    MV_FUZZ_CHECK(!member.value.IsString() || member.value.GetStringLength() == 0 ||
                  std::string_view(member.value.GetString()) == "<redacted>");
  }
  return 0;
}
