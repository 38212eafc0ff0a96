#include "platform/wayland/PortalGlobalShortcuts.h"

#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QVariantMap>
#include <optional>
#include <utility>

#include "platform/wayland/Portal.h"
#include "platform/wayland/PortalRules.h"

namespace mv {
namespace {

const QString kGlobalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kShortcutId = QStringLiteral("quit");
const QString kKeyService = QStringLiteral("org.kde.kglobalaccel");
constexpr std::chrono::seconds kWaitBudget{10};

using Shortcut = std::pair<QString, QVariantMap>;
using Shortcuts = QList<Shortcut>;

// The session's token; KDE's key service names the component after it.
QString Token(char letter) { return QStringLiteral("MorrowvaneHelper_%1").arg(letter); }

// The description of this program's shortcut in a list of them; none when
// the list lacks it (an empty description: the desktop did not say).
std::optional<QString> OurTrigger(const QVariant& value) {
  Shortcuts shortcuts;
  if (value.canConvert<QDBusArgument>()) {
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() == QLatin1String("a(sa{sv})")) argument >> shortcuts;
  }
  for (const Shortcut& shortcut : shortcuts) {
    if (shortcut.first == kShortcutId) {
      return shortcut.second.value(QStringLiteral("trigger_description")).toString();
    }
  }
  return std::nullopt;
}

// Runs the calling thread's event loop until `done` or `timeout`.
bool WaitRunningLoop(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const QDeadlineTimer deadline(timeout);
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done() || deadline.hasExpired()) loop.quit();
  });
  poll.start(20);
  if (!done()) loop.exec();
  return done();
}

}  // namespace

// Speaks to the portal on its own thread; everything here runs there.
class PortalGlobalShortcuts::Agent final : public QObject {
  Q_OBJECT

 public:
  Agent(PortalGlobalShortcuts& owner, std::function<void()> on_press)
      : owner_(owner), on_press_(std::move(on_press)) {}

