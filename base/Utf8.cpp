#include "base/Utf8.h"

#include <cstdint>

namespace mv {
namespace {

// Decodes the code point starting at text[i], advancing i; nothing when the
// bytes there are not a valid UTF-8 sequence.
std::optional<char32_t> Next(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  size_t length;
  char32_t cp;
  char32_t min;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (i + length > text.size()) return std::nullopt;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  i += length;
  return cp;
}

}  // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const std::optional<char32_t> cp = Next(text, i);
    if (!cp) return std::nullopt;
    if (*cp < 0x10000) {
      out.push_back(static_cast<char16_t>(*cp));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((*cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((*cp - 0x10000) & 0x3FF)));
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (!Next(text, i)) return false;
  }
  return true;
}

size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const size_t start = i;
  return Next(text, i) ? i - start : 0;
}

}  // namespace mv
