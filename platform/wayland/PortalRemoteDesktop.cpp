#include "platform/wayland/PortalRemoteDesktop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <cstdlib>

#include "platform/linux/Keysyms.h"
#include "platform/wayland/Portal.h"

namespace mv {
namespace {

using portal::kPath;
using portal::kRequest;
using portal::kService;
using portal::kSession;
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");

constexpr uint kDeviceKeyboard = 1;
constexpr uint kDevicePointer = 2;
constexpr uint kSourceMonitor = 1;
constexpr uint kPersistUntilRevoked = 2;
constexpr uint kResponseCancelled = 1;
constexpr int kButtonLeft = 272;  // BTN_LEFT of linux/input-event-codes.h
constexpr int kButtonRight = 273;
constexpr uint32_t kKeysymShiftL = 0xffe1;
constexpr uint32_t kKeysymControlL = 0xffe3;

// Where the desktop's permission to restore a session is kept between runs.
QString RestoreTokenPath() {
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (!state.startsWith(QLatin1Char('/')))
    state = QDir::homePath() + QStringLiteral("/.local/state");
  return state + QStringLiteral("/MorrowvaneHelper/portal-restore-token");
}

QString ReadRestoreToken() {
  QFile file(RestoreTokenPath());
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.read(4096)).trimmed();
}

void WriteRestoreToken(const QString& token) {
  const QString path = RestoreTokenPath();
  QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
  // Created 0600 from the start: the token lets this user's programs skip the dialog.
  const int fd =
      ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const QByteArray bytes = token.toUtf8();
  if (fchmod(fd, 0600) != 0 || write(fd, bytes.constData(), bytes.size()) != bytes.size()) {
    portal::Log(QStringLiteral("cannot keep the portal's restore token in ") + path);
  }
  ::close(fd);
}

QDBusMessage Call(const QString& interface, const QString& method, const QVariantList& arguments) {
  QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, interface, method);
  message.setArguments(arguments);
  return QDBusConnection::sessionBus().call(message);
}

std::pair<double, double> Pair(const QVariant& value) {
  int a = 0, b = 0;
  if (value.canConvert<QDBusArgument>()) {
    const QDBusArgument argument = value.value<QDBusArgument>();
    argument.beginStructure();
    argument >> a >> b;
    argument.endStructure();
  }
  return {a, b};
}

}  // namespace

PortalRemoteDesktop::PortalRemoteDesktop(std::function<void()> on_closed,
                                         std::function<bool()> input_stopped)
    : on_closed_(std::move(on_closed)), input_stopped_(std::move(input_stopped)) {}

PortalRemoteDesktop::~PortalRemoteDesktop() { Stop(); }

void PortalRemoteDesktop::Start() {
  if (state_ != State::kIdle) return;
  declined_ = false;
  if (version_ < 0) {
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(kService, kPath,
                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                       QStringLiteral("Get"))
        << kRemoteDesktop << QStringLiteral("version"));
    version_ =
        reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
            ? static_cast<int>(reply.arguments().first().value<QDBusVariant>().variant().toUInt())
            : 0;
    if (version_ == 0) {
      portal::Log(
          QStringLiteral("this desktop offers no RemoteDesktop portal (%1); remote input is not "
                         "possible on it")
              .arg(reply.errorMessage()));
    }
  }
  if (version_ == 0) return;
  state_ = State::kCreating;
  Request(kRemoteDesktop, QStringLiteral("CreateSession"), {},
          {{QStringLiteral("session_handle_token"),
            QStringLiteral("mv%1_%2").arg(getpid()).arg(++request_serial_)}});
}

void PortalRemoteDesktop::Request(const QString& interface, const QString& method,
                                  QVariantList arguments, QVariantMap options) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString token = QStringLiteral("mv%1_%2").arg(getpid()).arg(++request_serial_);
  options.insert(QStringLiteral("handle_token"), token);
  // Listening before calling; only the portal's own signals count.
  request_path_ = portal::RequestPath(token);
  bus.connect(kService, request_path_, kRequest, QStringLiteral("Response"), this,
              SLOT(OnResponse(uint, QVariantMap)));
  arguments.append(options);
  const QDBusMessage reply = Call(interface, method, arguments);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    Fail(method + QStringLiteral(" failed: ") + reply.errorMessage());
  }
}

