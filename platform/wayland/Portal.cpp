#include "platform/wayland/Portal.h"

#include <QDBusConnection>

#include "platform/Platform.h"

namespace mv::portal {

QString RequestPath(const QString& token) {
  QString sender = QDBusConnection::sessionBus().baseService().mid(1);
  sender.replace(QLatin1Char('.'), QLatin1Char('_'));
  return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

void Log(const QString& message) { LogDiagnostic(("MorrowvaneHelper: " + message).toStdString()); }

}  // namespace mv::portal
