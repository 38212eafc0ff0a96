#include "platform/wayland/PortalRemoteDesktop.h"

#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/StateFile.h"
#include "platform/linux/Keysyms.h"
#include "platform/wayland/Portal.h"
#include "platform/wayland/PortalRules.h"
#include "platform/wayland/QtScreens.h"

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
// An input call answers within milliseconds; the first that does not in
// this time counts as a broken session. Also the longest the event loop
// waits for an answer.
constexpr int kNotifyTimeoutMs = 2000;
// Enough to keep the portal busy; few enough that a flood cannot pile up
// and a stop lets only these arrive.
constexpr size_t kMaxMotionsInFlight = 64;
// How often input lets the event loop run, so that a stop or the desktop
// ending the session is seen in the middle of a long run of calls.
constexpr qint64 kLoopIntervalMs = 5;
// Motions in flight together may arrive in any order: once they have paused
// this long, the last one is sent again so that the pointer ends where it
// was sent.
constexpr int kRestateAfterMs = 2;
constexpr std::chrono::seconds kRequestDeadline{20};
// Start shows the desktop's dialog, which a person reads and answers.
constexpr std::chrono::minutes kDialogDeadline{3};
// Relative motion this far ends in a corner of the layout.
constexpr double kFarAway = 100000;
constexpr qint64 kRepeatMs = 1000;

// The desktop's permission to restore a session, kept between runs.
constexpr char kRestoreTokenFile[] = "portal-restore-token";
constexpr size_t kMaxRestoreToken = 4096;

QString ReadRestoreToken() {
  std::string problem;
  const std::optional<std::string> token =
      ReadStateFile(kRestoreTokenFile, kMaxRestoreToken, &problem);
  if (!problem.empty()) {
    portal::Log(QStringLiteral("the portal's restore token is not used: ") +
                QString::fromStdString(problem));
  }
  return token ? QString::fromStdString(*token).trimmed() : QString();
}

void WriteRestoreToken(const QString& token) {
  // Replaced whole: a token cut short would be refused.
  if (std::string problem; !WriteStateFile(kRestoreTokenFile, token.toStdString(), &problem)) {
    portal::Log(QStringLiteral("cannot keep the portal's restore token: ") +
                QString::fromStdString(problem));
  }
}

// Beside the token: the session it restores has no screen cast, which could
// not start on this desktop; asking for one would drop the token.
constexpr char kInputOnlyFile[] = "portal-input-only";

void RemoveRestoreToken() {
  RemoveStateFile(kRestoreTokenFile);
  RemoveStateFile(kInputOnlyFile);
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

// The monitors in the compositor's layout, the primary first.
std::vector<Rect> LayoutMonitors() {
  const Rect primary = PrimaryQtScreen();
  std::vector<Rect> monitors = QtScreenBounds();
  for (Rect& monitor : monitors) monitor.x += primary.x, monitor.y += primary.y;
  return monitors;
}

// The texts of KWin's settings files, the system's first and the user's last.
std::vector<std::string> KwinSettings() {
  constexpr qint64 kMaxSettings = 1 << 20;
  const QStringList paths =
      QStandardPaths::locateAll(QStandardPaths::GenericConfigLocation, QStringLiteral("kwinrc"));
  std::vector<std::string> texts;
  for (auto path = paths.crbegin(); path != paths.crend(); ++path) {
    QFile file(*path);
    if (QFileInfo(*path).isFile() && file.open(QIODevice::ReadOnly)) {
      texts.push_back(file.read(kMaxSettings).toStdString());
    }
  }
  return texts;
}

bool Contains(const Rect& r, double x, double y) {
  return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

}  // namespace

PortalRemoteDesktop::PortalRemoteDesktop(std::function<void()> on_closed,
                                         std::function<bool()> input_stopped)
    : bus_(QDBusConnection::sessionBus()),
      on_closed_(std::move(on_closed)),
      input_stopped_(std::move(input_stopped)) {
  deadline_.setSingleShot(true);
  restate_.setSingleShot(true);
  restate_.setInterval(kRestateAfterMs);
  connect(&restate_, &QTimer::timeout, this, [this] {
    if (IsStarted() && !last_motion_.isEmpty() && Settle(0)) {
      Notify(last_method_, std::exchange(last_motion_, {}), Call::kMotion);
    }
  });
  connect(&deadline_, &QTimer::timeout, this, [this] {
    Fail(QStringLiteral("the desktop did not answer %1 in time; the next check asks again")
             .arg(request_method_));
  });
}

PortalRemoteDesktop::~PortalRemoteDesktop() { Stop(); }

void PortalRemoteDesktop::Await(const QDBusMessage& call,
                                std::function<void(const QDBusMessage&)> then, int timeout_ms) {
  auto* watcher = new QDBusPendingCallWatcher(
      QDBusConnection::sessionBus().asyncCall(call, timeout_ms), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, watcher, generation = generation_, then = std::move(then)] {
            watcher->deleteLater();
            if (generation == generation_) then(watcher->reply());
          });
}

