// The status-area icon and desktop notifications on Qt.
//
// QSystemTrayIcon speaks the StatusNotifierItem protocol over D-Bus where the
// desktop runs a watcher for such items (KDE, GNOME with the AppIndicator
// extension) and falls back to an XEmbed tray icon; without either there is
// no status area. Notifications go to org.freedesktop.Notifications.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPixmap>
#include <QString>

#include <functional>
#include <memory>

#include "platform/Platform.h"

namespace mv {

// The program's icon drawn from its SVG at `logical_size` for a screen of
// `device_pixel_ratio`: sharp on high-density screens.
QPixmap AppIconPixmap(int logical_size, qreal device_pixel_ratio);
// The program's icon at the usual icon sizes.
QIcon AppIcon();

// Nothing when the desktop has no status area.
std::unique_ptr<StatusIndicator> CreateQtStatusIndicator(const StatusIndicatorState& state,
                                                         std::function<void()> on_stop);

// Desktop notifications. Each waits at most a second for the notification
// service's answer, so that one sent just before the program ends is not
// lost. The action of the last notification that had one stays live.
class QtNotifications final : public QObject {
  Q_OBJECT

 public:
  QtNotifications();
  ~QtNotifications() override;
  void Notify(const QString& summary, const QString& body, NotificationAction action);

 private slots:
  void OnActionInvoked(uint id, const QString& key);

 private:
  uint action_id_ = 0;  // 0: no live action
  std::function<void()> on_action_;
};

}  // namespace mv
