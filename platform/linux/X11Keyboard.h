// Key strokes through XTest: chords of named keys and layout-independent text.
#pragma once

#include <X11/Xlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace mv {

// Keeps at most a few dozen synthetic events sent and not yet handled by
// the server: a stop (the hot key) then cuts input off within them, not
// after a socket buffer full of it. One wait per that many events.
class X11InFlight {
 public:
  explicit X11InFlight(Display* display) : display_(display) {}
  void Sent(int events) {
    count_ += events;
    if (count_ < kLimit) return;
    XSync(display_, False);
    count_ = 0;
  }

 private:
  static constexpr int kLimit = 64;
  Display* display_;
  int count_ = 0;
};

// The modifier bit that `key` is bound to in `modmap`; 0 when none.
unsigned ModifierMaskOf(const XModifierKeymap* modmap, KeyCode key);

// Nothing is waited for per key: strokes are only written to the connection,
// and the caller syncs once the batch is done. Text is held back until then
// (or until a chord, or a long run of it), so that the spare keycodes can be
// planned over all of it.
class X11Keyboard {
 public:
  // Keycodes without any keysym at this point are the spares that
  // characters off the layout are bound to; first, the bindings a previous
  // run on this display left (it ended without restoring them) are undone.
  // While `*stop` is set, text being typed ends after its current key and
  // text held back is dropped; nothing is pressed, only released. While
  // `user_holds_hot_key` answers true (the user holds a modifier of the hot
  // key), no key is struck and no modifier let go: the server's modifier
  // state must stay the user's for the hot key's grab, and text typed
  // meanwhile would carry the user's modifiers; for two seconds at most, and
  // not again until the user lets go. Its argument asks for the server's
  // present state, not the last one seen: before changing modifiers.
  X11Keyboard(Display* display, const std::atomic<bool>* stop,
              std::function<bool(bool now)> user_holds_hot_key = {});
  ~X11Keyboard();  // gives every spare keycode its empty mapping back
  X11Keyboard(const X11Keyboard&) = delete;
  X11Keyboard& operator=(const X11Keyboard&) = delete;

  // Presses and releases the key of `key_code` (KeyCodes.h) with exactly the
  // modifiers of `flags`, after any text typed before it.
  void Chord(uint16_t key_code, uint64_t flags);
  // Delivers exactly these characters, whatever the layout; a lone
  // surrogate is dropped.
  void Type(const std::u16string& units);
  // Sends the text still held back and, unless stopped, gives back the
  // modifiers and Caps Lock the batch released. The caller waits for the
  // server afterwards.
  void Finish();
  // A MappingNotify of this connection.
  void NoteMapping(const XMappingEvent& event);

 private:
  using Clock = std::chrono::steady_clock;
  // Levels 1 and 2 (with Shift), and where the layout has a level-three key,
  // 3 and 4 (with it, and with Shift too).
  using Levels = std::array<KeySym, 4>;
  struct Spare {
    KeyCode keycode;
    Levels bound = {};
    Levels written = {};  // what the server has from us
    Clock::time_point struck[4] = {};
  };
  struct Slot {
    size_t spare;
    int level;
    friend bool operator==(const Slot&, const Slot&) = default;
  };
  struct Stroke {
    KeyCode keycode = 0;
    unsigned modifiers = 0;  // X modifier masks to hold while pressing
    std::optional<Slot> slot;
  };
  class Layout;

  // Reads the keymap when it changed, and the keyboard state, once a batch.
  void Begin();
  void SendText();
  // A spare bound to `keysym` for a chord, bound now when needed.
  std::optional<Slot> ChordSlot(KeySym keysym);
  // A slot for `keysym` at text position `at`: the one bound to it, else a
  // free one, else the one whose keysym is needed furthest ahead, of those
  // the one nearest `fitting_level`; never one in `used`. Nothing when every
  // slot is used.
  std::optional<Slot> SlotFor(KeySym keysym, size_t at, int fitting_level,
                              const std::vector<Slot>& used,
                              const std::vector<KeySym>& text);
  // Writes the bindings of these spares, recorded first in a private state
  // file: a run that ends without restoring them leaves the next start a
  // note of what to undo, the old binding and the new.
  void Rebind(const std::vector<size_t>& spares);
  void RestoreLeftBindings();
  // The modifiers that select `level` of a spare keycode.
  unsigned LevelModifiers(int level) const;
  void Strike(const Stroke& stroke);
  // Waits while the user holds a modifier of the hot key (`now`: see the
  // constructor); false once stopped.
  bool WaitForHotKeyRelease(bool now);
  // Whether to wait for the user now: not once a wait ran out, until released.
  bool UserHoldsHotKey(bool now);
  void ForgetReplacedSpares();

  Display* display_;
  const std::atomic<bool>* stop_;
  const std::function<bool(bool now)> user_holds_hot_key_;
  bool held_too_long_ = false;  // waited out once; until the modifiers are let go
  const std::string record_name_;  // the record of bindings, one per display
  X11InFlight in_flight_;
  bool has_xkb_ = false;
  int levels_ = 2;  // levels of a spare keycode on this layout
  std::vector<Spare> spares_;
  std::unique_ptr<Layout> layout_;  // kept until the keymap changes
  std::unordered_map<KeySym, Stroke> on_layout_;  // for the layout's group
  bool in_batch_ = false;
  std::vector<KeyCode> released_;  // modifier keys to press again at the end
  bool caps_lock_ = false;
  std::vector<KeySym> pending_;  // text held back
};

}  // namespace mv
