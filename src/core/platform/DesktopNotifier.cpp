#include "platform/DesktopNotifier.h"

#include "platform/SessionBus.h"
#include "util/Error.h"

#include <QDBusMessage>
#include <QVariantMap>

namespace vellmir {

DesktopNotifier::DesktopNotifier(QDBusConnection bus, int timeoutMs)
    : m_bus(std::move(bus))
    , m_timeoutMs(timeoutMs)
{
}

QString DesktopNotifier::bodyFor(const QString &body, bool serverUsesMarkup)
{
    return serverUsesMarkup ? body.toHtmlEscaped() : body;
}

std::optional<NotificationServerInfo> DesktopNotifier::serverInformation()
{
    if (!m_bus.isConnected())
        return std::nullopt;
    const QDBusMessage call
        = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("GetServerInformation"));
    const QDBusMessage reply = SessionBus::call(m_bus, call, m_timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 4)
        return std::nullopt;
    const QVariantList args = reply.arguments();
    return NotificationServerInfo { args[0].toString(), args[1].toString(), args[2].toString(), args[3].toString() };
}

quint32 DesktopNotifier::notify(quint32 replaces, const QString &title, const QString &body)
{
    if (!m_bus.isConnected())
        throw Error(SessionBus::missingSentence(QStringLiteral("no notification server can be reached")));

    // Capabilities decide only how the body is written; a server that does not answer here
    // gets plain text and the Notify call below reports the real problem.
    bool markup = false;
    const QDBusMessage capabilities = SessionBus::call(m_bus,
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("GetCapabilities")), m_timeoutMs);
    if (capabilities.type() == QDBusMessage::ReplyMessage && !capabilities.arguments().isEmpty())
        markup = capabilities.arguments().constFirst().toStringList().contains(QStringLiteral("body-markup"));

    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    call << QStringLiteral("Vellmir") << replaces << QString() << title << bodyFor(body, markup) << QStringList()
         << QVariantMap() << qint32(-1);
    const QDBusMessage reply = SessionBus::call(m_bus, call, m_timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        throw Error(reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage());
    if (reply.arguments().isEmpty())
        throw Error(QStringLiteral("The notification server gave no notification id."));
    return reply.arguments().constFirst().toUInt();
}

QString DesktopNotifier::serverInstance()
{
    if (!m_bus.isConnected())
        return {};
    auto busCall = [this](const QString &method, const QVariantList &arguments) -> QString {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
            QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"), method);
        call.setArguments(arguments);
        const QDBusMessage reply = SessionBus::call(m_bus, call, m_timeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments().constFirst().toString();
    };
    // Unique names like ":1.42" come round again on the next login's bus; the bus id does not.
    QString busId;
    {
        std::lock_guard lock(m_mutex);
        if (m_busId.isEmpty())
            m_busId = busCall(QStringLiteral("GetId"), {});
        busId = m_busId;
    }
    const QString owner = busCall(QStringLiteral("GetNameOwner"), { service });
    if (owner.isEmpty() || busId.isEmpty())
        return {};
    return busId + u'/' + owner;
}

} // namespace vellmir
