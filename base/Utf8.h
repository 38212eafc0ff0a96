// Strict UTF-8 decoding (no overlong forms, no encoded surrogates, nothing
// above U+10FFFF), for text that comes from the server.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mv {

// The UTF-16 form of `text`; nothing when it is not valid UTF-8.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

bool IsValidUtf8(std::string_view text);

// Bytes of the valid UTF-8 sequence that starts at text[i]; 0 when the bytes
// there are not one.
size_t Utf8SequenceLength(std::string_view text, size_t i);

}  // namespace mv
