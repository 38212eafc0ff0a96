#include "platform/linux/X11Keyboard.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <thread>

#include "platform/KeyCodes.h"
#include "platform/Platform.h"
#include "platform/linux/X11ErrorTrap.h"

namespace mv {
namespace {

// Clients read a changed keymap lazily, when the next key event reaches
// them: press a freshly bound keycode only after they had time to see the
// change, and leave a released one alone long enough for its events to be
// translated with the binding they were meant for.
constexpr auto kSettleAfterBind = std::chrono::milliseconds(10);
constexpr auto kKeepAfterRelease = std::chrono::milliseconds(20);

KeySym KeysymForKeyCode(uint16_t key_code) {
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
  return NoSymbol;
}

// Control characters that are keys of their own; the others are dropped.
KeySym KeysymForCodePoint(char32_t c) {
  switch (c) {
    case U'\b': return XK_BackSpace;
    case U'\t': return XK_Tab;
    case U'\n':
    case U'\r': return XK_Return;
    case U'\x1b': return XK_Escape;
  }
  if (c < 0x20 || (c >= 0x7f && c < 0xa0)) return NoSymbol;
  if (c <= 0xff) return c;  // Latin-1 keysyms are the code points
  return 0x1000000 + c;
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

bool IsDown(const char keys[32], KeyCode key) { return keys[key / 8] & (1 << (key % 8)); }

}  // namespace

unsigned ModifierMaskOf(const XModifierKeymap* modmap, KeyCode key) {
  if (!modmap || key == 0) return 0;
  for (int index = 0; index < 8; ++index) {
    for (int i = 0; i < modmap->max_keypermod; ++i) {
      if (modmap->modifiermap[index * modmap->max_keypermod + i] == key) return 1u << index;
    }
  }
  return 0;
}

// The keyboard as it is now: keysyms, key types, active group, locked
// modifiers and the modifier map.
class X11Keyboard::Layout {
 public:
  Layout(Display* display, bool with_xkb) {
    XDisplayKeycodes(display, &min_keycode, &max_keycode);
    modmap = XGetModifierMapping(display);
    if (with_xkb) {
      xkb = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
      XkbStateRec state;
      if (XkbGetState(display, XkbUseCoreKbd, &state) == Success) {
        group = state.group;
        locked_modifiers = state.locked_mods;
      }
    }
    level3_key = XKeysymToKeycode(display, XK_ISO_Level3_Shift);
    level3_mask = ModifierMaskOf(modmap, level3_key);
  }
  ~Layout() {
    if (modmap) XFreeModifiermap(modmap);
    if (xkb) XkbFreeKeyboard(xkb, 0, True);
  }
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;

  // The keysym that `key` gives with `modifiers` held, in the active group.
  KeySym Translate(KeyCode key, unsigned modifiers) const {
    if (!xkb) return NoSymbol;
    unsigned consumed = 0;
    KeySym keysym = NoSymbol;
    unsigned state = XkbBuildCoreState(modifiers | locked_modifiers, group);
    if (!XkbTranslateKeyCode(xkb, key, state, &consumed, &keysym)) return NoSymbol;
    return keysym;
  }

  int KeysymCount(KeyCode key) const { return xkb ? XkbKeyNumSyms(xkb, key) : 0; }
  KeySym FirstKeysym(KeyCode key) const {
    return KeysymCount(key) > 0 ? XkbKeySymsPtr(xkb, key)[0] : NoSymbol;
  }

  // The first key bound to the modifier of `mask` (one bit); 0 when none.
  KeyCode KeyOf(unsigned mask) const {
    if (!modmap || mask == 0) return 0;
    int index = __builtin_ctz(mask);
    for (int i = 0; i < modmap->max_keypermod; ++i) {
      KeyCode key = modmap->modifiermap[index * modmap->max_keypermod + i];
      if (key) return key;
    }
    return 0;
  }

