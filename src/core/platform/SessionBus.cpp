#include "platform/SessionBus.h"

#include <QFileInfo>

#include <cstdlib>
#include <unistd.h>

namespace vellmir::SessionBus {

QString address(const QProcessEnvironment &environment, const QString &userRuntimeRoot)
{
    const QString given = environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    if (!given.isEmpty())
        return given;
    QStringList sockets;
    const QString runtime = environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty())
        sockets.append(runtime + QStringLiteral("/bus"));
    sockets.append(userRuntimeRoot + u'/' + QString::number(::getuid()) + QStringLiteral("/bus"));
    for (const QString &socket : std::as_const(sockets))
        if (QFileInfo::exists(socket))
            return QStringLiteral("unix:path=") + socket;
    return {};
}

void adopt()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    const QString found = address();
    if (!found.isEmpty())
        ::setenv("DBUS_SESSION_BUS_ADDRESS", found.toLocal8Bit().constData(), 1);
}

QString missingSentence(const QString &consequence)
{
    return QStringLiteral("No D-Bus session bus is available, so %1. Set DBUS_SESSION_BUS_ADDRESS to the address "
                          "of the desktop session's bus (or XDG_RUNTIME_DIR to the folder holding its \"bus\" "
                          "socket) in the environment that starts Vellmir.")
        .arg(consequence);
}

} // namespace vellmir::SessionBus
