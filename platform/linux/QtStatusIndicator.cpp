#include "platform/linux/QtStatusIndicator.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QSvgRenderer>
#include <QSystemTrayIcon>

namespace mv {
namespace {

constexpr int kNotifyTimeoutMs = 1000;
const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kActionKey = QStringLiteral("stop");
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128};

class QtStatusIndicator final : public StatusIndicator {
 public:
  explicit QtStatusIndicator(std::function<void()> on_stop)
      : icon_(AppIcon()), stopped_icon_(GreyedOut(icon_)) {
    stop_ = menu_.addAction(QString());
    QObject::connect(stop_, &QAction::triggered, &menu_, [on_stop = std::move(on_stop)] {
      if (on_stop) on_stop();
    });
    tray_.setContextMenu(&menu_);
  }
  ~QtStatusIndicator() override { tray_.hide(); }

  void SetState(const StatusIndicatorState& state) override {
    tray_.setIcon(state.stopped ? stopped_icon_ : icon_);
    tray_.setToolTip(QString::fromStdString(state.tooltip));
    stop_->setText(QString::fromStdString(state.stop_label));
    stop_->setEnabled(!state.stopped);
    tray_.show();
  }

 private:
  static QIcon GreyedOut(const QIcon& icon) {
    QIcon grey;
    for (int size : kIconSizes) grey.addPixmap(icon.pixmap(QSize(size, size), QIcon::Disabled));
    return grey;
  }

  QIcon icon_;
  QIcon stopped_icon_;
  QMenu menu_;
  QAction* stop_ = nullptr;  // owned by menu_
  QSystemTrayIcon tray_;     // goes before the menu it shows
};

}  // namespace

QPixmap AppIconPixmap(int logical_size, qreal device_pixel_ratio) {
  const int pixels = qRound(logical_size * device_pixel_ratio);
  QPixmap pixmap(pixels, pixels);
  pixmap.fill(Qt::transparent);
  QSvgRenderer svg(QStringLiteral(":/AppIcon.svg"));
  if (!svg.isValid()) return {};
  QPainter painter(&pixmap);
  svg.render(&painter);
  painter.end();
  pixmap.setDevicePixelRatio(device_pixel_ratio);
  return pixmap;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : kIconSizes) {
    const QPixmap pixmap = AppIconPixmap(size, 1.0);
    if (!pixmap.isNull()) icon.addPixmap(pixmap);
  }
  return icon;
}

std::unique_ptr<StatusIndicator> CreateQtStatusIndicator(const StatusIndicatorState& state,
                                                         std::function<void()> on_stop) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return nullptr;
  auto indicator = std::make_unique<QtStatusIndicator>(std::move(on_stop));
  indicator->SetState(state);
  return indicator;
}

QtNotifications::QtNotifications() {
  QDBusConnection::sessionBus().connect(kNotifications, kNotificationsPath, kNotifications,
                                        QStringLiteral("ActionInvoked"), this,
                                        SLOT(OnActionInvoked(uint, QString)));
}

QtNotifications::~QtNotifications() {
  QDBusConnection::sessionBus().disconnect(kNotifications, kNotificationsPath, kNotifications,
                                           QStringLiteral("ActionInvoked"), this,
                                           SLOT(OnActionInvoked(uint, QString)));
}

void QtNotifications::Notify(const QString& summary, const QString& body,
                             NotificationAction action) {
  QStringList actions;
  if (!action.label.empty()) actions << kActionKey << QString::fromStdString(action.label);
  QDBusMessage notify = QDBusMessage::createMethodCall(kNotifications, kNotificationsPath,
                                                       kNotifications, QStringLiteral("Notify"));
  notify << QGuiApplication::applicationDisplayName() << 0u << QStringLiteral("com.morrowvane.Helper")
         << summary << body << actions << QVariantMap() << -1;
  const QDBusMessage reply = QDBusConnection::sessionBus().call(notify, QDBus::Block, kNotifyTimeoutMs);
  if (action.label.empty()) return;
  const bool shown = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
  action_id_ = shown ? reply.arguments().first().toUInt() : 0;
  on_action_ = shown ? std::move(action.on_chosen) : nullptr;
}

void QtNotifications::OnActionInvoked(uint id, const QString& key) {
  // Another program's notification, or an old one of ours, does nothing.
  if (id == 0 || id != action_id_ || key != kActionKey || !on_action_) return;
  on_action_();
}

}  // namespace mv