void PortalRemoteDesktop::OnResponse(uint response, const QVariantMap& results) {
  QDBusConnection::sessionBus().disconnect(kService, request_path_, kRequest,
                                           QStringLiteral("Response"), this,
                                           SLOT(OnResponse(uint, QVariantMap)));
  request_path_.clear();
  declined_ = response == kResponseCancelled;
  if (response != 0) {
    Fail(QStringLiteral("the remote desktop session was not allowed (answer %1)").arg(response));
    return;
  }
  switch (state_) {
    case State::kCreating: {
      const QVariant handle = results.value(QStringLiteral("session_handle"));
      session_ = QDBusObjectPath(handle.canConvert<QDBusObjectPath>()
                                     ? handle.value<QDBusObjectPath>().path()
                                     : handle.toString());
      QDBusConnection::sessionBus().connect(kService, session_.path(), kSession,
                                            QStringLiteral("Closed"), this,
                                            SLOT(OnSessionClosed()));
      state_ = State::kSelectingDevices;
      QVariantMap options{{QStringLiteral("types"), kDeviceKeyboard | kDevicePointer}};
      if (version_ >= 2) {
        options.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
        if (const QString token = ReadRestoreToken(); !token.isEmpty()) {
          options.insert(QStringLiteral("restore_token"), token);
        }
      }
      Request(kRemoteDesktop, QStringLiteral("SelectDevices"), {QVariant::fromValue(session_)},
              options);
      break;
    }
    case State::kSelectingDevices:
      state_ = State::kSelectingSources;
      Request(kScreenCast, QStringLiteral("SelectSources"), {QVariant::fromValue(session_)},
              {{QStringLiteral("types"), kSourceMonitor}, {QStringLiteral("multiple"), true}});
      break;
    case State::kSelectingSources:
      state_ = State::kStarting;
      Request(kRemoteDesktop, QStringLiteral("Start"), {QVariant::fromValue(session_), QString()},
              {});
      break;
    case State::kStarting:
      TakeStartResults(results);
      break;
    case State::kIdle:
    case State::kStarted:
      break;
  }
}

void PortalRemoteDesktop::TakeStartResults(const QVariantMap& results) {
  streams_.clear();
  const QVariant streams = results.value(QStringLiteral("streams"));
  if (streams.canConvert<QDBusArgument>()) {
    const QDBusArgument argument = streams.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
      Stream stream;
      QVariantMap properties;
      argument.beginStructure();
      argument >> stream.node >> properties;
      argument.endStructure();
      std::tie(stream.x, stream.y) = Pair(properties.value(QStringLiteral("position")));
      std::tie(stream.width, stream.height) = Pair(properties.value(QStringLiteral("size")));
      if (stream.width > 0 && stream.height > 0) streams_.push_back(stream);
    }
    argument.endArray();
  }
  const uint devices = results.value(QStringLiteral("devices")).toUInt();
  if ((devices & (kDeviceKeyboard | kDevicePointer)) != (kDeviceKeyboard | kDevicePointer) ||
      streams_.empty()) {
    Fail(QStringLiteral("the desktop granted no pointer and keyboard on its monitors"));
    return;
  }
  if (const QString token = results.value(QStringLiteral("restore_token")).toString();
      version_ >= 2 && !token.isEmpty()) {
    WriteRestoreToken(token);
  }
  state_ = State::kStarted;
  notify_failed_ = false;
  // Mutter makes the session's virtual keyboard on its first key and loses
  // the keys that come before it is ready: a lone Shift makes it now.
  Keysym(kKeysymShiftL, true);
  Keysym(kKeysymShiftL, false);
  portal::Log(
      QStringLiteral("remote desktop session started on %1 monitor(s)").arg(streams_.size()));
}

void PortalRemoteDesktop::OnSessionClosed() {
  const bool was_started = IsStarted();
  QDBusConnection::sessionBus().disconnect(kService, session_.path(), kSession,
                                           QStringLiteral("Closed"), this, SLOT(OnSessionClosed()));
  session_ = {};
  Fail(QStringLiteral("the desktop closed the remote desktop session"));
  if (was_started && on_closed_) on_closed_();
}

void PortalRemoteDesktop::Fail(const QString& why) {
  portal::Log(why);
  if (!request_path_.isEmpty()) {
    QDBusConnection::sessionBus().disconnect(kService, request_path_, kRequest,
                                             QStringLiteral("Response"), this,
                                             SLOT(OnResponse(uint, QVariantMap)));
    request_path_.clear();
  }
  Stop();
}

