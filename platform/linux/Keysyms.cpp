#include "platform/linux/Keysyms.h"

#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include "platform/KeyCodes.h"

namespace mv {

uint32_t KeysymForKeyCode(uint16_t key_code) {
  switch (key_code) {
    case keycode::kReturn: return XK_Return;
    case keycode::kTab: return XK_Tab;
    case keycode::kSpace: return XK_space;
    case keycode::kDelete: return XK_BackSpace;
    case keycode::kForwardDelete: return XK_Delete;
    case keycode::kEscape: return XK_Escape;
    case keycode::kLeftArrow: return XK_Left;
    case keycode::kRightArrow: return XK_Right;
    case keycode::kDownArrow: return XK_Down;
    case keycode::kUpArrow: return XK_Up;
  }
  if (auto letter = keycode::LetterFor(key_code)) return XK_a + (*letter - 'A');
  return 0;
}

uint32_t KeysymForCodePoint(char32_t c) {
  switch (c) {
    case U'\b': return XK_BackSpace;
    case U'\t': return XK_Tab;
    case U'\n':
    case U'\r': return XK_Return;
    case U'\x1b': return XK_Escape;
  }
  if (c < 0x20 || (c >= 0x7f && c < 0xa0)) return 0;
  // Layouts name many characters by older keysyms (EuroSign, Cyrillic_a,
  // ...) that a compositor looking keysyms up on the layout only finds
  // under that name; the rest are 0x1000000 + code point.
  return xkb_utf32_to_keysym(c);
}

std::vector<char32_t> DecodeUtf16(const std::u16string& units) {
  std::vector<char32_t> result;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t u = units[i];
    bool high = u >= 0xD800 && u <= 0xDBFF;
    bool low = u >= 0xDC00 && u <= 0xDFFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      result.push_back(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (!high && !low) {
      result.push_back(u);
    }
  }
  return result;
}

}  // namespace mv