void PortalRemoteDesktop::Start() {
  if (state_ != State::kIdle || version_ == 0) return;
  retried_ = false;
  declined_ = false;
  if (version_ > 0) {
    Create();
    return;
  }
  state_ = State::kProbing;
  Await(portal::VersionCall(kRemoteDesktop), [this](const QDBusMessage& reply) {
    if (reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NoReply")) {
      state_ = State::kIdle;  // the next check asks again
      portal::Log(QStringLiteral("the desktop portal does not answer: ") + reply.errorMessage());
      return;
    }
    version_ = portal::VersionFrom(reply);
    if (version_ == 0) {
      state_ = State::kIdle;
      portal::Log(
          QStringLiteral("this desktop offers no RemoteDesktop portal (%1); remote input is not "
                         "possible on it")
              .arg(reply.errorMessage()));
    } else if (portal::ClaimRegistration()) {
      Await(portal::RegisterCall(), [this](const QDBusMessage& registered) {
        // Portals before 1.19 have no registry and take the app id from elsewhere.
        if (registered.type() == QDBusMessage::ErrorMessage &&
            !registered.errorName().startsWith(QStringLiteral("org.freedesktop.DBus.Error.Unknown"))) {
          portal::Log(QStringLiteral("the portal did not take the program's app id: ") +
                      registered.errorMessage());
        }
        Create();
      });
    } else {
      Create();
    }
  }, portal::kStartupTimeoutMs);
}

void PortalRemoteDesktop::Create() {
  state_ = State::kCreating;
  sent_token_ = false;
  Request(kRemoteDesktop, QStringLiteral("CreateSession"), {},
          {{QStringLiteral("session_handle_token"),
            QStringLiteral("mv%1_%2").arg(getpid()).arg(++request_serial_)}});
}

void PortalRemoteDesktop::ListenAt(const QString& request_path) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!request_path_.isEmpty()) {
    bus.disconnect(kService, request_path_, kRequest, QStringLiteral("Response"), this,
                   SLOT(OnResponse(uint, QVariantMap)));
  }
  request_path_ = request_path;
  // Only the portal's own signals count.
  if (!request_path_.isEmpty()) {
    bus.connect(kService, request_path_, kRequest, QStringLiteral("Response"), this,
                SLOT(OnResponse(uint, QVariantMap)));
  }
}

void PortalRemoteDesktop::Request(const QString& interface, const QString& method,
                                  QVariantList arguments, QVariantMap options) {
  const QString token = QStringLiteral("mv%1_%2").arg(getpid()).arg(++request_serial_);
  options.insert(QStringLiteral("handle_token"), token);
  // Listening before calling: the answer may come before the call returns.
  ListenAt(portal::RequestPath(token));
  request_method_ = method;
  arguments.append(options);
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, interface, method);
  call.setArguments(arguments);
  deadline_.start(method == QStringLiteral("Start") ? kDialogDeadline : kRequestDeadline);
  ++generation_;
  Await(call, [this, method](const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage) {
      Retry(method + QStringLiteral(" failed: ") + reply.errorMessage());
      return;
    }
    const QString handle = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!request_path_.isEmpty() && !handle.isEmpty() && handle != request_path_) {
      portal::Log(QStringLiteral("the portal answers %1 at %2, not where expected").arg(method, handle));
      ListenAt(handle);
    }
  });
}

