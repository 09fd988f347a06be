#include "platform/DesktopSession.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace vellmir::DesktopSession {

namespace {

const QString display = QStringLiteral("DISPLAY");
const QString waylandDisplay = QStringLiteral("WAYLAND_DISPLAY");
const QString runtimeDirectory = QStringLiteral("XDG_RUNTIME_DIR");
// A session bus that does not answer must not hold a change's dialog up for long.
constexpr int managerTimeoutMs = 5000;

bool namesDisplay(const QProcessEnvironment &environment)
{
    return !environment.value(display).isEmpty() || !environment.value(waylandDisplay).isEmpty();
}

// The first Wayland socket ("wayland-0", "wayland-1", ...; not their ".lock" files) in `folder`.
QString waylandSocket(const QString &folder)
{
    if (folder.isEmpty())
        return {};
    const QFileInfoList entries = QDir(folder).entryInfoList(
        { QStringLiteral("wayland-*") }, QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries)
        if (!entry.fileName().endsWith(QStringLiteral(".lock")) && entry.isReadable())
            return entry.fileName();
    return {};
}

} // namespace

const QStringList &variables()
{
    static const QStringList names { display, waylandDisplay, QStringLiteral("XAUTHORITY"),
        QStringLiteral("XDG_SESSION_TYPE") };
    return names;
}

QStringList managerEnvironment(const QDBusConnection &bus)
{
    if (!bus.isConnected())
        return {};
    QDBusMessage get = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.systemd1"),
        QStringLiteral("/org/freedesktop/systemd1"), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.systemd1.Manager") << QStringLiteral("Environment");
    // Asks a running manager only: a bus that would start one for this is no desktop session.
    get.setAutoStartService(false);
    const QDBusMessage reply = bus.call(get, QDBus::Block, managerTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toStringList();
}

QProcessEnvironment located(
    QProcessEnvironment environment, const std::function<QStringList()> &manager, const QString &userRuntimeRoot)
{
    if (namesDisplay(environment))
        return environment;
    QProcessEnvironment found = environment;
    for (const QString &entry : manager ? manager() : QStringList()) {
        const QString name = entry.section(u'=', 0, 0);
        // A WAYLAND_DISPLAY that is a name is a socket in XDG_RUNTIME_DIR.
        if (variables().contains(name) || (name == runtimeDirectory && environment.value(name).isEmpty()))
            found.insert(name, entry.section(u'=', 1));
    }
    if (namesDisplay(found))
        return found;

    QString folder = environment.value(runtimeDirectory);
    QString socket = waylandSocket(folder);
    if (socket.isEmpty()) {
        folder = userRuntimeRoot + u'/' + QString::number(::getuid());
        socket = waylandSocket(folder);
    }
    if (socket.isEmpty())
        return environment;
    if (environment.value(runtimeDirectory).isEmpty())
        environment.insert(runtimeDirectory, folder);
    environment.insert(waylandDisplay, folder == environment.value(runtimeDirectory) ? socket : folder + u'/' + socket);
    environment.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    return environment;
}

bool reachable(const QProcessEnvironment &environment)
{
    const QString wayland = environment.value(waylandDisplay);
    if (!wayland.isEmpty()) {
        const QString socket
            = wayland.startsWith(u'/') ? wayland : environment.value(runtimeDirectory) + u'/' + wayland;
        if (QFileInfo::exists(socket))
            return true;
    }
    const QString x11 = environment.value(display);
    if (x11.startsWith(u':')) {
        const QString number = x11.mid(1).section(u'.', 0, 0);
        return QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X") + number);
    }
    return !x11.isEmpty();
}

} // namespace vellmir::DesktopSession
