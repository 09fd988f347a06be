#pragma once

#include <QString>
#include <QUuid>
#include <memory>

namespace vellmir {

class Notifier;
struct Destination;

// One notification as the system posts it.
struct NotificationContent {
    QString id;
    QString title;
    QString body;
    friend bool operator==(const NotificationContent &, const NotificationContent &) = default;
};

// The one way the system posts a user notification. Best effort: it never asks for
// permission, never fails towards its caller and does nothing unless the user enabled
// notifications (NotificationPermission). A notification replaces the one shown earlier under
// the same id, also when a different process posted that one: the server's number for each
// id is kept in a small file beside the application's other state.
class BackupNotifications {
public:
    // `defaultsFile` empty: the user's own defaults. `insideApplication` false makes every send
    // a no-op, as for programs other than the application that link this code.
    BackupNotifications(std::shared_ptr<Notifier> notifier, QString idMapFile, QString defaultsFile = {},
        bool insideApplication = true);

    void send(const QString &id, const QString &title, const QString &body) const;
    void send(const NotificationContent &content) const { send(content.id, content.title, content.body); }

    // The process's instance over the session bus and the user's files. Only the application
    // executable itself posts; tests and tools that link the core stay silent through it.
    static const BackupNotifications &standard();
    static QString defaultIdMapFile(); // <data folder>/notifications.json

    // Identifiers.
    static inline const QString configChangedId = QStringLiteral("config-changed");
    static inline const QString schedulerId = QStringLiteral("scheduler");
    static QString overdueId(const QUuid &destination);
    static QString integrityId(const QUuid &destination);
    static QString storageId(const QUuid &destination);
    static QString budgetId(const QUuid &destination);
    static QString backupId(const QUuid &destination);

    // The notifications of the system, worded once for every sender.
    static NotificationContent settingsFromAnotherComputer();
    // With nothing trusted no backup runs, and the body must not promise otherwise.
    static NotificationContent settingsChangedOutside(bool nothingTrusted = false);
    static NotificationContent scheduleNeedsAttention();
    static NotificationContent backupOverdue(const Destination &destination, const QString &deferReason);
    static NotificationContent integrityCheckNeedsAttention(const Destination &destination);
    static NotificationContent storageEstimateUnavailable(const Destination &destination);
    static NotificationContent storageExceedsBudget(const Destination &destination);
    // `outcome` is the raw value of the run's outcome ("failed", "incomplete", ...).
    static NotificationContent backupNeedsAttention(const Destination &destination, const QString &outcome);

private:
    std::shared_ptr<Notifier> m_notifier;
    QString m_idMapFile;
    QString m_defaultsFile;
    bool m_insideApplication;
};

} // namespace vellmir