void PortalRemoteDesktop::Stop() {
  state_ = State::kIdle;
  streams_.clear();
  has_position_ = false;
  if (session_.path().isEmpty()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.disconnect(kService, session_.path(), kSession, QStringLiteral("Closed"), this,
                 SLOT(OnSessionClosed()));
  bus.call(
      QDBusMessage::createMethodCall(kService, session_.path(), kSession, QStringLiteral("Close")),
      QDBus::NoBlock);
  session_ = {};
}

void PortalRemoteDesktop::Notify(const QString& method, const QVariantList& arguments) {
  QVariantList all{QVariant::fromValue(session_), QVariantMap()};
  all.append(arguments);
  // Waiting for each answer keeps a flood of commands from piling up on the bus.
  const QDBusMessage reply = Call(kRemoteDesktop, method, all);
  if (reply.type() != QDBusMessage::ReplyMessage && !notify_failed_) {
    notify_failed_ = true;  // once per session: a flood must not flood the log
    portal::Log(method + QStringLiteral(" failed: ") + reply.errorMessage());
  }
}

void PortalRemoteDesktop::PostMouse(const MouseEvent& event, double x, double y) {
  if (!IsStarted()) return;
  // A point on no monitor moves nothing; a button still goes where the
  // pointer is, so that no press is left without its release.
  if (!has_position_ || x != last_x_ || y != last_y_) {
    for (const Stream& stream : streams_) {
      if (x >= stream.x && x < stream.x + stream.width && y >= stream.y &&
          y < stream.y + stream.height) {
        Notify(QStringLiteral("NotifyPointerMotionAbsolute"),
               {stream.node, x - stream.x, y - stream.y});
        has_position_ = true;
        last_x_ = x;
        last_y_ = y;
        break;
      }
    }
  }
  int button = 0;
  uint pressed = 0;
  switch (event.type) {
    case MouseEventType::kLeftMouseDown:
      button = kButtonLeft, pressed = 1;
      break;
    case MouseEventType::kLeftMouseUp:
      button = kButtonLeft;
      break;
    case MouseEventType::kRightMouseDown:
      button = kButtonRight, pressed = 1;
      break;
    case MouseEventType::kRightMouseUp:
      button = kButtonRight;
      break;
    case MouseEventType::kMouseMoved:
    case MouseEventType::kLeftMouseDragged:
      return;
  }
  Notify(QStringLiteral("NotifyPointerButton"), {button, pressed});
}

void PortalRemoteDesktop::ReleaseButton(MouseButton button) {
  if (!IsStarted()) return;
  Notify(QStringLiteral("NotifyPointerButton"),
         {button == MouseButton::kLeft ? kButtonLeft : kButtonRight, uint{0}});
}

void PortalRemoteDesktop::Keysym(uint32_t keysym, bool down) {
  Notify(QStringLiteral("NotifyKeyboardKeysym"), {static_cast<int>(keysym), uint{down}});
}

void PortalRemoteDesktop::PostKeyboard(const KeyboardEvent& event) {
  // The whole stroke goes out with the key down, as on X11.
  if (!IsStarted() || !event.key_down) return;
  if (!event.units.empty() && !event.has_flags) {
    // The compositor finds the key and level of each keysym on the current
    // layout; one the layout lacks is dropped there, never replaced.
    for (char32_t c : DecodeUtf16(event.units)) {
      if (input_stopped_()) return;
      if (const uint32_t keysym = KeysymForCodePoint(c)) {
        Keysym(keysym, true);
        Keysym(keysym, false);
      }
    }
    return;
  }
  const uint32_t keysym = KeysymForKeyCode(event.key_code);
  if (keysym == 0) return;
  const uint64_t flags = event.has_flags ? event.flags : 0;
  std::vector<uint32_t> modifiers;
  // Desktop shortcuts here use Control where the protocol's flags say
  // Command or Option.
  if (flags & (kEventFlagCommand | kEventFlagAlternate)) modifiers.push_back(kKeysymControlL);
  if (flags & kEventFlagShift) modifiers.push_back(kKeysymShiftL);
  for (uint32_t modifier : modifiers) Keysym(modifier, true);
  Keysym(keysym, true);
  Keysym(keysym, false);
  for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) Keysym(*it, false);
}

}  // namespace mv
