// The body of a handshake answer through the log redaction, which must never
// let a live token into the log. Checked: the log text is the body itself
// unless the root is one JSON object holding a non-empty string token, and
// then it is an object with as many members in which no "token" member holds
// a non-empty string other than "<redacted>".
#include "fuzz/FuzzCheck.h"
#include "transport/Json.h"
#include "transport/LongPoll.h"

namespace {

// Whether the text is one JSON object (a NUL byte anywhere makes it something
// else) whose root holds a non-empty string "token" other than `except`.
bool HoldsToken(const std::string& text, rapidjson::Document& doc, const char* except = "") {
  bool found = false;
  if (text.find('\0') != std::string::npos || !mv::ParseJson(text, doc) || !doc.IsObject()) return false;
  for (const auto& m : std::as_const(doc).GetObject()) {
    found |= m.name == "token" && m.value.IsString() && m.value.GetStringLength() > 0 && m.value != except;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size), logged = mv::HandshakeLogText(body);
  rapidjson::Document doc, redacted;
  if (!HoldsToken(body, doc)) {
    MV_FUZZ_CHECK(logged == body);
    return 0;
  }
  MV_FUZZ_CHECK(!HoldsToken(logged, redacted, "<redacted>") && redacted.IsObject() &&
                redacted.MemberCount() == doc.MemberCount());
  return 0;
}
