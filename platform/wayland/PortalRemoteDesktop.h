// Pointer and keyboard input on Wayland desktops through the XDG desktop
// portal's RemoteDesktop interface, combined with a ScreenCast of every
// monitor so that pointer positions can be absolute.
//
// The desktop asks the user in its own dialog when the session starts; until
// the user has accepted, nothing is posted. Everything runs on the thread of
// the Qt event loop.
#pragma once

#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <vector>

#include "platform/Platform.h"

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
  void OnSessionClosed();

 private:
  enum class State { kIdle, kCreating, kSelectingDevices, kSelectingSources, kStarting, kStarted };
  struct Stream {
    uint node = 0;
    double x = 0, y = 0, width = 0, height = 0;
  };

  // Calls a portal request method; its answer arrives in OnResponse.
  void Request(const QString& interface, const QString& method, QVariantList arguments,
               QVariantMap options);
  void Fail(const QString& why);
  void Stop();
  void TakeStartResults(const QVariantMap& results);
  void Notify(const QString& method, const QVariantList& arguments);
  void Keysym(uint32_t keysym, bool down);

  std::function<void()> on_closed_;
  std::function<bool()> input_stopped_;
  State state_ = State::kIdle;
  int version_ = -1;  // of the RemoteDesktop interface; 0: none on this desktop
  QString request_path_;
  QDBusObjectPath session_;
  std::vector<Stream> streams_;
  uint request_serial_ = 0;
  bool notify_failed_ = false;
  bool declined_ = false;
  bool has_position_ = false;  // the last motion sent, to skip repeating it
  double last_x_ = 0;
  double last_y_ = 0;
};

}  // namespace mv
