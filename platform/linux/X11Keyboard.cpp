#include "platform/linux/X11Keyboard.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/KeyCodes.h"
#include "platform/Platform.h"
#include "platform/StateFile.h"
#include "platform/linux/Keysyms.h"
#include "platform/linux/X11ErrorTrap.h"

namespace mv {
namespace {

// A client translates a key event with the keymap it holds when it reads
// the event, and after a MappingNotify it fetches the server's keymap as it
// is then. A keycode struck recently may still be unread by a busy or
// stalled client, so it is rebound only after this long; an older binding is
// evicted first whenever one will do.
constexpr auto kKeepAfterStrike = std::chrono::milliseconds(500);
// Text held back beyond this goes out without waiting for the batch's end.
constexpr size_t kPlanWindow = 1024;
// The program's main thread waits while the user holds a modifier of the hot
// key, but not for long: a modifier held on (or stuck) lets typing go on until
// it is released. A press of the hot key is seen all the same.
constexpr auto kLongestHotKeyWait = std::chrono::seconds(2);

bool IsDown(const char keys[32], KeyCode key) { return keys[key / 8] & (1 << (key % 8)); }

std::string RecordName(Display* display) {
  std::string name = std::string("spare-keycodes-") + DisplayString(display);
  for (char& c : name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
  }
  return name;
}

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

namespace {

// The level a key of `type` gives with `modifiers` held.
int LevelOf(const XkbKeyTypeRec& type, unsigned modifiers) {
  modifiers &= type.mods.mask;
  for (int i = 0; i < type.map_count; ++i) {
    if (type.map[i].active && type.map[i].mods.mask == modifiers) return type.map[i].level;
  }
  return 0;
}

}  // namespace

// The keymap as last read: keysyms, key types, the modifier map; and the
// keyboard state of the batch: active group and locked modifiers.
class X11Keyboard::Layout {
 public:
  Layout(Display* display, bool with_xkb) {
    XDisplayKeycodes(display, &min_keycode, &max_keycode);
    modmap = XGetModifierMapping(display);
    if (with_xkb) xkb = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
    level3_key = XKeysymToKeycode(display, XK_ISO_Level3_Shift);
    level3_mask = ModifierMaskOf(modmap, level3_key);
    if (!xkb) {
      core = XGetKeyboardMapping(display, static_cast<KeyCode>(min_keycode),
                                 max_keycode - min_keycode + 1, &core_width);
    }
    // Four levels on one key, one for each of Shift and level three held or
    // not: a spare keycode of that type holds twice the characters.
    for (int t = 0; xkb && level3_mask && four_level_type < 0 && t < xkb->map->num_types; ++t) {
      const XkbKeyTypeRec& type = xkb->map->types[t];
      if (type.num_levels == 4 && LevelOf(type, 0) == 0 && LevelOf(type, ShiftMask) == 1 &&
          LevelOf(type, level3_mask) == 2 && LevelOf(type, ShiftMask | level3_mask) == 3) {
        four_level_type = t;
      }
    }
  }
  ~Layout() {
    if (modmap) XFreeModifiermap(modmap);
    if (xkb) XkbFreeKeyboard(xkb, 0, True);
    if (core) XFree(core);
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

  // The keysyms of the levels of `key` in the first group.
  Levels Bound(int key) const {
    Levels levels = {};
    if (key < min_keycode || key > max_keycode) return levels;
    if (xkb && XkbKeyNumGroups(xkb, key) > 0) {
      const int width = std::min<int>(XkbKeyGroupWidth(xkb, key, 0), levels.size());
      std::copy_n(XkbKeySymsPtr(xkb, key), width, levels.begin());
    } else if (core) {
      std::copy_n(core + (key - min_keycode) * core_width, std::min(core_width, 2), levels.begin());
    }
    return levels;
  }

  // The first key bound to the modifier of `mask` (one bit); 0 when none.
  KeyCode KeyOf(unsigned mask) const {
    if (!modmap || mask == 0) return 0;
    if (mask == level3_mask) return level3_key;
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
  KeySym* core = nullptr;  // the core keymap, read only without XKB
  int core_width = 0;
  int four_level_type = -1;
  int group = -1;  // none read yet
  unsigned locked_modifiers = 0;
  KeyCode level3_key = 0;
  unsigned level3_mask = 0;
};

X11Keyboard::X11Keyboard(Display* display, const std::atomic<bool>* stop,
                         std::function<bool(bool now)> user_holds_hot_key)
    : display_(display),
      stop_(stop),
      user_holds_hot_key_(std::move(user_holds_hot_key)),
      record_name_(RecordName(display)),
      in_flight_(display) {
  int opcode, event, error, major = XkbMajorVersion, minor = XkbMinorVersion;
  has_xkb_ = XkbQueryExtension(display_, &opcode, &event, &error, &major, &minor);
  RestoreLeftBindings();
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
  Finish();
  KeySym empty[2] = {NoSymbol, NoSymbol};
  for (Spare& spare : spares_) {
    if (spare.written == Levels{}) continue;
    std::this_thread::sleep_until(
        *std::max_element(std::begin(spare.struck), std::end(spare.struck)) +
                                  kKeepAfterStrike);
    XChangeKeyboardMapping(display_, spare.keycode, 2, empty, 1);
  }
  trap.Sync();
  RemoveStateFile(record_name_);
}

void X11Keyboard::RestoreLeftBindings() {
  const std::optional<std::string> record = ReadStateFile(record_name_, 64 * 1024);
  if (!record) return;
  const Layout layout(display_, has_xkb_);
  X11ErrorTrap trap(display_);
  KeySym empty[2] = {NoSymbol, NoSymbol};
  std::istringstream lines(*record);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    int key = 0;
    Levels levels = {};
    if (!(fields >> key)) continue;
    for (KeySym& keysym : levels) fields >> keysym;  // fewer: the rest are empty
    // Only a key still as that run left it: someone may have bound it since.
    if (levels != Levels{} && layout.Bound(key) == levels) {
      XChangeKeyboardMapping(display_, key, 2, empty, 1);
    }
  }
  trap.Sync();
  RemoveStateFile(record_name_);
}

void X11Keyboard::NoteMapping(const XMappingEvent& event) {
  // A change of one spare keycode is our own rebinding; anything else is
  // someone else's and the keymap is read again.
  const bool ours = event.request == MappingKeyboard && event.count == 1 &&
                    std::any_of(spares_.begin(), spares_.end(), [&](const Spare& s) {
                      return s.keycode == event.first_keycode;
                    });
  if (!ours) layout_.reset();
}

void X11Keyboard::Begin() {
  if (in_batch_) return;
  in_batch_ = true;
  bool rebuild = false;
  if (!layout_) {
    layout_ = std::make_unique<Layout>(display_, has_xkb_);
    levels_ = layout_->four_level_type >= 0 ? 4 : 2;
    ForgetReplacedSpares();
    rebuild = true;
  }
  Layout& layout = *layout_;
  if (has_xkb_) {
    XkbStateRec state;
    if (XkbGetState(display_, XkbUseCoreKbd, &state) == Success) {
      rebuild = rebuild || layout.group != state.group ||
                (layout.locked_modifiers & ~LockMask) != (state.locked_mods & ~LockMask);
      layout.group = state.group;
      layout.locked_modifiers = state.locked_mods;
    }
  }
  // Caps Lock would turn characters of bound spare keys into capitals:
  // unlock it while typing.
  caps_lock_ = layout.locked_modifiers & LockMask;
  if (caps_lock_) {
    XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
    layout.locked_modifiers &= ~LockMask;
  }
  if (rebuild) {
    std::vector<unsigned> modifier_sets = {0, ShiftMask};
    if (layout.level3_mask != 0) {
      modifier_sets.push_back(layout.level3_mask);
      modifier_sets.push_back(layout.level3_mask | ShiftMask);
    }
    on_layout_.clear();
    for (unsigned modifiers : modifier_sets) {
      for (int key = layout.min_keycode; key <= layout.max_keycode; ++key) {
        // Spares are looked up through their own records.
        bool spare = std::any_of(spares_.begin(), spares_.end(),
                                 [key](const Spare& s) { return s.keycode == key; });
        KeySym keysym = layout.Translate(static_cast<KeyCode>(key), modifiers);
        if (!spare && keysym != NoSymbol) {
          on_layout_.try_emplace(keysym, Stroke{static_cast<KeyCode>(key), modifiers});
        }
      }
    }
  }

  // Releases the modifier keys the local user holds, to press them again at
  // the end.
  released_.clear();
  if (!layout.modmap) return;
  // None of the hot key's, which the user may be pressing: asked after the
  // keymap is read, the question sees every press the keymap holds.
  char keys[32];
  do {
    if (!WaitForHotKeyRelease(false)) return;
    XQueryKeymap(display_, keys);
  } while (UserHoldsHotKey(true));
  for (int index = 0; index < 8; ++index) {
    if (index == LockMapIndex) continue;  // pressing Caps Lock again would toggle it
    for (int i = 0; i < layout.modmap->max_keypermod; ++i) {
      KeyCode key = layout.modmap->modifiermap[index * layout.modmap->max_keypermod + i];
      if (key != 0 && IsDown(keys, key) &&
          std::find(released_.begin(), released_.end(), key) == released_.end()) {
        XTestFakeKeyEvent(display_, key, False, CurrentTime);
        released_.push_back(key);
      }
    }
  }
  if (released_.empty()) return;
  // A key held on a physical keyboard stays down whatever XTest says; it
  // must not be pressed again afterwards or it would stick.
  XQueryKeymap(display_, keys);
  std::erase_if(released_, [&](KeyCode key) { return IsDown(keys, key); });
}

void X11Keyboard::Finish() {
  if (!in_batch_) return;
  SendText();
  // After a stop nothing is pressed or locked again: what the user holds
  // stays let go.
  if (!*stop_) {
    for (KeyCode key : released_) XTestFakeKeyEvent(display_, key, True, CurrentTime);
    if (caps_lock_) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
  }
  released_.clear();
  caps_lock_ = false;
  in_batch_ = false;
}

void X11Keyboard::Chord(uint16_t key_code, uint64_t flags) {
  KeySym keysym = KeysymForKeyCode(key_code);
  if (keysym == NoSymbol) return;
  Begin();
  SendText();

  // Desktop shortcuts here use Control where the protocol's flags say
  // Command or Option.
  unsigned modifiers = 0;
  if (flags & (kEventFlagCommand | kEventFlagAlternate)) modifiers |= ControlMask;
  if (flags & kEventFlagShift) modifiers |= ShiftMask;

  std::optional<Stroke> stroke;
  auto found = on_layout_.find(keysym);
  if (found != on_layout_.end() && found->second.modifiers == 0) {
    stroke = found->second;
  } else {
    // Not on the active group without modifiers: a key that has it
    // elsewhere, else a spare.
    KeyCode key = XKeysymToKeycode(display_, keysym);
    bool spare = std::any_of(spares_.begin(), spares_.end(),
                             [key](const Spare& s) { return s.keycode == key; });
    if (key != 0 && !spare) {
      stroke = Stroke{key};
    } else if (std::optional<Slot> slot = ChordSlot(keysym)) {
      stroke = Stroke{spares_[slot->spare].keycode, 0, slot};
    } else {
      return;
    }
  }
  stroke->modifiers |= modifiers;
  Strike(*stroke);
}

void X11Keyboard::Type(const std::u16string& units) {
  bool any = false;
  for (char32_t c : DecodeUtf16(units)) {
    KeySym keysym = KeysymForCodePoint(c);
    if (keysym == NoSymbol) continue;
    if (!any) Begin();
    any = true;
    pending_.push_back(keysym);
  }
  if (pending_.size() >= kPlanWindow) SendText();
}

std::optional<X11Keyboard::Slot> X11Keyboard::ChordSlot(KeySym keysym) {
  // A chord may hold Shift: the key gives the keysym on both levels.
  const auto last_struck = [](const Spare& s) { return std::max(s.struck[0], s.struck[1]); };
  std::optional<size_t> choice;
  for (size_t i = 0; i < spares_.size(); ++i) {
    if (spares_[i].bound[0] == keysym && spares_[i].bound[1] == keysym) return Slot{i, 0};
    if (!choice || last_struck(spares_[i]) < last_struck(spares_[*choice])) choice = i;
  }
  if (!choice) return std::nullopt;
  Spare& spare = spares_[*choice];
  XFlush(display_);
  std::this_thread::sleep_until(last_struck(spare) + kKeepAfterStrike);
  spare.bound[0] = spare.bound[1] = keysym;
  Rebind({*choice});
  XSync(display_, False);
  return Slot{*choice, 0};
}

void X11Keyboard::SendText() {
  if (pending_.empty()) return;
  const std::vector<KeySym> text = std::exchange(pending_, {});
  if (*stop_) return;  // held back, and now not to be typed
  // A stroke with a modifier costs a round trip (the hot key's check) and
  // more events: the most frequent characters get the levels without one.
  std::unordered_map<KeySym, size_t> counts;
  for (KeySym keysym : text) {
    if (!on_layout_.contains(keysym)) ++counts[keysym];
  }
  std::vector<std::pair<size_t, KeySym>> by_count;
  for (const auto& [keysym, count] : counts) by_count.emplace_back(count, keysym);
  std::sort(by_count.begin(), by_count.end(), std::greater<>());
  std::unordered_map<KeySym, int> fitting_level;
  for (size_t i = 0; i < by_count.size(); ++i) {
    fitting_level[by_count[i].second] =
        std::min<int>(i / std::max<size_t>(spares_.size(), 1), levels_ - 1);
  }
  // Every binding a segment of text needs is made before its first key goes
  // out, and a slot is rebound only between segments: a segment ends when
  // it would need a slot one of its own keys uses.
  for (size_t start = 0; start < text.size();) {
    std::vector<Stroke> strokes;
    std::vector<Slot> used;
    std::vector<size_t> rebound;  // spares whose mapping changes
    size_t end = start;
    for (; end < text.size(); ++end) {
      if (auto found = on_layout_.find(text[end]); found != on_layout_.end()) {
        strokes.push_back(found->second);
        continue;
      }
      std::optional<Slot> slot = SlotFor(text[end], end, fitting_level[text[end]], used, text);
      if (!slot) break;
      Spare& spare = spares_[slot->spare];
      if (spare.bound[slot->level] != text[end]) {
        std::this_thread::sleep_until(spare.struck[slot->level] + kKeepAfterStrike);
        spare.bound[slot->level] = text[end];
        if (std::find(rebound.begin(), rebound.end(), slot->spare) == rebound.end()) {
          rebound.push_back(slot->spare);
        }
      }
      if (std::find(used.begin(), used.end(), *slot) == used.end()) used.push_back(*slot);
      strokes.push_back(Stroke{spare.keycode, LevelModifiers(slot->level), slot});
    }
    if (end == start) {  // no spare keycode at all
      ++start;
      continue;
    }
    Rebind(rebound);
    // The MappingNotify round: the server has the new bindings, and every
    // client has the notice queued before the keys that use them.
    if (!rebound.empty()) XSync(display_, False);
    for (const Stroke& stroke : strokes) {
      if (*stop_) return;
      Strike(stroke);
    }
    // Out now, not when the batch ends: the rest before a rebinding counts
    // from when the server has the keys.
    XFlush(display_);
    start = end;
  }
}

std::optional<X11Keyboard::Slot> X11Keyboard::SlotFor(KeySym keysym, size_t at, int fitting_level,
                                                      const std::vector<Slot>& used,
                                                      const std::vector<KeySym>& text) {
  for (size_t i = 0; i < spares_.size(); ++i) {
    for (int level = 0; level < levels_; ++level) {
      if (spares_[i].bound[level] == keysym) return Slot{i, level};
    }
  }
  std::optional<Slot> best;
  // Ranking of an eviction: one free of possibly unread strokes first,
  // needed furthest ahead (never is furthest), nearest the fitting level;
  // else the one struck longest ago, the shortest wait.
  std::tuple<bool, int64_t, int64_t, int64_t> best_rank;
  const Clock::time_point now = Clock::now();
  for (size_t i = 0; i < spares_.size(); ++i) {
    for (int level = 0; level < levels_; ++level) {
      const Slot slot{i, level};
      if (std::find(used.begin(), used.end(), slot) != used.end()) continue;
      const KeySym bound = spares_[i].bound[level];
      const auto from = text.begin() + static_cast<std::ptrdiff_t>(at);
      const int64_t next_use = bound == NoSymbol ? static_cast<int64_t>(text.size())
                                                 : std::find(from, text.end(), bound) - text.begin();
      const Clock::time_point struck = spares_[i].struck[level];
      const int64_t age = -struck.time_since_epoch().count();
      const bool rested = struck + kKeepAfterStrike <= now;
      const int64_t fit = -std::abs(level - fitting_level);
      const std::tuple<bool, int64_t, int64_t, int64_t> rank =
          rested ? std::make_tuple(true, next_use, fit, age)
                 : std::make_tuple(false, age, next_use, fit);
      if (!best || rank > best_rank) {
        best = slot;
        best_rank = rank;
      }
    }
  }
  return best;
}

void X11Keyboard::Rebind(const std::vector<size_t>& spares) {
  if (spares.empty()) return;
  XkbDescPtr xkb = layout_->xkb;
  const auto levels = [&](const Spare& spare) {
    Levels l = {};
    std::copy_n(spare.bound.begin(), levels_, l.begin());
    // Through the core keymap a lone letter would be taken as the lower
    // case of a pair (a capital would arrive in small letters): an empty
    // level repeats the other. A key type of XKB's own says what each is.
    if (!xkb && l[0] == NoSymbol) l[0] = l[1];
    if (!xkb && l[1] == NoSymbol) l[1] = l[0];
    return l;
  };
  std::string record;
  const auto note = [&record](KeyCode key, const Levels& l) {
    if (l == Levels{}) return;
    record += std::to_string(key);
    for (KeySym keysym : l) record += ' ' + std::to_string(keysym);
    record += '\n';
  };
  for (const Spare& spare : spares_) note(spare.keycode, spare.written);
  for (size_t index : spares) note(spares_[index].keycode, levels(spares_[index]));
  WriteStateFile(record_name_, record);  // typing goes on without a state folder
  for (size_t index : spares) {
    Spare& spare = spares_[index];
    spare.written = levels(spare);
    if (!xkb) {
      XChangeKeyboardMapping(display_, spare.keycode, 2, spare.written.data(), 1);
      continue;
    }
    // Set by hand: XkbChangeTypesOfKey reads the key actions (not fetched)
    // when a key's width changes.
    KeySym* syms = XkbResizeKeySyms(xkb, spare.keycode, levels_);
    if (!syms) continue;
    XkbSymMapRec& map = xkb->map->key_sym_map[spare.keycode];
    map.kt_index[0] =
        static_cast<unsigned char>(levels_ == 4 ? layout_->four_level_type : XkbTwoLevelIndex);
    map.group_info = XkbSetNumGroups(map.group_info, 1);
    map.width = static_cast<unsigned char>(levels_);
    std::copy_n(spare.written.begin(), levels_, syms);
    XkbMapChangesRec changes = {};
    changes.changed = XkbKeySymsMask;
    changes.first_key_sym = spare.keycode;
    changes.num_key_syms = 1;
    XkbChangeMap(display_, xkb, &changes);
  }
}

unsigned X11Keyboard::LevelModifiers(int level) const {
  return (level & 1 ? ShiftMask : 0) | (level & 2 ? layout_->level3_mask : 0);
}

void X11Keyboard::Strike(const Stroke& stroke) {
  std::vector<KeyCode> modifier_keys;
  for (unsigned mask : {static_cast<unsigned>(ShiftMask), static_cast<unsigned>(ControlMask),
                        layout_->level3_mask}) {
    if (mask == 0 || !(stroke.modifiers & mask)) continue;
    if (KeyCode key = layout_->KeyOf(mask)) modifier_keys.push_back(key);
  }
  // Letting go of a modifier the user has just pressed would take it from
  // under the hot key.
  if (!WaitForHotKeyRelease(!modifier_keys.empty())) return;
  // A stop cuts the stroke short: what was pressed is released.
  std::vector<KeyCode> pressed;
  for (KeyCode key : modifier_keys) {
    if (*stop_) break;
    XTestFakeKeyEvent(display_, key, True, CurrentTime);
    pressed.push_back(key);
  }
  if (pressed.size() == modifier_keys.size() && !*stop_) {
    XTestFakeKeyEvent(display_, stroke.keycode, True, CurrentTime);
    XTestFakeKeyEvent(display_, stroke.keycode, False, CurrentTime);
    if (stroke.slot) spares_[stroke.slot->spare].struck[stroke.slot->level] = Clock::now();
  }
  for (auto it = pressed.rbegin(); it != pressed.rend(); ++it) {
    XTestFakeKeyEvent(display_, *it, False, CurrentTime);
  }
  // Out at once: the check above holds until the server takes these, and a
  // Shift the user pressed meanwhile would be let go with ours.
  if (!pressed.empty()) XFlush(display_);
  in_flight_.Sent(2 + 2 * static_cast<int>(pressed.size()));
}

bool X11Keyboard::WaitForHotKeyRelease(bool now) {
  const Clock::time_point deadline = Clock::now() + kLongestHotKeyWait;
  while (UserHoldsHotKey(now) && !*stop_) {
    if (Clock::now() >= deadline) {
      held_too_long_ = true;
      break;
    }
    XFlush(display_);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return !*stop_;
}

bool X11Keyboard::UserHoldsHotKey(bool now) {
  if (!user_holds_hot_key_) return false;
  const bool holds = user_holds_hot_key_(now);
  if (!holds) held_too_long_ = false;
  return holds && !held_too_long_;
}

void X11Keyboard::ForgetReplacedSpares() {
  std::erase_if(spares_, [&](Spare& spare) {
    const Levels now = layout_->Bound(spare.keycode);
    if (now == spare.written) return false;
    // Someone else changed the keymap: the key is no longer ours to restore.
    spare.bound = spare.written = {};
    return now != Levels{};
  });
}

}  // namespace mv
