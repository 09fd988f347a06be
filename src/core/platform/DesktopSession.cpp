#include "platform/DesktopSession.h"

#include "platform/SessionBus.h"
#include "util/LocalPath.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vellmir::DesktopSession {

namespace {

const QString display = QStringLiteral("DISPLAY");
const QString waylandDisplay = QStringLiteral("WAYLAND_DISPLAY");
const QString runtimeDirectory = QStringLiteral("XDG_RUNTIME_DIR");
// A session bus that does not answer must not hold a change's dialog up for long.
constexpr int managerTimeoutMs = 5000;
// A display server answers a connection at once; one that takes longer is as good as gone.
constexpr int connectLimitMs = 2000;
// X displays listen on TCP port 6000 + their number.
constexpr int xPortBase = 6000;

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

// Whether something accepts a stream connection at `address` within connectLimitMs.
bool accepts(int family, const sockaddr *address, socklen_t length)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool connected = ::connect(fd, address, length) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd wait { fd, POLLOUT, 0 };
        int error = 0;
        socklen_t size = sizeof error;
        connected = ::poll(&wait, 1, connectLimitMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0
            && error == 0;
    }
    ::close(fd);
    return connected;
}

// A Unix socket at `path`, or by that name in the abstract namespace (where X servers listen too).
bool localAccepts(const QByteArray &path, bool abstract)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const size_t skip = abstract ? 1 : 0;
    if (path.isEmpty() || skip + static_cast<size_t>(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path + skip, path.constData(), static_cast<size_t>(path.size()));
    const auto length
        = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + skip + path.size() + (abstract ? 0 : 1));
    return accepts(AF_UNIX, reinterpret_cast<const sockaddr *>(&address), length);
}

bool tcpAccepts(const QString &host, int port)
{
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return false;
    bool any = false;
    for (const addrinfo *entry = found; entry && !any; entry = entry->ai_next)
        any = accepts(entry->ai_family, entry->ai_addr, entry->ai_addrlen);
    ::freeaddrinfo(found);
    return any;
}

// An X display, "[protocol/][host]:number[.screen]", the way Xlib reaches it: a local one by its
// socket (else TCP on this computer), any other over TCP.
bool xAccepts(const QString &name)
{
    const qsizetype colon = name.lastIndexOf(u':');
    bool ok = false;
    const int number = colon < 0 ? -1 : name.mid(colon + 1).section(u'.', 0, 0).toInt(&ok);
    if (!ok || number < 0 || number > 65535 - xPortBase)
        return false;
    const QString address = name.left(colon);
    const QString protocol = address.contains(u'/') ? address.section(u'/', 0, 0) : QString();
    const QString host = address.contains(u'/') ? address.section(u'/', 1) : address;
    if (host.isEmpty() || host == QLatin1String("unix") || protocol == QLatin1String("unix")) {
        const QByteArray socket = "/tmp/.X11-unix/X" + QByteArray::number(number);
        if (localAccepts(socket, false) || localAccepts(socket, true))
            return true;
        if (!host.isEmpty() || !protocol.isEmpty())
            return false;
    }
    return tcpAccepts(host.isEmpty() ? QStringLiteral("localhost") : host, xPortBase + number);
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
    const QDBusMessage reply = SessionBus::call(bus, get, managerTimeoutMs);
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
        if (localAccepts(LocalPath::encode(socket), false))
            return true;
    }
    const QString x11 = environment.value(display);
    return !x11.isEmpty() && xAccepts(x11);
}

} // namespace vellmir::DesktopSession