  int min_keycode = 8;
  int max_keycode = 255;
  XModifierKeymap* modmap = nullptr;
  XkbDescPtr xkb = nullptr;
  int group = 0;
  unsigned locked_modifiers = 0;
  KeyCode level3_key = 0;
  unsigned level3_mask = 0;
};

X11Keyboard::X11Keyboard(Display* display, const std::atomic<bool>* stop)
    : display_(display), stop_(stop) {
  int opcode, event, error, major = XkbMajorVersion, minor = XkbMinorVersion;
  has_xkb_ = XkbQueryExtension(display_, &opcode, &event, &error, &major, &minor);
  int min_keycode, max_keycode;
  XDisplayKeycodes(display_, &min_keycode, &max_keycode);
  int per_keycode = 0;
  KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(min_keycode),
                                    max_keycode - min_keycode + 1, &per_keycode);
  if (!map) return;
  for (int key = min_keycode; key <= max_keycode; ++key) {
    const KeySym* syms = map + (key - min_keycode) * per_keycode;
    if (std::all_of(syms, syms + per_keycode, [](KeySym s) { return s == NoSymbol; })) {
      spares_.push_back({static_cast<KeyCode>(key)});
    }
  }
  XFree(map);
}

X11Keyboard::~X11Keyboard() {
  X11ErrorTrap trap(display_);
  KeySym empty[2] = {NoSymbol, NoSymbol};
  for (Spare& spare : spares_) {
    if (spare.bound == NoSymbol) continue;
    std::this_thread::sleep_until(spare.free_at);
    XChangeKeyboardMapping(display_, spare.keycode, 2, empty, 1);
  }
}

void X11Keyboard::Chord(uint16_t key_code, uint64_t flags) {
  KeySym keysym = KeysymForKeyCode(key_code);
  if (keysym == NoSymbol) return;
  X11ErrorTrap trap(display_);
  Layout layout(display_, has_xkb_);
  ForgetReplacedSpares(layout);

  // Desktop shortcuts here use Control where the protocol's flags say
  // Command or Option.
  unsigned modifiers = 0;
  if (flags & (kEventFlagCommand | kEventFlagAlternate)) modifiers |= ControlMask;
  if (flags & kEventFlagShift) modifiers |= ShiftMask;

  std::optional<Stroke> stroke = FindOnLayout(layout, keysym, {0});
  if (!stroke) {
    // Not on the active group: a key that has it elsewhere, else a spare.
    KeyCode key = XKeysymToKeycode(display_, keysym);
    bool spare = std::any_of(spares_.begin(), spares_.end(),
                             [key](const Spare& s) { return s.keycode == key; });
    if (key != 0 && !spare) {
      stroke = Stroke{key};
    } else if (Spare* free = SpareFor(keysym, {})) {
      if (Bind(*free, keysym)) {
        XSync(display_, False);
        std::this_thread::sleep_for(kSettleAfterBind);
      }
      stroke = Stroke{free->keycode, 0, free};
    } else {
      return;
    }
  }
  stroke->modifiers |= modifiers;
  std::vector<KeyCode> held = ReleaseHeldModifiers(layout);
  Strike(*stroke, layout);
  PressAgain(held);
}

void X11Keyboard::Type(const std::u16string& units) {
  std::vector<char32_t> text = DecodeUtf16(units);
  if (text.empty()) return;
  X11ErrorTrap trap(display_);
  Layout layout(display_, has_xkb_);
  ForgetReplacedSpares(layout);

  std::vector<unsigned> modifier_sets = {0, ShiftMask};
  if (layout.level3_mask != 0) {
    modifier_sets.push_back(layout.level3_mask);
    modifier_sets.push_back(layout.level3_mask | ShiftMask);
  }
  // Caps Lock would turn characters of bound spare keys into capitals:
  // unlock it while typing.
  const bool caps_lock = layout.locked_modifiers & LockMask;
  if (caps_lock) {
    XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
    layout.locked_modifiers &= ~LockMask;
  }
  std::vector<KeySym> keysyms;
  for (char32_t c : text) {
    KeySym keysym = KeysymForCodePoint(c);
    if (keysym != NoSymbol) keysyms.push_back(keysym);
  }
  std::vector<KeyCode> held = ReleaseHeldModifiers(layout);
  // Every binding a piece of text needs is made before its first key goes
  // out: clients then see all the changes before any of its keys, and never
  // look a key up while a change is still on its way to them.
  for (size_t start = 0; start < keysyms.size();) {
    std::vector<Stroke> strokes;
    std::vector<Spare*> claimed;
    bool bound = false;
    size_t end = start;
    for (; end < keysyms.size(); ++end) {
      if (auto stroke = FindOnLayout(layout, keysyms[end], modifier_sets)) {
        strokes.push_back(*stroke);
        continue;
      }
      Spare* spare = SpareFor(keysyms[end], claimed);
      if (!spare) break;  // out of spares: the rest follows in another piece
      if (std::find(claimed.begin(), claimed.end(), spare) == claimed.end()) {
        claimed.push_back(spare);
      }
      bound = Bind(*spare, keysyms[end]) || bound;
      strokes.push_back(Stroke{spare->keycode, 0, spare});
    }
    if (end == start) {  // no spare keycode at all
      ++start;
      continue;
    }
    if (bound) {
      XSync(display_, False);
      std::this_thread::sleep_for(kSettleAfterBind);
    }
    for (const Stroke& stroke : strokes) {
      if (*stop_) break;
      Strike(stroke, layout);
    }
    start = end;
  }
  PressAgain(held);
  if (caps_lock) {
    XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
    XSync(display_, False);
  }
}

std::optional<X11Keyboard::Stroke> X11Keyboard::FindOnLayout(
    const Layout& layout, KeySym keysym, const std::vector<unsigned>& modifier_sets) {
  for (unsigned modifiers : modifier_sets) {
    for (int key = layout.min_keycode; key <= layout.max_keycode; ++key) {
      // Spares are looked up through their own records: the snapshot may
      // predate a rebinding made during this call.
      bool spare = std::any_of(spares_.begin(), spares_.end(),
                               [key](const Spare& s) { return s.keycode == key; });
      if (!spare && layout.Translate(static_cast<KeyCode>(key), modifiers) == keysym) {
        return Stroke{static_cast<KeyCode>(key), modifiers};
      }
    }
  }
  return std::nullopt;
}

X11Keyboard::Spare* X11Keyboard::SpareFor(KeySym keysym, const std::vector<Spare*>& claimed) {
  Spare* least_recent = nullptr;
  for (Spare& spare : spares_) {
    if (spare.bound == keysym) return &spare;
    if (std::find(claimed.begin(), claimed.end(), &spare) != claimed.end()) continue;
    if (!least_recent || spare.free_at < least_recent->free_at) least_recent = &spare;
  }
  return least_recent;
}

bool X11Keyboard::Bind(Spare& spare, KeySym keysym) {
  if (spare.bound == keysym) return false;
  std::this_thread::sleep_until(spare.free_at);
  // The same keysym on both levels: a lone letter would be taken as the
  // lower case of a pair, so a capital would arrive in small letters.
  KeySym both[2] = {keysym, keysym};
  XChangeKeyboardMapping(display_, spare.keycode, 2, both, 1);
  spare.bound = keysym;
  return true;
}

void X11Keyboard::Strike(const Stroke& stroke, const Layout& layout) {
  std::vector<KeyCode> modifier_keys;
  for (unsigned mask : {static_cast<unsigned>(ShiftMask), static_cast<unsigned>(ControlMask),
                        layout.level3_mask}) {
    if (mask == 0 || !(stroke.modifiers & mask)) continue;
    KeyCode key = mask == layout.level3_mask ? layout.level3_key : layout.KeyOf(mask);
    if (key != 0) modifier_keys.push_back(key);
  }
  for (KeyCode key : modifier_keys) XTestFakeKeyEvent(display_, key, True, CurrentTime);
  XTestFakeKeyEvent(display_, stroke.keycode, True, CurrentTime);
  XTestFakeKeyEvent(display_, stroke.keycode, False, CurrentTime);
  for (auto it = modifier_keys.rbegin(); it != modifier_keys.rend(); ++it) {
    XTestFakeKeyEvent(display_, *it, False, CurrentTime);
  }
  XSync(display_, False);
  if (stroke.spare) stroke.spare->free_at = Clock::now() + kKeepAfterRelease;
}

std::vector<KeyCode> X11Keyboard::ReleaseHeldModifiers(const Layout& layout) {
  std::vector<KeyCode> released;
  if (!layout.modmap) return released;
  char keys[32];
  XQueryKeymap(display_, keys);
  for (int index = 0; index < 8; ++index) {
    if (index == LockMapIndex) continue;  // pressing Caps Lock again would toggle it
    for (int i = 0; i < layout.modmap->max_keypermod; ++i) {
      KeyCode key = layout.modmap->modifiermap[index * layout.modmap->max_keypermod + i];
      if (key != 0 && IsDown(keys, key) &&
          std::find(released.begin(), released.end(), key) == released.end()) {
        XTestFakeKeyEvent(display_, key, False, CurrentTime);
        released.push_back(key);
      }
    }
  }
  if (released.empty()) return released;
  // A key held on a physical keyboard stays down whatever XTest says; it
  // must not be pressed again afterwards or it would stick.
  XQueryKeymap(display_, keys);
  std::erase_if(released, [&](KeyCode key) { return IsDown(keys, key); });
  return released;
}

void X11Keyboard::PressAgain(const std::vector<KeyCode>& keys) {
  for (KeyCode key : keys) XTestFakeKeyEvent(display_, key, True, CurrentTime);
  XSync(display_, False);
}

void X11Keyboard::ForgetReplacedSpares(const Layout& layout) {
  if (!layout.xkb) return;
  std::erase_if(spares_, [&](Spare& spare) {
    KeySym now = layout.FirstKeysym(spare.keycode);
    if (now == spare.bound) return false;
    // Someone else changed the keymap: the key is no longer ours to restore.
    spare.bound = NoSymbol;
    return layout.KeysymCount(spare.keycode) > 0;
  });
}

}  // namespace mv
