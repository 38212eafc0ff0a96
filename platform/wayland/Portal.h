// Names shared by the clients of the XDG desktop portal.
#pragma once

#include <QDBusMessage>
#include <QString>

namespace mv::portal {

inline const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
inline const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

// Where the answer to a request made with `token` appears: it follows from
// this connection's name, so a client can listen before it calls (the
// answer may come before the call returns).
QString RequestPath(const QString& token);

// A line of the portal clients for the program's log.
void Log(const QString& message);

// The portal learns a program's app id from the program itself where it
// offers org.freedesktop.host.portal.Registry (GNOME's shortcuts need one);
// it must come before the connection's first portal call. True for the one
// caller that is to send RegisterCall().
bool ClaimRegistration();
QDBusMessage RegisterCall();

// Property `version` of a portal interface; 0 where the portal lacks it.
int VersionFrom(const QDBusMessage& reply);
QDBusMessage VersionCall(const QString& interface);

// How long a portal method may take to answer the call itself.
constexpr int kCallTimeoutMs = 3000;
// The first call may have the bus start the portal, which takes seconds.
constexpr int kStartupTimeoutMs = 20000;

}  // namespace mv::portal
