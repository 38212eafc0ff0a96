// Remote input as every desktop gets it: one stop for all the user's
// controls, and one record of what the remote side holds down, above the
// backend that posts the events (XTest on X11, the RemoteDesktop portal on
// Wayland), chosen once at start.
#pragma once

#include <atomic>

#include "platform/Platform.h"

namespace mv {

// Where remote input goes on one desktop technology. A backend posts what it
// is told; it reads the stop only to cut a long run of keys short.
class InputBackend {
 public:
  virtual ~InputBackend() = default;
  // The desktop lets this program post input: XTEST on X11, a remote
  // desktop session the user accepted on Wayland.
  virtual bool Permitted() = 0;
  // May ask the user in the desktop's own dialog; answers at once.
  virtual bool RequestPermission() = 0;
  // True when the user turned that dialog down the last time it was shown.
  virtual bool PermissionDeclined() { return false; }
  // A pointer event in global display space; a button event is one press
  // or one release, where the pointer is after the event's motion.
  virtual void PostMouse(const MouseEvent& event) = 0;
  // Lets go of `button` where the pointer is now, with no motion.
  virtual void ReleaseButton(MouseButton button) = 0;
  // A whole stroke or a piece of text (key down; the key up is empty):
  // before each press the backend checks the stop, and every key a stroke
  // pressed is released before it returns.
  virtual void PostKeyboard(const KeyboardEvent& event) = 0;
  virtual void Flush() = 0;
};

// The user's stop. Set from any thread the moment a control is used; a
// press by the user also leaves one press for the main thread to handle (at
// most one pending however often the desktop reports it).
class InputStop {
 public:
  // Stops posting; answers true when this press is the pending one.
  bool Press();
  // Stops posting without a press (the program ending, a signal).
  void Stop() { stopped_ = true; }
  // For good: Resume does nothing after it.
  void Seal();
  bool Stopped() const { return stopped_; }
  const std::atomic<bool>& Flag() const { return stopped_; }
  // Main thread: true once for each pending press, which it clears.
  bool TakePress() { return press_pending_.exchange(false); }
  // Lets posting go on, unless a press waits to be handled or it is sealed.
  void Resume();

 private:
  std::atomic<bool> stopped_{false};
  std::atomic<bool> press_pending_{false};
  std::atomic<bool> sealed_{false};
};

// Main thread only, apart from the stop it hands out.
class RemoteInput {
 public:
  // The backend is set once it is made (it needs the stop); it must outlive
  // this object.
  RemoteInput() = default;
  ~RemoteInput();  // releases what is held
  RemoteInput(const RemoteInput&) = delete;
  RemoteInput& operator=(const RemoteInput&) = delete;

  InputStop& Stop() { return stop_; }
  void SetBackend(InputBackend* backend) { backend_ = backend; }
  InputBackend* Backend() { return backend_; }

  // Nothing but the releases of what is held goes out once stopped.
  void PostMouse(const MouseEvent& event);
  void PostKeyboard(const KeyboardEvent& event);
  void Flush();
  // After a stop: lets go of every button the remote side holds.
  void ReleaseHeld();

 private:
  template <class F>
  void Post(F post);

  InputStop stop_;
  InputBackend* backend_ = nullptr;
  bool held_[2] = {false, false};  // by MouseButton
  // A backend may run the event loop while it waits for the desktop, and a
  // stop handled there must not release a button before its press goes out:
  // the release waits until the backend returns.
  bool in_backend_ = false;
};

}  // namespace mv
