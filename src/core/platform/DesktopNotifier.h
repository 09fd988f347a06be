#pragma once

#include "platform/Notifier.h"
#include "platform/SessionBus.h"

#include <QDBusConnection>
#include <mutex>

namespace vellmir {

// org.freedesktop.Notifications on a D-Bus connection (the session bus unless told otherwise).
// Calls block for at most the given time-out, so a wedged notification daemon cannot stall
// a backup. Safe to share between threads.
class DesktopNotifier final : public Notifier {
public:
    explicit DesktopNotifier(QDBusConnection bus = SessionBus::connection(), int timeoutMs = 5000);

    std::optional<NotificationServerInfo> serverInformation() override;
    quint32 notify(quint32 replaces, const QString &title, const QString &body) override;
    // The bus's id and the unique name of the server's connection.
    QString serverInstance() override;

    static inline const QString service = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString path = QStringLiteral("/org/freedesktop/Notifications");
    static inline const QString interface = QStringLiteral("org.freedesktop.Notifications");

    // The body as the server should render it: servers that interpret markup get "&", "<" and
    // ">" escaped so that text is shown as written.
    static QString bodyFor(const QString &body, bool serverUsesMarkup);

private:
    QDBusConnection m_bus;
    int m_timeoutMs;
    std::mutex m_mutex;
    QString m_busId; // guarded by m_mutex
};

} // namespace vellmir
