#include "operations/BackupNotifications.h"

#include "config/Destination.h"
#include "config/FileLock.h"
#include "config/UserDefaults.h"
#include "operations/NotificationPermission.h"
#include "platform/DesktopNotifier.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/Log.h"
#include "util/Uuid.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>

namespace vellmir {

namespace {
// What the id file remembers of one notification: the server instance that issued the
// number, and the number.
struct ShownNotification {
    QString server;
    quint32 number = 0;
};

// A damaged or unreadable file only costs the replacement of older notifications, so it is
// read as empty and rewritten, never allowed to stop a notification.
QHash<QString, ShownNotification> readIdMap(const QString &path)
{
    QHash<QString, ShownNotification> map;
    try {
        const std::optional<QByteArray> bytes = readOwnFile(path, FileBound::settings, QStringLiteral("notifications"));
        if (!bytes)
            return map;
        const QJsonObject object = json::parseObject(*bytes);
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QJsonObject entry = it.value().toObject();
            const std::optional<qint64> number = json::toInt64(entry.value(QStringLiteral("number")));
            const QString server = entry.value(QStringLiteral("server")).toString();
            if (!number || *number <= 0 || *number > 0xFFFFFFFFLL || server.isEmpty())
                continue;
            map.insert(it.key(), ShownNotification { server, quint32(*number) });
        }
    } catch (const Error &) {
        map.clear();
    }
    return map;
}

void writeIdMap(const QString &path, const QHash<QString, ShownNotification> &map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(),
            QJsonObject { { QStringLiteral("server"), it->server }, { QStringLiteral("number"), qint64(it->number) } });
    writeFileAtomically(path, json::compact(object));
}

QString prefixed(const char *prefix, const QUuid &destination)
{
    return QLatin1String(prefix) + uuidText(destination);
}
} // namespace

BackupNotifications::BackupNotifications(
    std::shared_ptr<Notifier> notifier, QString idMapFile, QString defaultsFile, bool insideApplication)
    : m_notifier(std::move(notifier))
    , m_idMapFile(std::move(idMapFile))
    , m_defaultsFile(defaultsFile.isEmpty() ? UserDefaults::defaultFilePath() : std::move(defaultsFile))
    , m_insideApplication(insideApplication)
{
}

const BackupNotifications &BackupNotifications::standard()
{
    static const BackupNotifications instance = [] {
        const QString executable
            = QCoreApplication::instance() ? QFileInfo(QCoreApplication::applicationFilePath()).fileName() : QString();
        return BackupNotifications(
            std::make_shared<DesktopNotifier>(), defaultIdMapFile(), {}, executable == QLatin1String("vellmir-app"));
    }();
    return instance;
}

QString BackupNotifications::defaultIdMapFile()
{
    return AppPaths::dataDirectory() + QStringLiteral("/notifications.json");
}

void BackupNotifications::send(const QString &id, const QString &title, const QString &body) const
{
    if (!m_insideApplication || !m_notifier)
        return;
    // A fresh reading each time: the settings window of another process may have just
    // switched notifications on.
    if (!NotificationPermission::isAuthorized(UserDefaults(m_defaultsFile)))
        return;

    // The id file is read, used and rewritten under its lock so that two processes posting at
    // once neither lose each other's numbers nor show the same condition twice. Without the
    // lock the notification still goes out; only its number is not kept.
    std::unique_ptr<FileLock> lock;
    try {
        lock = std::make_unique<FileLock>(m_idMapFile + QStringLiteral(".lock"), true);
    } catch (const Error &error) {
        logLine(QStringLiteral("notifications"), error.message());
    }

    QHash<QString, ShownNotification> map;
    if (lock) {
        removeLeftoverTemporaries(m_idMapFile, QStringLiteral("notifications"));
        map = readIdMap(m_idMapFile);
    }
    quint32 number = 0;
    QString server;
    try {
        server = m_notifier->serverInstance();
        const auto shown = map.constFind(id);
        const quint32 replaces
            = (shown != map.cend() && !server.isEmpty() && shown->server == server) ? shown->number : 0;
        number = m_notifier->notify(replaces, title, body);
        if (server.isEmpty()) // the call may have started the server
            server = m_notifier->serverInstance();
    } catch (const std::exception &error) {
        qCWarning(lcVellmir).noquote() << QStringLiteral("Vellmir could not deliver a backup notification: %1")
                                              .arg(QString::fromUtf8(error.what()));
        return;
    }

    if (!lock)
        return;
    if (server.isEmpty() || number == 0)
        map.remove(id);
    else
        map.insert(id, ShownNotification { server, number });
    try {
        writeIdMap(m_idMapFile, map);
    } catch (const Error &error) {
        logLine(QStringLiteral("notifications"), error.message());
    }
}

QString BackupNotifications::overdueId(const QUuid &destination)
{
    return prefixed("overdue-", destination);
}

QString BackupNotifications::integrityId(const QUuid &destination)
{
    return prefixed("integrity-", destination);
}

QString BackupNotifications::storageId(const QUuid &destination)
{
    return prefixed("storage-", destination);
}

QString BackupNotifications::budgetId(const QUuid &destination)
{
    return prefixed("budget-", destination);
}

QString BackupNotifications::backupId(const QUuid &destination)
{
    return prefixed("backup-", destination);
}

NotificationContent BackupNotifications::settingsFromAnotherComputer()
{
    return { configChangedId, QStringLiteral("Confirm settings from another computer"),
        QStringLiteral(
            "Vellmir's settings came from another computer. Backups start once you confirm them in Vellmir.") };
}

NotificationContent BackupNotifications::settingsChangedOutside(bool nothingTrusted)
{
    return { configChangedId, QStringLiteral("Vellmir's settings were changed outside the app"),
        nothingTrusted
            ? QStringLiteral("No backups run until you review the change. Open Vellmir to review it.")
            : QStringLiteral(
                "Backups continue with the settings Vellmir last saved. Open Vellmir to review the change.") };
}

NotificationContent BackupNotifications::scheduleNeedsAttention()
{
    return { schedulerId, QStringLiteral("Automatic backups need attention"),
        QStringLiteral("Vellmir could not run the backup schedule. Open the app to review settings and history.") };
}

NotificationContent BackupNotifications::backupOverdue(const Destination &destination, const QString &deferReason)
{
    return { overdueId(destination.id), destination.name + QStringLiteral(": backup is overdue"), deferReason };
}

NotificationContent BackupNotifications::integrityCheckNeedsAttention(const Destination &destination)
{
    return { integrityId(destination.id), QStringLiteral("Repository check needs attention"),
        QStringLiteral("Open Vellmir to review the integrity-check result.") };
}

NotificationContent BackupNotifications::storageEstimateUnavailable(const Destination &destination)
{
    return { storageId(destination.id), QStringLiteral("Storage estimate unavailable"),
        QStringLiteral("Vellmir could not refresh the storage estimate. The provider bill may differ from the last "
                       "estimate.") };
}

NotificationContent BackupNotifications::storageExceedsBudget(const Destination &destination)
{
    return { budgetId(destination.id), destination.name + QStringLiteral(": storage estimate exceeds budget"),
        QStringLiteral("Review storage and retention in Vellmir. This is an estimate and warning, not an enforced "
                       "spending cap.") };
}

NotificationContent BackupNotifications::backupNeedsAttention(const Destination &destination, const QString &outcome)
{
    return { backupId(destination.id), destination.name + QStringLiteral(": backup needs attention"),
        QStringLiteral("The latest backup is %1. Open Vellmir to review its result.").arg(outcome) };
}

} // namespace vellmir
