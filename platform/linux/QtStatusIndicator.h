// The status-area icon and desktop notifications on Qt.
//
// QSystemTrayIcon speaks the StatusNotifierItem protocol over D-Bus where the
// desktop runs a watcher for such items (KDE, GNOME with the AppIndicator
// extension) and falls back to an XEmbed tray icon; without either there is
// no status area. Notifications go to org.freedesktop.Notifications.
#pragma once

#include <QIcon>
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

// Waits at most a second for the notification service's answer, so that a
// notification sent just before the program ends is not lost.
void NotifyDesktop(const QString& summary, const QString& body);

}  // namespace mv
