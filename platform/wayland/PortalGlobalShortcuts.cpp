#include "platform/wayland/PortalGlobalShortcuts.h"

#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>
#include <QVariantMap>
#include <utility>

#include "platform/wayland/Portal.h"

namespace mv {
namespace {

const QString kGlobalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kShortcutId = QStringLiteral("quit");
constexpr int kCallTimeoutMs = 3000;
constexpr std::chrono::seconds kWaitBudget{10};

using Shortcut = std::pair<QString, QVariantMap>;
using Shortcuts = QList<Shortcut>;

// The session's token, which KDE also takes as the name its key service
// keeps the shortcut under.
QString Token(char letter) { return QStringLiteral("MorrowvaneHelper_%1").arg(letter); }

// The letter of a trigger the desktop describes as Control+Alt+Shift+letter
// ("Ctrl+Alt+Shift+E", in any order; one of several triggers joined by
// commas will do); 0 for anything else, a translated description included.
char ControlAltShiftLetter(const QString& description) {
  for (const QString& trigger : description.split(QLatin1Char(','))) {
    QStringList keys = trigger.trimmed().toLower().split(QLatin1Char('+'));
    const qsizetype control =
        keys.removeAll(QStringLiteral("ctrl")) + keys.removeAll(QStringLiteral("control"));
    const qsizetype alt = keys.removeAll(QStringLiteral("alt"));
    const qsizetype shift = keys.removeAll(QStringLiteral("shift"));
    if (control == 1 && alt == 1 && shift == 1 && keys.size() == 1 && keys[0].size() == 1 &&
        keys[0][0] >= QLatin1Char('a') && keys[0][0] <= QLatin1Char('z')) {
      return static_cast<char>(keys[0][0].toUpper().toLatin1());
    }
  }
  return 0;
}

}  // namespace

// Speaks to the portal on its own thread; everything here runs there.
class PortalGlobalShortcuts::Agent final : public QObject {
  Q_OBJECT

 public:
  Agent(Shared& shared, std::function<void()> on_press)
      : shared_(shared), on_press_(std::move(on_press)) {}

  void Listen() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(portal::kService, portal::kPath, kGlobalShortcuts, QStringLiteral("Activated"),
                this, SLOT(OnActivated(QDBusMessage)));
    bus.connect(portal::kService, portal::kPath, kGlobalShortcuts, QStringLiteral("Deactivated"),
                this, SLOT(OnDeactivated(QDBusMessage)));
  }

