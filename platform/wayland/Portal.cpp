#include "platform/wayland/Portal.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QVariantMap>
#include <atomic>

#include "platform/Platform.h"

namespace mv::portal {

QString RequestPath(const QString& token) {
  QString sender = QDBusConnection::sessionBus().baseService().mid(1);
  sender.replace(QLatin1Char('.'), QLatin1Char('_'));
  return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

void Log(const QString& message) { LogDiagnostic(("MorrowvaneHelper: " + message).toStdString()); }

bool ClaimRegistration() {
  static std::atomic<bool> claimed{false};
  return !claimed.exchange(true);
}

QDBusMessage RegisterCall() {
  QDBusMessage call = QDBusMessage::createMethodCall(
      kService, kPath, QStringLiteral("org.freedesktop.host.portal.Registry"),
      QStringLiteral("Register"));
  call << QGuiApplication::desktopFileName() << QVariantMap();
  return call;
}

int VersionFrom(const QDBusMessage& reply) {
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
             ? static_cast<int>(reply.arguments().first().value<QDBusVariant>().variant().toUInt())
             : 0;
}

QDBusMessage VersionCall(const QString& interface) {
  return QDBusMessage::createMethodCall(kService, kPath,
                                        QStringLiteral("org.freedesktop.DBus.Properties"),
                                        QStringLiteral("Get"))
         << interface << QStringLiteral("version");
}

}  // namespace mv::portal