void PortalRemoteDesktop::OnResponse(uint response, const QVariantMap& results) {
  deadline_.stop();
  ++generation_;  // the call's own answer is of no interest any more
  ListenAt({});
  declined_ = response == kResponseCancelled;
  if (declined_) {
    Fail(QStringLiteral("the remote desktop session was declined (answer 1, cancelled)"));
    return;
  }
  if (response != 0) {
    Retry(QStringLiteral("the desktop could not go on with %1 (answer %2, error)")
              .arg(request_method_)
              .arg(response));
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
                                            SLOT(OnSessionClosed(QDBusMessage)));
      state_ = State::kSelectingDevices;
      QVariantMap options{{QStringLiteral("types"), kDeviceKeyboard | kDevicePointer}};
      if (version_ >= 2) {
        options.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
        if (const QString token = ReadRestoreToken(); !token.isEmpty()) {
          options.insert(QStringLiteral("restore_token"), token);
          sent_token_ = true;
          if (ReadStateFile(kInputOnlyFile, 0)) with_screen_cast_ = false;
        }
      }
      Request(kRemoteDesktop, QStringLiteral("SelectDevices"), {QVariant::fromValue(session_)},
              options);
      break;
    }
    case State::kSelectingDevices:
      if (with_screen_cast_) {
        state_ = State::kSelectingSources;
        Request(kScreenCast, QStringLiteral("SelectSources"), {QVariant::fromValue(session_)},
                {{QStringLiteral("types"), kSourceMonitor}, {QStringLiteral("multiple"), true}});
        break;
      }
      [[fallthrough]];
    case State::kSelectingSources:
      state_ = State::kStarting;
      Request(kRemoteDesktop, QStringLiteral("Start"), {QVariant::fromValue(session_), QString()},
              {});
      break;
    case State::kStarting:
      TakeStartResults(results);
      break;
    case State::kIdle:
    case State::kProbing:
    case State::kStarted:
      break;
  }
}

void PortalRemoteDesktop::TakeStartResults(const QVariantMap& results) {
  std::vector<portal::StreamGeometry> geometry;
  std::vector<uint> nodes;
  const QVariant streams = results.value(QStringLiteral("streams"));
  if (streams.canConvert<QDBusArgument>()) {
    const QDBusArgument argument = streams.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
      uint node = 0;
      QVariantMap properties;
      argument.beginStructure();
      argument >> node >> properties;
      argument.endStructure();
      portal::StreamGeometry stream;
      stream.has_position = properties.contains(QStringLiteral("position"));
      std::tie(stream.rect.x, stream.rect.y) = Pair(properties.value(QStringLiteral("position")));
      std::tie(stream.rect.width, stream.rect.height) =
          Pair(properties.value(QStringLiteral("size")));
      if (stream.rect.width > 0 && stream.rect.height > 0) {
        geometry.push_back(stream);
        nodes.push_back(node);
      }
    }
    argument.endArray();
  }
  const uint devices = results.value(QStringLiteral("devices")).toUInt();
  if ((devices & (kDeviceKeyboard | kDevicePointer)) != (kDeviceKeyboard | kDevicePointer)) {
    Fail(QStringLiteral("the desktop granted no pointer and keyboard"));
    return;
  }
  streams_.clear();
  std::string problem;
  if (geometry.empty()) {
    portal::Log(QStringLiteral("no screen cast: the pointer is placed by relative motion"));
  } else if (const auto placed = portal::PlaceStreams(geometry, LayoutMonitors(), &problem)) {
    for (size_t i = 0; i < nodes.size(); ++i) {
      const Rect& r = (*placed)[i];
      streams_.push_back({nodes[i], r.x, r.y, r.width, r.height});
    }
  } else {
    portal::Log(QStringLiteral("the screen cast's streams cannot be told apart (%1): the pointer "
                               "is placed by relative motion")
                    .arg(QString::fromStdString(problem)));
  }
  held_at_edges_ =
      streams_.empty() &&
      portal::KdeHoldsPointerAtEdges(qgetenv("XDG_CURRENT_DESKTOP").toStdString(),
                                     qgetenv("KDE_SESSION_VERSION").toStdString(), KwinSettings());
  refusal_logged_ = false;
  if (version_ >= 2) {
    // Each token restores one session: keep the new one, or none.
    if (const QString token = results.value(QStringLiteral("restore_token")).toString();
        !token.isEmpty()) {
      WriteRestoreToken(token);
      // Without it the next run asks again.
      if (with_screen_cast_) {
        RemoveStateFile(kInputOnlyFile);
      } else {
        WriteStateFile(kInputOnlyFile, "");
      }
    } else {
      RemoveRestoreToken();
    }
  }
  state_ = State::kStarted;
  retried_ = false;
  notify_failed_ = false;
  session_argument_ = QVariant::fromValue(session_);
  loop_ran_.start();
  // Mutter makes the session's virtual keyboard on its first key and its
  // pointer on the first motion, and loses what comes before they are ready
  // (mutter 48 the first clicks too): a lone Shift and a motion by nothing
  // make them now.
  if (Keysym(kKeysymShiftL, true)) Keysym(kKeysymShiftL, false);
  Notify(QStringLiteral("NotifyPointerMotion"), Arguments({0.0, 0.0}), Call::kMotion);
  if (IsStarted()) {
    portal::Log(
        QStringLiteral("remote desktop session started on %1 monitor(s)").arg(streams_.size()));
  }
}