  void Listen() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (const char* name : {"Activated", "Deactivated", "ShortcutsChanged"}) {
      bus.connect(portal::kService, portal::kPath, kGlobalShortcuts, QLatin1String(name), this,
                  SLOT(OnSignal(QDBusMessage)));
    }
    owner_.version_ = portal::VersionFrom(
        bus.call(portal::VersionCall(kGlobalShortcuts), QDBus::Block, portal::kStartupTimeoutMs));
  }

  void Begin(unsigned attempt, char letter) {
    Close(0);
    attempt_ = attempt;
    letter_ = letter;
    retried_ = false;
    if (portal::ClaimRegistration()) {
      // Where the portal has no registry it learns the app id elsewhere.
      QDBusConnection::sessionBus().call(portal::RegisterCall(), QDBus::Block,
                                         portal::kCallTimeoutMs);
    }
    const Shortcuts shortcuts{
        {kShortcutId,
         {{QStringLiteral("description"), QStringLiteral("Stop remote control")},
          {QStringLiteral("preferred_trigger"), QStringLiteral("CTRL+ALT+SHIFT+%1").arg(letter)}}}};
    shortcuts_ = QVariant::fromValue(shortcuts);
    Create();
  }

  // Ends the session, whatever it bound; `attempt` is answered with nothing.
  void Close(unsigned attempt) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    StopListening();
    if (!session_.isEmpty()) {
      bus.send(QDBusMessage::createMethodCall(portal::kService, session_, portal::kSession,
                                              QStringLiteral("Close")));
      session_.clear();
      Forget(letter_);
    }
    phase_ = Phase::kIdle;
    held_ = false;
    owner_.letter_ = 0;
    if (attempt != 0) Answer(attempt, Result::kNone);
  }

 private slots:
  void OnResponse(uint response, const QVariantMap& results) {
    StopListening();
    // GNOME 48 answers a bind it made with 2 and the bound shortcut.
    const bool bound_anyway = phase_ == Phase::kBinding &&
                              OurTrigger(results.value(QStringLiteral("shortcuts"))).has_value();
    if (response == 1) {
      portal::Log(QStringLiteral("the quit hot key was declined (answer 1, cancelled)"));
      Refuse();
      return;
    }
    if (response != 0 && !bound_anyway) {
      const bool again = !std::exchange(retried_, true);
      portal::Log(QStringLiteral("the desktop did not bind the quit hot key (answer %1, error)%2")
                      .arg(response)
                      .arg(again ? QStringLiteral("; asking once more") : QString()));
      if (!again) {
        Refuse();
      } else if (phase_ == Phase::kBinding) {
        Bind();
      } else {
        Create();
      }
      return;
    }
    if (phase_ == Phase::kCreating) {
      // A string from some portals, an object path from others.
      const QVariant handle = results.value(QStringLiteral("session_handle"));
      session_ = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                      : handle.toString();
      // Bound already where the frontend passed the shortcuts on (KDE 5.27
      // behind xdg-desktop-portal 1.16, whose BindShortcuts binds nothing).
      if (!OurTrigger(results.value(QStringLiteral("shortcuts"))).value_or(QString()).isEmpty()) {
        Take(results);
      } else {
        Bind();
      }
    } else if (phase_ == Phase::kBinding) {
      Take(results);
    }
  }

  void OnSignal(const QDBusMessage& signal) {
    const QVariantList arguments = signal.arguments();
    if (session_.isEmpty() || arguments.size() < 2 ||
        arguments[0].value<QDBusObjectPath>().path() != session_) {
      return;
    }
    if (signal.member() == QLatin1String("ShortcutsChanged")) {
      // The user chose other keys in the desktop's settings.
      if (const std::optional<QString> trigger = OurTrigger(arguments[1])) {
        owner_.letter_ = portal::ControlAltShiftLetter(trigger->toStdString());
        portal::Log(QStringLiteral("the quit hot key is now ") + *trigger);
      }
      return;
    }
    if (arguments[1].toString() != kShortcutId) return;
    if (signal.member() == QLatin1String("Deactivated")) {
      held_ = false;
      releases_seen_ = true;
      return;
    }
    // Where the desktop reports releases, a held key's repeats are not
    // presses of their own.
    if (held_ && releases_seen_) return;
    held_ = true;
    on_press_();
  }

 private:
  enum class Phase { kIdle, kCreating, kBinding, kBound };

  // xdg-desktop-portal 1.17 and later drop shortcuts passed to
  // CreateSession: there only BindShortcuts binds. One session token per letter.
  void Create() {
    phase_ = Phase::kCreating;
    Request(QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), Token(letter_)},
             {QStringLiteral("shortcuts"), shortcuts_}});
  }

  void Bind() {
    phase_ = Phase::kBinding;
    Request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), shortcuts_, QString()}, {});
  }

  void Request(const QString& method, QVariantList arguments, QVariantMap options) {
    const QString token = QStringLiteral("mvgs%1_%2").arg(getpid()).arg(++request_serial_);
    options.insert(QStringLiteral("handle_token"), token);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Listen(portal::RequestPath(token));
    arguments.append(options);
    QDBusMessage call =
        QDBusMessage::createMethodCall(portal::kService, portal::kPath, kGlobalShortcuts, method);
    call.setArguments(arguments);
    const QDBusMessage reply = bus.call(call, QDBus::Block, portal::kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
      portal::Log(method + QStringLiteral(" failed: ") + reply.errorMessage());
      Refuse();
      return;
    }
    const QString handle = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!request_path_.isEmpty() && !handle.isEmpty() && handle != request_path_) Listen(handle);
  }

  void Listen(const QString& request_path) {
    StopListening();
    request_path_ = request_path;
    QDBusConnection::sessionBus().connect(portal::kService, request_path_, portal::kRequest,
                                          QStringLiteral("Response"), this,
                                          SLOT(OnResponse(uint, QVariantMap)));
  }

  void StopListening() {
    if (request_path_.isEmpty()) return;
    QDBusConnection::sessionBus().disconnect(portal::kService, request_path_, portal::kRequest,
                                             QStringLiteral("Response"), this,
                                             SLOT(OnResponse(uint, QVariantMap)));
    request_path_.clear();
  }

  // Trusts the desktop's answer: the trigger it describes is the one bound.
  void Take(const QVariantMap& results) {
    const std::optional<QString> trigger = OurTrigger(results.value(QStringLiteral("shortcuts")));
    if (!trigger) {
      // Nothing bound for this letter: the next one may be free.
      Close(0);
      Answer(attempt_, Result::kTaken);
      return;
    }
    const char bound = portal::ControlAltShiftLetter(trigger->toStdString());
    phase_ = Phase::kBound;
    owner_.letter_ = bound;
    if (bound == letter_) {
      Answer(attempt_, Result::kBound);
      return;
    }
    // It stops input when pressed, but it is no letter to announce.
    portal::Log(trigger->isEmpty()
                    ? QStringLiteral("the desktop bound the quit hot key without saying to which keys")
                    : QStringLiteral("the desktop bound the quit hot key to ") + *trigger);
    Answer(attempt_, Result::kRefused);
  }

  // KDE's key service keeps the keys of a closed session in the user's
  // settings (kglobalshortcutsrc), under a component named after the
  // session's token; elsewhere there is no such service.
  void Forget(char letter) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusMessage components = bus.call(
        QDBusMessage::createMethodCall(kKeyService, QStringLiteral("/kglobalaccel"),
                                       QStringLiteral("org.kde.KGlobalAccel"),
                                       QStringLiteral("allComponents")),
        QDBus::Block, portal::kCallTimeoutMs);
    if (components.type() != QDBusMessage::ReplyMessage || components.arguments().isEmpty()) return;
    for (const QDBusObjectPath& path :
         qdbus_cast<QList<QDBusObjectPath>>(components.arguments().first())) {
      // The path is the component's name with its odd characters replaced.
      if (!path.path().contains(Token(letter))) continue;
      const QDBusMessage name = bus.call(
          QDBusMessage::createMethodCall(kKeyService, path.path(),
                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                         QStringLiteral("Get"))
              << QStringLiteral("org.kde.kglobalaccel.Component") << QStringLiteral("uniqueName"),
          QDBus::Block, portal::kCallTimeoutMs);
      if (name.type() != QDBusMessage::ReplyMessage || name.arguments().isEmpty()) continue;
      bus.call(QDBusMessage::createMethodCall(kKeyService, QStringLiteral("/kglobalaccel"),
                                              QStringLiteral("org.kde.KGlobalAccel"),
                                              QStringLiteral("unregister"))
                   << name.arguments().first().value<QDBusVariant>().variant().toString()
                   << kShortcutId,
               QDBus::Block, portal::kCallTimeoutMs);
    }
  }

  void Refuse() {
    Close(0);
    Answer(attempt_, Result::kRefused);
  }

  void Answer(unsigned attempt, Result result) {
    std::lock_guard lock(owner_.shared_.mutex);
    if (attempt < owner_.shared_.answered) return;
    owner_.shared_.answered = attempt;
    owner_.shared_.result = result;
  }

  PortalGlobalShortcuts& owner_;
  std::function<void()> on_press_;
  Phase phase_ = Phase::kIdle;
  unsigned attempt_ = 0;
  char letter_ = 0;
  bool retried_ = false;
  QVariant shortcuts_;
  QString request_path_;
  QString session_;
  unsigned request_serial_ = 0;
  bool held_ = false;
  bool releases_seen_ = false;
};

