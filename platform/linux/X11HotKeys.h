// The global hot keys, grabbed and watched on an X connection and a thread of
// their own: a press is seen the moment it arrives, also while the main
// thread is busy posting a long batch of input. Beside the grab, the raw key
// events of the real keyboards (XInput 2) are watched, so that a physical
// press counts whatever modifiers the program's own XTest input has just
// pressed or released.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Platform.h"

namespace mv {

class X11HotKeys {
 public:
  // Nothing when the display cannot be opened. `on_press` runs on the
  // watcher thread, once per physical press of a grabbed combination: the
  // key repeat of a held combination adds none.
  static std::unique_ptr<X11HotKeys> Open(const char* display_name,
                                          std::function<void()> on_press);
  // Ends the watcher thread, ungrabs everything and closes the connection.
  ~X11HotKeys();
  X11HotKeys(const X11HotKeys&) = delete;
  X11HotKeys& operator=(const X11HotKeys&) = delete;

  // 0 when another client holds (some variant of) the combination.
  HotKeyRef Grab(uint16_t key_code, uint32_t modifiers);
  void Ungrab(HotKeyRef ref);
  // Whether the real keyboards hold a modifier of a grabbed combination: the
  // user may be on the way to pressing it. As of the events read so far, or
  // with `now` as of a round trip to the server. Any thread.
  bool UserHoldsModifiers(bool now);

 private:
  struct State;
  explicit X11HotKeys(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace mv