void PortalRemoteDesktop::OnSessionClosed(const QDBusMessage& signal) {
  if (signal.path() != session_.path()) return;
  EndedByDesktop(QStringLiteral("the desktop closed the remote desktop session"));
}

void PortalRemoteDesktop::EndedByDesktop(const QString& why) {
  const bool was_started = IsStarted();
  QDBusConnection::sessionBus().disconnect(kService, session_.path(), kSession,
                                           QStringLiteral("Closed"), this,
                                           SLOT(OnSessionClosed(QDBusMessage)));
  session_ = {};
  Fail(why);
  if (was_started && on_closed_) on_closed_();
}

void PortalRemoteDesktop::Retry(const QString& why) {
  portal::Log(why);
  const bool starting = state_ == State::kStarting;
  const bool sent_token = sent_token_;
  Stop();
  if (sent_token) {
    portal::Log(QStringLiteral("asking again without the remembered permission"));
    RemoveRestoreToken();
  } else if (starting && with_screen_cast_) {
    // Asking with the screen cast again would show the desktop's dialog again.
    with_screen_cast_ = false;
    portal::Log(QStringLiteral("the screen cast cannot start here: asking for the session without it"));
  } else if (!std::exchange(retried_, true)) {
    portal::Log(QStringLiteral("asking once more"));
  } else {
    return;
  }
  Create();
}

void PortalRemoteDesktop::Fail(const QString& why) {
  portal::Log(why);
  Stop();
}

void PortalRemoteDesktop::Stop() {
  state_ = State::kIdle;
  ++generation_;
  deadline_.stop();
  ListenAt({});
  streams_.clear();
  motions_.clear();  // their answers no longer matter
  last_motion_.clear();
  restate_.stop();
  placed_.reset();
  held_at_edges_ = false;
  held_ = 0;
  if (session_.path().isEmpty()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.disconnect(kService, session_.path(), kSession, QStringLiteral("Closed"), this,
                 SLOT(OnSessionClosed(QDBusMessage)));
  bus.send(
      QDBusMessage::createMethodCall(kService, session_.path(), kSession, QStringLiteral("Close")));
  session_ = {};
}

QVariantList PortalRemoteDesktop::Arguments(std::initializer_list<QVariant> rest) const {
  QVariantList all;
  all.reserve(2 + rest.size());
  all << session_argument_ << QVariantMap();
  for (const QVariant& argument : rest) all << argument;
  return all;
}

bool PortalRemoteDesktop::Notify(const QString& method, QVariantList arguments, Call call_kind) {
  const bool pipelined = call_kind == Call::kPipelinedMotion;
  if (!IsStarted() || !Settle(pipelined ? kMaxMotionsInFlight - 1 : 0)) return false;
  if (call_kind != Call::kOther && input_stopped_()) return true;
  if (call_kind == Call::kMotion) last_motion_.clear();  // this one lands last
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop, method);
  call.setArguments(arguments);
  QDBusPendingCall pending = bus_.asyncCall(call, kNotifyTimeoutMs);
  if (pipelined) {
    // This one may overtake or be overtaken; one sent after an earlier such
    // one replaces it, even when everything before it was answered.
    if (!motions_.empty() || !last_motion_.isEmpty()) {
      last_method_ = method;
      last_motion_ = std::move(arguments);
      restate_.start();
    }
    motions_.push_back(std::move(pending));
    return true;
  }
  // The bus's own thread wakes this one with the answer, or with an error
  // once the call's timeout has passed.
  pending.waitForFinished();
  return Answered(method, pending);
}

