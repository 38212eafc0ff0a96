// Pointer and keyboard input on Wayland desktops through the XDG desktop
// portal's RemoteDesktop interface, combined with a ScreenCast of every
// monitor so that pointer positions can be absolute; where the screen cast
// cannot start (KWin 6 without OpenGL) or its streams cannot be placed, the
// pointer is placed by relative motion from the layout's top-left corner.
//
// The desktop asks the user in its own dialog when the session starts; until
// the user has accepted, nothing is posted. Everything runs on the thread of
// the Qt event loop: requests are answered asynchronously. The portal handles
// input calls on worker threads and reorders calls in flight, so only pointer
// motions on one monitor, which carry no state, go out without waiting for
// their answers (a bounded number of them, the last of a burst sent again);
// every other input call first waits for the motions before it, then for its
// own answer. A wait holds the thread until the answer or the call's short
// timeout (after which the session counts as broken); between calls the
// event loop runs every few milliseconds.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <deque>
#include <functional>
#include <span>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "platform/wayland/Portal.h"

namespace mv {

class PortalRemoteDesktop final : public QObject {
  Q_OBJECT

 public:
  // `on_closed` runs when a started session ends from the desktop's side
  // (the user stopped it there). Typing ends at the next key once
  // `input_stopped` answers true.
  PortalRemoteDesktop(std::function<void()> on_closed, std::function<bool()> input_stopped);
  ~PortalRemoteDesktop() override;  // closes the session

  // Whether a session with pointer and keyboard is running.
  bool IsStarted() const { return state_ == State::kStarted; }
  // Starts a session, which shows the desktop's dialog; nothing while one
  // is being started or runs, or when the desktop has no such portal.
  void Start();

  // Input in the compositor's global layout (logical pixels); nothing
  // unless started.
  void PostMouse(const MouseEvent& event, double x, double y);
  void PostKeyboard(const KeyboardEvent& event);
  // Lets go of a button where the pointer is, with no motion.
  void ReleaseButton(MouseButton button);
  // Whether the user cancelled the desktop's dialog the last time.
  bool Declined() const { return declined_; }

 private slots:
  void OnResponse(uint response, const QVariantMap& results);
  // Of any session: one closed before it was replaced may still be on its way.
  void OnSessionClosed(const QDBusMessage& signal);

 private:
  enum class State {
    kIdle,
    kProbing,  // reading the interface's version, naming the program
    kCreating,
    kSelectingDevices,
    kSelectingSources,
    kStarting,
    kStarted
  };
  struct Stream {
    uint node = 0;
    double x = 0, y = 0, width = 0, height = 0;
  };

  // Calls `call` without waiting; `then` gets its answer unless a newer
  // call or Stop() came in between.
  void Await(const QDBusMessage& call, std::function<void(const QDBusMessage&)> then,
             int timeout_ms = portal::kCallTimeoutMs);
  void Create();
  // Calls a portal request method; its answer arrives in OnResponse.
  void Request(const QString& interface, const QString& method, QVariantList arguments,
               QVariantMap options);
  void ListenAt(const QString& request_path);
  // A request failed or answered 2: again once, without a restore token
  // that was sent, or without the screen cast when it cannot start.
  void Retry(const QString& why);
  void Fail(const QString& why);
  // The desktop ended a started session: input stops as on a hot-key press.
  void EndedByDesktop(const QString& why);
  void Stop();
  void TakeStartResults(const QVariantMap& results);
  enum class Call {
    kPipelinedMotion,  // goes out at once unless too many are unanswered
    kMotion,           // after the motions before it; its answer awaited
    kOther             // the same, and still sent once input stopped
  };
  // The session and empty options, then `rest`.
  QVariantList Arguments(std::initializer_list<QVariant> rest) const;
  // An input call of the session; a motion is dropped once input stopped.
  // False once the session is gone, also when it went during a wait.
  bool Notify(const QString& method, QVariantList arguments, Call call_kind);
  // Runs the event loop when it has not run for a few milliseconds, so that a
  // stop or the desktop ending the session is seen during a long run of calls.
  void LetLoopRun();
  // Waits until at most `left` motions are unanswered; false once the
  // session is gone.
  bool Settle(size_t left);
  // Whether an answered call leaves the session running; one saying the
  // session is gone ends it.
  bool Answered(const QString& method, const QDBusPendingCall& call);
  bool Keysym(uint32_t keysym, bool down);
  // Presses `keys` in order, then releases them; false once input stopped
  // or the session is gone.
  bool Stroke(std::span<const uint32_t> keys);
  bool MoveTo(double x, double y, Call kind);

  QDBusConnection bus_;
  std::function<void()> on_closed_;
  std::function<bool()> input_stopped_;
  State state_ = State::kIdle;
  int version_ = -1;  // of the RemoteDesktop interface; 0: none on this desktop
  QString request_path_;
  QString request_method_;
  QTimer deadline_;  // for the answer to request_path_
  QDBusObjectPath session_;
  QVariant session_argument_;  // session_, as each input call starts
  std::deque<QDBusPendingCall> motions_;  // unanswered, oldest first
  QElapsedTimer loop_ran_;  // since the event loop last ran during input
  // The last motion sent while others were in flight, until it is sent again.
  QString last_method_;
  QVariantList last_motion_;
  QTimer restate_;
  uint motion_node_ = 0;  // the stream of the last motion
  std::vector<Stream> streams_;  // none: the pointer moves by relative motion
  // Where relative motion last put the pointer, and when; the buttons held.
  std::optional<std::pair<double, double>> placed_;
  QElapsedTimer placed_at_;
  uint held_ = 0;
  uint request_serial_ = 0;
  uint generation_ = 0;  // of the request whose call is awaited; Stop() moves on
  bool retried_ = false;
  bool sent_token_ = false;
  bool with_screen_cast_ = true;  // false once it could not start on this desktop
  bool notify_failed_ = false;
  // KDE holds a relative motion at the edges between monitors: with more
  // than one, the pointer cannot be placed exactly.
  bool held_at_edges_ = false;
  bool refusal_logged_ = false;
  bool declined_ = false;
};

}  // namespace mv