  void Begin(unsigned attempt, char letter) {
    Close(0);
    attempt_ = attempt;
    letter_ = letter;
    const Shortcuts shortcuts{
        {kShortcutId,
         {{QStringLiteral("description"), QStringLiteral("Stop remote control")},
          {QStringLiteral("preferred_trigger"), QStringLiteral("CTRL+ALT+SHIFT+%1").arg(letter)}}}};
    shortcuts_ = QVariant::fromValue(shortcuts);
    phase_ = Phase::kCreating;
    // Some desktops (KDE Plasma 5.27) bind at creation the shortcuts passed
    // with it, and answer BindShortcuts by opening their settings instead.
    // One session token per letter: the desktop keeps a user's own choice
    // for it between runs.
    Request(QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), Token(letter)},
             {QStringLiteral("shortcuts"), shortcuts_}});
  }

  // Ends the session, whatever it bound; `attempt` is answered with nothing.
  void Close(unsigned attempt) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!request_path_.isEmpty()) {
      bus.disconnect(portal::kService, request_path_, portal::kRequest, QStringLiteral("Response"),
                     this, SLOT(OnResponse(uint, QVariantMap)));
      request_path_.clear();
    }
    if (!session_.isEmpty()) {
      bus.call(QDBusMessage::createMethodCall(portal::kService, session_, portal::kSession,
                                              QStringLiteral("Close")),
               QDBus::NoBlock);
      session_.clear();
    }
    phase_ = Phase::kIdle;
    held_ = false;
    if (attempt != 0) Answer(attempt, Result::kNone);
  }

 private slots:
  void OnResponse(uint response, const QVariantMap& results) {
    QDBusConnection::sessionBus().disconnect(portal::kService, request_path_, portal::kRequest,
                                             QStringLiteral("Response"), this,
                                             SLOT(OnResponse(uint, QVariantMap)));
    request_path_.clear();
    if (response != 0) {
      portal::Log(
          QStringLiteral("the desktop did not bind the quit hot key (answer %1)").arg(response));
      Refuse();
      return;
    }
    if (phase_ == Phase::kCreating) {
      // A string from some portals, an object path from others.
      const QVariant handle = results.value(QStringLiteral("session_handle"));
      session_ = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                      : handle.toString();
      if (!results.contains(QStringLiteral("shortcuts"))) {
        phase_ = Phase::kBinding;
        Request(QStringLiteral("BindShortcuts"),
                {QVariant::fromValue(QDBusObjectPath(session_)), shortcuts_, QString()}, {});
        return;
      }
    }
    if (phase_ == Phase::kCreating || phase_ == Phase::kBinding) Take(results);
  }

  void OnActivated(const QDBusMessage& signal) {
    // Where the desktop reports releases, a held key's repeats are not
    // presses of their own.
    if (!Ours(signal) || (held_ && releases_seen_)) return;
    held_ = true;
    on_press_();
  }

  void OnDeactivated(const QDBusMessage& signal) {
    if (!Ours(signal)) return;
    held_ = false;
    releases_seen_ = true;
  }

 private:
  enum class Phase { kIdle, kCreating, kBinding, kBound };

  // Whether a signal names this session's shortcut.
  bool Ours(const QDBusMessage& signal) const {
    const QVariantList arguments = signal.arguments();
    return !session_.isEmpty() && arguments.size() >= 2 &&
           arguments[0].value<QDBusObjectPath>().path() == session_ &&
           arguments[1].toString() == kShortcutId;
  }

  void Request(const QString& method, QVariantList arguments, QVariantMap options) {
    const QString token = QStringLiteral("mvgs%1_%2").arg(getpid()).arg(++request_serial_);
    options.insert(QStringLiteral("handle_token"), token);
    request_path_ = portal::RequestPath(token);
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(portal::kService, request_path_, portal::kRequest, QStringLiteral("Response"), this,
                SLOT(OnResponse(uint, QVariantMap)));
    arguments.append(options);
    QDBusMessage call =
        QDBusMessage::createMethodCall(portal::kService, portal::kPath, kGlobalShortcuts, method);
    call.setArguments(arguments);
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
      portal::Log(method + QStringLiteral(" failed: ") + reply.errorMessage());
      Refuse();
    }
  }

  // The trigger the desktop bound, as it describes it.
  void Take(const QVariantMap& results) {
    QString trigger;
    Shortcuts bound;
    const QVariant value = results.value(QStringLiteral("shortcuts"));
    if (value.canConvert<QDBusArgument>()) {
      const QDBusArgument argument = value.value<QDBusArgument>();
      if (argument.currentSignature() == QLatin1String("a(sa{sv})")) argument >> bound;
    }
    for (const Shortcut& shortcut : bound) {
      if (shortcut.first == kShortcutId) {
        trigger = shortcut.second.value(QStringLiteral("trigger_description")).toString();
      }
    }
    const bool asked_for = ControlAltShiftLetter(trigger) == letter_;
    if (asked_for && KeyServiceAgrees()) {
      phase_ = Phase::kBound;
      Answer(attempt_, Result::kBound);
    } else if (trigger.isEmpty() || asked_for) {
      // Taken by another program: the next letter may be free.
      Close(0);
      Answer(attempt_, Result::kTaken);
    } else {
      // The user's own choice: it stops input, but it is no letter to announce.
      portal::Log(QStringLiteral("the desktop bound the quit hot key to %1").arg(trigger));
      phase_ = Phase::kBound;
      Answer(attempt_, Result::kRefused);
    }
  }

  // KDE Plasma 5.27 describes the trigger asked for even when its key
  // service (kglobalaccel) gave the keys to another program; where that
  // service runs, it has the last word.
  bool KeyServiceAgrees() const {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.kglobalaccel"), QStringLiteral("/kglobalaccel"),
        QStringLiteral("org.kde.KGlobalAccel"), QStringLiteral("shortcut"));
    const QString component = Token(letter_);
    ask << QStringList{component, kShortcutId, component, QString()};
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(ask, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return true;
    constexpr int kControlAltShift = 0x0e000000;  // Qt's modifier bits, as the service keeps them
    return qdbus_cast<QList<int>>(reply.arguments().first()).contains(kControlAltShift | letter_);
  }

  void Refuse() {
    Close(0);
    Answer(attempt_, Result::kRefused);
  }

  void Answer(unsigned attempt, Result result) {
    {
      std::lock_guard lock(shared_.mutex);
      if (attempt < shared_.answered) return;
      shared_.answered = attempt;
      shared_.result = result;
    }
    shared_.answered_cv.notify_all();
  }

  Shared& shared_;
  std::function<void()> on_press_;
  Phase phase_ = Phase::kIdle;
  unsigned attempt_ = 0;
  char letter_ = 0;
  QVariant shortcuts_;
  QString request_path_;
  QString session_;
  unsigned request_serial_ = 0;
  bool held_ = false;
  bool releases_seen_ = false;
};

PortalGlobalShortcuts::PortalGlobalShortcuts(std::function<void()> on_press)
    : agent_(new Agent(shared_, std::move(on_press))) {
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
  if (version_ < 0) {
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(portal::kService, portal::kPath,
                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                       QStringLiteral("Get"))
            << kGlobalShortcuts << QStringLiteral("version"),
        QDBus::Block, kCallTimeoutMs);
    version_ =
        reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
            ? static_cast<int>(reply.arguments().first().value<QDBusVariant>().variant().toUInt())
            : 0;
  }
  if (version_ == 0 || waited_ > kWaitBudget) return false;
  std::lock_guard lock(shared_.mutex);
  return shared_.answered == attempt_ && shared_.result != Result::kRefused;
}

bool PortalGlobalShortcuts::Bind(char letter, std::chrono::milliseconds timeout) {
  const unsigned attempt = ++attempt_;
  QMetaObject::invokeMethod(
      agent_, [agent = agent_, attempt, letter] { agent->Begin(attempt, letter); },
      Qt::QueuedConnection);
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock lock(shared_.mutex);
  const bool answered = shared_.answered_cv.wait_for(
      lock, timeout, [&] { return shared_.answered == attempt; });
  if (answered && shared_.result == Result::kBound) return true;
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
