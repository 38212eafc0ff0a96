// Key strokes through XTest: chords of named keys and layout-independent text.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mv {

// The modifier bit that `key` is bound to in `modmap`; 0 when none.
unsigned ModifierMaskOf(const XModifierKeymap* modmap, KeyCode key);

class X11Keyboard {
 public:
  // Keycodes without any keysym at this point are the spares that
  // characters off the layout are bound to.
  // While `*stop` is set, text being typed ends after its current key.
  X11Keyboard(Display* display, const std::atomic<bool>* stop);
  ~X11Keyboard();  // gives every spare keycode its empty mapping back
  X11Keyboard(const X11Keyboard&) = delete;
  X11Keyboard& operator=(const X11Keyboard&) = delete;

  // Presses and releases the key of `key_code` (KeyCodes.h) with exactly the
  // modifiers of `flags`; returns when the server has the events.
  void Chord(uint16_t key_code, uint64_t flags);
  // Delivers exactly these characters, whatever the layout; a lone
  // surrogate is dropped.
  void Type(const std::u16string& units);

 private:
  using Clock = std::chrono::steady_clock;
  struct Spare {
    KeyCode keycode;
    KeySym bound = NoSymbol;
    Clock::time_point free_at{};  // no rebinding before this
  };
  struct Stroke {
    KeyCode keycode = 0;
    unsigned modifiers = 0;  // X modifier masks to hold while pressing
    Spare* spare = nullptr;  // set when the key is a spare keycode
  };
  class Layout;

  std::optional<Stroke> FindOnLayout(const Layout& layout, KeySym keysym,
                                     const std::vector<unsigned>& modifier_sets);
  // The spare already bound to `keysym`, else the least recently used one
  // outside `claimed`; nothing when none is left.
  Spare* SpareFor(KeySym keysym, const std::vector<Spare*>& claimed);
  // Binds `keysym` to the spare (after its rest); false when it already was.
  bool Bind(Spare& spare, KeySym keysym);
  void Strike(const Stroke& stroke, const Layout& layout);
  // Releases the modifier keys the local user holds; answers those to press
  // again once the keys of this call are out.
  std::vector<KeyCode> ReleaseHeldModifiers(const Layout& layout);
  void PressAgain(const std::vector<KeyCode>& keys);
  void ForgetReplacedSpares(const Layout& layout);

  Display* display_;
  const std::atomic<bool>* stop_;
  bool has_xkb_ = false;
  std::vector<Spare> spares_;
};

}  // namespace mv
