#include "platform/LogindKeepAwake.h"

#include "platform/SessionBus.h"
#include "util/Log.h"

#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

namespace vellmir {

namespace {

QDBusUnixFileDescriptor grantedDescriptor(const QDBusPendingCall &reply)
{
    const QDBusMessage message = reply.reply();
    if (message.type() != QDBusMessage::ReplyMessage || message.arguments().isEmpty())
        return {};
    return message.arguments().constFirst().value<QDBusUnixFileDescriptor>();
}

} // namespace

LogindInhibitor::LogindInhibitor(const QDBusConnection &systemBus, const QString &reason, int timeoutMs)
{
    if (!systemBus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Vellmir") << reason << QStringLiteral("block");
    // The reply is taken in on the connection's own thread; its descriptor, the lock, stays in
    // the reply (close-on-exec, as Qt receives every descriptor) until release() drops it.
    m_reply = systemBus.asyncCall(call, timeoutMs);
}

LogindInhibitor::~LogindInhibitor()
{
    release();
}

bool LogindInhibitor::isActive() const
{
    return m_reply && m_reply->isFinished() && grantedDescriptor(*m_reply).isValid();
}

void LogindInhibitor::release()
{
    if (!m_reply)
        return;
    if (SessionBus::await(*m_reply) && m_reply->isError()) {
        // A machine without logind simply sleeps as it would; worth a line, not a failure.
        const QDBusError error = m_reply->error();
        logLine(QStringLiteral("keep-awake"),
            QStringLiteral("could not keep the computer awake: %1")
                .arg(error.message().isEmpty() ? error.name() : error.message()));
    }
    m_reply.reset();
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
