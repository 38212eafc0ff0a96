// The quit hot key on Wayland desktops whose XDG desktop portal offers
// org.freedesktop.portal.GlobalShortcuts: the desktop itself watches the
// keys, whichever window has the focus.
//
// The portal is spoken to on a thread of its own, so that a press is seen
// the moment it arrives, also while the main thread is busy posting a long
// batch, and so that waiting for the desktop's answer has a bound.
#pragma once

#include <QThread>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace mv {

class PortalGlobalShortcuts {
 public:
  // `on_press` runs on the portal thread, once per press of the bound
  // shortcut.
  explicit PortalGlobalShortcuts(std::function<void()> on_press);
  ~PortalGlobalShortcuts();  // closes the session and ends the thread
  PortalGlobalShortcuts(const PortalGlobalShortcuts&) = delete;
  PortalGlobalShortcuts& operator=(const PortalGlobalShortcuts&) = delete;

  // Whether binding is worth trying: the desktop offers the interface, the
  // user has not turned a binding down, and no answer is still awaited.
  bool Usable();
  // Asks the desktop for Control+Alt+Shift+`letter` and waits for its answer
  // at most `timeout`. True only when exactly that trigger is bound; a
  // different one, or one the desktop binds after the wait, still stops
  // input when pressed, but is not claimed.
  bool Bind(char letter, std::chrono::milliseconds timeout);
  // Closes the session: no trigger is bound any more.
  void Unbind();

 private:
  class Agent;
  enum class Result {
    kNone,     // no binding, nothing asked
    kBound,    // the trigger asked for
    kTaken,    // nothing bound: another letter may be free
    kRefused,  // declined, failed or another trigger: not asked again
  };
  // What the portal thread tells the waiting main thread.
  struct Shared {
    std::mutex mutex;
    std::condition_variable answered_cv;
    unsigned answered = 0;  // the last attempt answered
    Result result = Result::kNone;
  };

  int version_ = -1;  // of the interface; 0: not offered
  unsigned attempt_ = 0;
  // Waited for answers that bound nothing; a desktop slow to say no to
  // every letter is given up on after a while.
  std::chrono::steady_clock::duration waited_{};
  Shared shared_;
  QThread thread_;
  Agent* agent_;  // lives in thread_
};

}  // namespace mv
