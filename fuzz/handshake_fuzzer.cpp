// The body of a handshake answer through the token extraction and the log
// redaction. Checked: a token is handed over exactly when the body is one
// JSON object with a "token" member, and it is the string of the first such
// member (empty when that is not a string); the log text is the body itself
// unless the root holds a non-empty string token, and then it is an object
// with as many members in which no "token" member holds a non-empty string
// other than "<redacted>".
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "transport/Json.h"
#include "transport/LongPoll.h"

namespace {

// Whether the body is one JSON object: what the handshake insists on (a NUL
// byte anywhere makes it something else).
bool IsObject(const std::string& body, rapidjson::Document& doc) {
  return body.find('\0') == std::string::npos && mv::ParseJson(body, doc) && doc.IsObject();
}

// Whether a "token" member of the root holds a non-empty string, other than
// `except`.
bool HoldsToken(const rapidjson::Document& doc, const char* except = "") {
  bool found = false;
  for (const auto& member : doc.GetObject()) {
    found |= member.name == "token" && member.value.IsString() && member.value.GetStringLength() > 0 &&
             member.value != except;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mv;
  const std::string body(reinterpret_cast<const char*>(data), size);
  rapidjson::Document doc, redacted;
  const bool object = IsObject(body, doc);
  const std::optional<std::string> token = TokenFromHandshake(body);
  MV_FUZZ_CHECK(token.has_value() == (object && JsonHas(doc, "token")));
  MV_FUZZ_CHECK(!token || *token == JsonStr(doc, "token", ""));
  const std::string logged = HandshakeLogText(body);
  if (!object || !HoldsToken(doc)) {
    MV_FUZZ_CHECK(logged == body);
    return 0;
  }
  MV_FUZZ_CHECK(IsObject(logged, redacted) && !HoldsToken(redacted, "<redacted>"));
  MV_FUZZ_CHECK(redacted.MemberCount() == doc.MemberCount());
  return 0;
}
