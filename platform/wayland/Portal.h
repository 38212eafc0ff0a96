// Names shared by the clients of the XDG desktop portal.
#pragma once

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

}  // namespace mv::portal
