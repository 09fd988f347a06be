#include "platform/SecretServiceCall.h"

#include "platform/SessionBus.h"

#include "util/LocalPath.h"
#include "util/ShutdownSignals.h"

#include <QDBusError>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
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

QDBusConnection connection(QDBusConnection::BusType type)
{
    const bool session = type == QDBusConnection::SessionBus;
    const QDBusConnection none(QStringLiteral("vellmir-no-bus"));
    // GIO would otherwise try to start a session bus through X11, leaving a stray daemon behind.
    if (session && address().isEmpty())
        return none;
    const keyring::GObjectPtr<GCancellable> cancellable(g_cancellable_new());
    GCancellable *cancel = cancellable.get();
    const std::stop_callback onStop(ShutdownSignals::token(), [cancel] { g_cancellable_cancel(cancel); });
    GError *error = nullptr;
    const keyring::GObjectPtr<GDBusConnection> bus
        = keyring::busConnection(session ? G_BUS_TYPE_SESSION : G_BUS_TYPE_SYSTEM, cancel, &error);
    if (!bus) {
        g_error_free(error);
        return none;
    }
    return session ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
}

bool await(const QDBusPendingCall &pending)
{
    // The reply is taken in on the connection's own thread, so the caller's thread needs no event
    // loop to see it arrive; a blocking wait could not be cut short, so it looks.
    const std::stop_token shutdown = ShutdownSignals::token();
    auto pause = std::chrono::microseconds(200);
    while (!pending.isFinished()) {
        if (shutdown.stop_requested())
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
    return true;
}

QDBusMessage call(const QDBusConnection &bus, const QDBusMessage &message, int timeoutMs)
{
    const QDBusPendingCall pending = bus.asyncCall(message, timeoutMs);
    if (!await(pending))
        return message.createErrorReply(QDBusError::NoReply, QStringLiteral("Vellmir was asked to stop."));
    return pending.reply();
}

} // namespace vellmir::SessionBus