PortalGlobalShortcuts::PortalGlobalShortcuts(std::function<void()> on_press)
    : agent_(new Agent(*this, std::move(on_press))) {
  qDBusRegisterMetaType<Shortcut>();
  qDBusRegisterMetaType<Shortcuts>();
  agent_->moveToThread(&thread_);
  thread_.start();
  QMetaObject::invokeMethod(agent_, [agent = agent_] { agent->Listen(); }, Qt::QueuedConnection);
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
  thread_.quit();
  thread_.wait();
  // The thread has ended: nothing else touches the agent now.
  agent_->Close(0);
  delete agent_;
}

bool PortalGlobalShortcuts::Usable() {
  WaitRunningLoop([this] { return version_ >= 0; },
                  std::chrono::milliseconds(2 * portal::kCallTimeoutMs));
  if (version_ <= 0 || waited_ > kWaitBudget || gone_through_) return false;
  std::lock_guard lock(shared_.mutex);
  return shared_.answered == attempt_ && shared_.result != Result::kRefused;
}

bool PortalGlobalShortcuts::Bind(char letter, std::chrono::milliseconds timeout) {
  // A letter asked again: the letters have been gone through once.
  if (!asked_.insert(letter).second) {
    gone_through_ = true;
    return false;
  }
  const unsigned attempt = ++attempt_;
  QMetaObject::invokeMethod(
      agent_, [agent = agent_, attempt, letter] { agent->Begin(attempt, letter); },
      Qt::QueuedConnection);
  const auto start = std::chrono::steady_clock::now();
  const bool answered = WaitRunningLoop(
      [&] {
        std::lock_guard lock(shared_.mutex);
        return shared_.answered == attempt;
      },
      timeout);
  {
    std::lock_guard lock(shared_.mutex);
    if (answered && shared_.result == Result::kBound) return true;
  }
  waited_ += std::chrono::steady_clock::now() - start;
  if (!answered) {
    portal::Log(QStringLiteral("the desktop has not answered the quit hot key's binding"));
  }
  return false;
}

void PortalGlobalShortcuts::Unbind() {
  waited_ = {};
  QMetaObject::invokeMethod(
      agent_, [agent = agent_, attempt = attempt_] { agent->Close(attempt); },
      Qt::QueuedConnection);
}

}  // namespace mv

#include "PortalGlobalShortcuts.moc"