void PortalRemoteDesktop::LetLoopRun() {
  if (loop_ran_.elapsed() < kLoopIntervalMs) return;
  QCoreApplication::processEvents();
  loop_ran_.start();
}

bool PortalRemoteDesktop::Settle(size_t left) {
  while (motions_.size() > left || (!motions_.empty() && motions_.front().isFinished())) {
    QDBusPendingCall oldest = std::move(motions_.front());
    motions_.pop_front();
    oldest.waitForFinished();
    if (!Answered(QStringLiteral("NotifyPointerMotion"), oldest)) return false;
  }
  return true;
}

bool PortalRemoteDesktop::Answered(const QString& method, const QDBusPendingCall& call) {
  if (!IsStarted()) return false;
  if (!call.isError()) return true;
  const QDBusError error = call.error();
  if (portal::SessionGone(error.name().toStdString(), error.message().toStdString())) {
    EndedByDesktop(method + QStringLiteral(" failed, the session is gone: ") + error.message());
    return false;
  }
  if (!std::exchange(notify_failed_, true)) {  // once per session: a flood must not flood the log
    portal::Log(method + QStringLiteral(" failed: ") + error.message());
  }
  return true;
}

bool PortalRemoteDesktop::MoveTo(double x, double y, Call kind) {
  // A point on no monitor moves nothing.
  for (const Stream& stream : streams_) {
    if (Contains({stream.x, stream.y, stream.width, stream.height}, x, y)) {
      // From one monitor to another the pointer leaves one window and
      // enters another: clients see that in order only when it is alone.
      if (std::exchange(motion_node_, stream.node) != stream.node) kind = Call::kMotion;
      return Notify(QStringLiteral("NotifyPointerMotionAbsolute"),
                    Arguments({stream.node, x - stream.x, y - stream.y}), kind);
    }
  }
  if (!streams_.empty()) return true;
  const std::vector<Rect> monitors = LayoutMonitors();
  if (held_at_edges_ && monitors.size() > 1) {
    if (!std::exchange(refusal_logged_, true)) {
      portal::Log(QStringLiteral(
          "KDE's edge and corner barriers between monitors would misplace the pointer: pointer "
          "commands are refused (turn both off in KDE's screen edge settings to allow them)"));
    }
    return false;
  }
  if (std::none_of(monitors.begin(), monitors.end(),
                   [&](const Rect& m) { return Contains(m, x, y); })) {
    return true;
  }
  // Into a corner of the layout, then by the offset. KDE's top-left corner
  // opens the overview and pushes the pointer back a pixel: the top-right
  // one wherever a monitor has it.
  // Through the corner a held button would drag, and a click repeated at
  // its point would be no double click: from the last point instead.
  const bool repeated = placed_ && *placed_ == std::pair(x, y) && placed_at_.elapsed() < kRepeatMs;
  const std::optional<std::pair<double, double>> from = std::exchange(placed_, std::pair(x, y));
  placed_at_.start();
  if (from && (held_ != 0 || repeated)) {
    return (x == from->first && y == from->second) ||
           Notify(QStringLiteral("NotifyPointerMotion"),
                  Arguments({x - from->first, y - from->second}), Call::kMotion);
  }
  double left = x, top = y, right = x;
  for (const Rect& m : monitors) {
    left = std::min(left, m.x), top = std::min(top, m.y), right = std::max(right, m.x + m.width - 1);
  }
  const bool top_right = std::any_of(monitors.begin(), monitors.end(),
                                     [&](const Rect& m) { return Contains(m, right, top); });
  const double corner = top_right ? right : left;
  // The two in this order: nothing may overtake.
  return Notify(QStringLiteral("NotifyPointerMotion"),
                Arguments({top_right ? kFarAway : -kFarAway, -kFarAway}), Call::kMotion) &&
         Notify(QStringLiteral("NotifyPointerMotion"), Arguments({x - corner, y - top}),
                Call::kMotion);
}

