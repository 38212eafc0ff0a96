// The quit hot key on Wayland desktops whose XDG desktop portal offers
// org.freedesktop.portal.GlobalShortcuts: the desktop itself watches the
// keys, whichever window has the focus.
//
// The portal is spoken to on a thread of its own, so that a press is seen
// the moment it arrives, also while the main thread is busy posting a long
// batch; the main thread's event loop runs while it waits for an answer.
#pragma once

#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>

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
  // at most `timeout` (the desktop may show a dialog). True only when exactly
  // that trigger is bound; a different one, one the desktop does not
  // describe, or one it binds after the wait, still stops input when
  // pressed, but is not claimed. Each letter is asked once in the program's
  // life.
  bool Bind(char letter, std::chrono::milliseconds timeout);
  // Closes the session: no trigger is bound any more, also none left in the
  // desktop's settings.
  void Unbind();
  // The letter of the bound trigger as the desktop last described it (the
  // user may change it in the desktop's settings); 0 when it is no
  // Control+Alt+Shift+letter or nothing is bound.
  char Letter() const { return letter_.load(); }

 private:
  class Agent;
  enum class Result {
    kNone,     // no binding, nothing asked
    kBound,    // the trigger asked for
    kTaken,    // nothing bound: another letter may be free
    kRefused,  // declined, failed, another or an undescribed trigger: not asked again
  };
  // What the portal thread tells the waiting main thread.
  struct Shared {
    std::mutex mutex;
    unsigned answered = 0;  // the last attempt answered
    Result result = Result::kNone;
  };

  std::atomic<int> version_{-1};  // of the interface, read on the portal thread; 0: not offered
  std::atomic<char> letter_{0};
  std::set<char> asked_;
  bool gone_through_ = false;  // from the first letter asked again, the X grab
  unsigned attempt_ = 0;
  // Waited for answers that bound nothing; a desktop slow to say no to
  // every letter is given up on after a while.
  std::chrono::steady_clock::duration waited_{};
  Shared shared_;
  QThread thread_;
  Agent* agent_;  // lives in thread_
};

}  // namespace mv
