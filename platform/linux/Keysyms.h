// X keysyms of the protocol's named keys and of typed characters, shared by
// the desktops that take keysyms (XTest and the RemoteDesktop portal).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mv {

// 0 when the key code names no key.
uint32_t KeysymForKeyCode(uint16_t key_code);
// The keysym layouts give the character (Latin-1 ones are the code points,
// characters without a name of their own 0x1000000 + code point); control
// characters that are keys of their own map to them, the others to 0.
uint32_t KeysymForCodePoint(char32_t c);
// Code points of UTF-16 text; a lone surrogate is dropped.
std::vector<char32_t> DecodeUtf16(const std::u16string& units);

}  // namespace mv