void PortalRemoteDesktop::PostMouse(const MouseEvent& event, double x, double y) {
  LetLoopRun();
  if (!IsStarted()) return;
  // Every event moves first, so that a button lands where it was sent also
  // after the local pointer moved; off the monitors it goes where the
  // pointer is, so that no press is left without its release.
  // A button waits for the motions before it, and for its own motion.
  const bool button = event.type != MouseEventType::kMouseMoved &&
                      event.type != MouseEventType::kLeftMouseDragged;
  if (!MoveTo(x, y, button ? Call::kMotion : Call::kPipelinedMotion)) return;
  int button_code = 0;
  uint pressed = 0;
  switch (event.type) {
    case MouseEventType::kLeftMouseDown:
      button_code = kButtonLeft, pressed = 1;
      break;
    case MouseEventType::kLeftMouseUp:
      button_code = kButtonLeft;
      break;
    case MouseEventType::kRightMouseDown:
      button_code = kButtonRight, pressed = 1;
      break;
    case MouseEventType::kRightMouseUp:
      button_code = kButtonRight;
      break;
    case MouseEventType::kMouseMoved:
    case MouseEventType::kLeftMouseDragged:
      return;
  }
  // The stop may have come while the motion was answered.
  if (pressed && input_stopped_()) return;
  if (Notify(QStringLiteral("NotifyPointerButton"), Arguments({button_code, pressed}), Call::kOther)) {
    held_ = pressed ? held_ | 1u << button_code % 32 : held_ & ~(1u << button_code % 32);
  }
}

void PortalRemoteDesktop::ReleaseButton(MouseButton button) {
  if (!IsStarted()) return;
  const int code = button == MouseButton::kLeft ? kButtonLeft : kButtonRight;
  held_ &= ~(1u << code % 32);
  Notify(QStringLiteral("NotifyPointerButton"), Arguments({code, uint{0}}), Call::kOther);
}

bool PortalRemoteDesktop::Keysym(uint32_t keysym, bool down) {
  return Notify(QStringLiteral("NotifyKeyboardKeysym"),
                Arguments({static_cast<int>(keysym), uint{down}}), Call::kOther);
}

bool PortalRemoteDesktop::Stroke(std::span<const uint32_t> keys) {
  // Each press looks for the stop, which the event loop may just have
  // handled; what was pressed is always released.
  size_t pressed = 0;
  for (; pressed < keys.size(); ++pressed) {
    LetLoopRun();
    if (input_stopped_()) break;
    if (!Keysym(keys[pressed], true)) return false;
  }
  while (pressed > 0) {
    if (!Keysym(keys[--pressed], false)) return false;
  }
  return !input_stopped_();
}

void PortalRemoteDesktop::PostKeyboard(const KeyboardEvent& event) {
  // The whole stroke goes out with the key down, as on X11.
  if (!IsStarted() || !event.key_down) return;
  if (!event.units.empty() && !event.has_flags) {
    // The compositor finds the key and level of each keysym on the current
    // layout; one the layout lacks is dropped there, never replaced.
    for (char32_t c : DecodeUtf16(event.units)) {
      const uint32_t keysym = KeysymForCodePoint(c);
      if (keysym != 0 && !Stroke({&keysym, 1})) return;
    }
    return;
  }
  const uint32_t keysym = KeysymForKeyCode(event.key_code);
  if (keysym == 0) return;
  const uint64_t flags = event.has_flags ? event.flags : 0;
  std::vector<uint32_t> keys;
  // Desktop shortcuts here use Control where the protocol's flags say
  // Command or Option.
  if (flags & (kEventFlagCommand | kEventFlagAlternate)) keys.push_back(kKeysymControlL);
  if (flags & kEventFlagShift) keys.push_back(kKeysymShiftL);
  keys.push_back(keysym);
  Stroke(keys);
}

}  // namespace mv
