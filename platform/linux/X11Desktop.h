// A private Xlib connection for input, displays and the permission, and the
// hot keys on another (X11HotKeys). Xlib stays inside the implementation;
// this header is free of it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace mv {

class X11Desktop {
 public:
  // Nothing (and a message in *error) when the display cannot be opened.
  static std::unique_ptr<X11Desktop> Open(const char* display_name, std::string* error);
  // Restores every remapped keycode, ungrabs every hot key, closes the
  // connection.
  ~X11Desktop();
  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  // For a socket notifier in the event loop; drain with ProcessPendingEvents.
  int ConnectionFd() const;
  // Handles every queued event (keymap changes).
  void ProcessPendingEvents();

  // Active RandR monitors in global display space, primary first.
  std::vector<Rect> MonitorBounds();
  // The primary monitor in root coordinates (global = root - its origin).
  Rect PrimaryMonitorRoot();
  // Whether the XTEST extension is present: a server's extensions are fixed
  // while the connection lives, so it was asked once when it opened.
  bool HasXTest();

  // Input in global display space, points held inside the root window. The
  // events are only queued (text may be held back to plan its keys): they
  // take effect, in order, by the time FlushInput returns.
  void PostMouse(const MouseEvent& event);
  void PostKeyboard(const KeyboardEvent& event);
  // Sends what is held back and waits until the server has handled all of
  // it; nothing to do when no input was posted since the last call.
  void FlushInput();

  // Global hot keys, watched on a connection and a thread of their own. A
  // press stops input posting at once, then calls the press handler on
  // that thread. 0 when another client holds the combination.
  HotKeyRef GrabHotKey(uint16_t key_code, uint32_t modifiers);
  void UngrabHotKey(HotKeyRef ref);
  // Once it returns, the previous handler is not running and is not called
  // again.
  void SetHotKeyPressHandler(std::function<void()> handler);
  // Counts one press as handled, which lets ResumeInput act again.
  void PressHandled();
  // A press seen by the desktop's own shortcut service, on any thread:
  // taken as a press of a grabbed key.
  void Press();

  // While input is stopped, PostMouse and PostKeyboard post nothing (text
  // already being typed ends after the key it is at). Any thread.
  void StopInput();
  // Does nothing while a press has not been handled.
  void ResumeInput();
  bool InputStopped() const;

 private:
  struct State;
  explicit X11Desktop(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace mv
