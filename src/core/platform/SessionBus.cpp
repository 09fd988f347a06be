#include "platform/SessionBus.h"

#include "util/LocalPath.h"

#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <unistd.h>

namespace vellmir::SessionBus {

namespace {

// A path as a D-Bus address value: every byte outside the set the address syntax allows
// unescaped is written %XX, so a folder name with ",", ";", "=" or a blank stays one path.
QString addressValue(const QString &path)
{
    static const QByteArray plain = QByteArrayLiteral("-_/.\\*");
    QString value;
    for (const char c : LocalPath::encode(path)) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')
            || plain.contains(c))
            value += QLatin1Char(c);
        else
            value += u'%' + QString::number(byte, 16).rightJustified(2, u'0');
    }
    return value;
}

} // namespace

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
            return QStringLiteral("unix:path=") + addressValue(socket);
    return {};
}

void adopt()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    const QString found = address();
    if (!found.isEmpty())
        ::setenv("DBUS_SESSION_BUS_ADDRESS", found.toLatin1().constData(), 1);
}

QString missingSentence(const QString &consequence)
{
    return QStringLiteral("No D-Bus session bus is available, so %1. Set DBUS_SESSION_BUS_ADDRESS to the address "
                          "of the desktop session's bus (or XDG_RUNTIME_DIR to the folder holding its \"bus\" "
                          "socket) in the environment that starts Vellmir.")
        .arg(consequence);
}

} // namespace vellmir::SessionBus
