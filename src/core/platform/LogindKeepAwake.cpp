#include "platform/LogindKeepAwake.h"

#include "util/Log.h"

#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

namespace vellmir {

LogindInhibitor::LogindInhibitor(const QDBusConnection &systemBus, const QString &reason, int timeoutMs)
{
    if (!systemBus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Vellmir") << reason << QStringLiteral("block");
    const QDBusMessage reply = systemBus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        // A machine without logind simply sleeps as it would; worth a line, not a failure.
        logLine(QStringLiteral("keep-awake"),
            QStringLiteral("could not keep the computer awake: %1")
                .arg(reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage()));
        return;
    }
    const auto descriptor = reply.arguments().constFirst().value<QDBusUnixFileDescriptor>();
    if (!descriptor.isValid())
        return;
    // Our own copy, closed on exec so a restic child cannot keep the lock alive after we let go.
    m_fd = ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

LogindInhibitor::~LogindInhibitor()
{
    release();
}

void LogindInhibitor::release()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

LogindKeepAwake::LogindKeepAwake(QDBusConnection systemBus)
    : m_bus(std::move(systemBus))
{
}

std::unique_ptr<KeepAwakeHold> LogindKeepAwake::hold(const QString &reason)
{
    return std::make_unique<LogindInhibitor>(m_bus, reason);
}

} // namespace vellmir
