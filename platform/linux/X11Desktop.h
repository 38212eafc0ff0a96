// A private Xlib connection for input, displays and the permission, and the
// hot keys on another (X11HotKeys). Xlib stays inside the implementation;
// this header is free of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/RemoteInput.h"

namespace mv {

class X11Desktop final : public InputBackend {
 public:
  // Nothing (and a message in *error) when the display cannot be opened.
  // While `*stop` is set, text being typed ends after its current key.
  static std::unique_ptr<X11Desktop> Open(const char* display_name, const std::atomic<bool>* stop,
                                          std::string* error);
  // Restores every remapped keycode, ungrabs every hot key, closes the
  // connection.
  ~X11Desktop() override;
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
  // Posting needs the XTEST extension, with nothing to ask the user: a
  // server's extensions are fixed while the connection lives, so it was
  // asked once when it opened.
  bool Permitted() override;
  bool RequestPermission() override { return Permitted(); }

  // Input in global display space, points held inside the root window. The
  // events are only queued (text may be held back to plan its keys): they
  // take effect, in order, by the time Flush returns.
  void PostMouse(const MouseEvent& event) override;
  void ReleaseButton(MouseButton button) override;
  void PostKeyboard(const KeyboardEvent& event) override;
  // Sends what is held back and waits until the server has handled all of
  // it; nothing to do when no input was posted since the last call.
  void Flush() override;

  // Global hot keys, watched on a connection and a thread of their own; a
  // press calls the press handler on that thread. 0 when another client
  // holds the combination.
  HotKeyRef GrabHotKey(uint16_t key_code, uint32_t modifiers);
  void UngrabHotKey(HotKeyRef ref);
  // Once it returns, the previous handler is not running and is not called
  // again.
  void SetHotKeyPressHandler(std::function<void()> handler);

 private:
  struct State;
  explicit X11Desktop(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace mv
