#include "shell/MainWindowModel.h"

#include "config/DestinationStore.h"
#include "operations/NotificationPermission.h"
#include "platform/Notifier.h"
#include "util/Error.h"
#include "util/UserDefaults.h"

#include <QDir>

namespace vellmir {

namespace {

// Renames arrive as several folder events in a row; one reload after they settle is enough.
constexpr int reloadDelayMs = 300;

} // namespace

MainWindowModel::MainWindowModel(DestinationStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
{
    m_reloadTimer.setSingleShot(true);
    m_reloadTimer.setInterval(reloadDelayMs);
    connect(&m_reloadTimer, &QTimer::timeout, this, &MainWindowModel::reload);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { m_reloadTimer.start(); });
    followStore();
}

void MainWindowModel::followStore()
{
    connect(&m_store, &DestinationStore::destinationsChanged, this, [this] {
        // A destination removed elsewhere takes its detail pane with it.
        if (m_selection && !m_store.destination(*m_selection))
            select(std::nullopt);
        Q_EMIT destinationsChanged();
    });
    connect(&m_store, &DestinationStore::integrityChanged, this, &MainWindowModel::bannerChanged);
    connect(&m_store, &DestinationStore::integrityChanged, this, &MainWindowModel::loadErrorChanged);
    connect(&m_store, &DestinationStore::fromAnotherMacChanged, this, &MainWindowModel::bannerChanged);
    connect(&m_store, &DestinationStore::errorMessageChanged, this, &MainWindowModel::loadErrorChanged);
    connect(&m_store, &DestinationStore::policyChanged, this, &MainWindowModel::policyChanged);
}

const QList<Destination> &MainWindowModel::destinations() const
{
    return m_store.destinations();
}

void MainWindowModel::select(const std::optional<QUuid> &id)
{
    std::optional<QUuid> next = id;
    if (next && !m_store.destination(*next))
        next.reset();
    if (next == m_selection)
        return;
    m_selection = next;
    Q_EMIT selectionChanged();
}

std::optional<Destination> MainWindowModel::selectedDestination() const
{
    if (!m_selection)
        return std::nullopt;
    return m_store.destination(*m_selection);
}

std::optional<MainWindowModel::Banner> MainWindowModel::banner() const
{
    const ConfigIntegrity &integrity = m_store.integrity();
    if (integrity.isValid())
        return std::nullopt;
    if (integrity.isUnavailable())
        return Banner { unavailableTitle(), integrity.message(), false };
    if (m_store.fromAnotherMac())
        return Banner { fromAnotherMacTitle(),
            QStringLiteral("Vellmir's settings came from another Mac. Backups start once you confirm them."), true };
    return Banner { changedOutsideTitle(), QStringLiteral("Backups continue with the settings Vellmir last saved."),
        true };
}

std::optional<QString> MainWindowModel::loadError() const
{
    // An unreadable seal is already the banner's text.
    if (m_store.integrity().isUnavailable())
        return std::nullopt;
    return m_store.errorMessage();
}

void MainWindowModel::setSchedulerMessage(const std::optional<QString> &message)
{
    if (message == m_schedulerMessage)
        return;
    m_schedulerMessage = message;
    Q_EMIT schedulerMessageChanged();
}

QString MainWindowModel::enableNotifications(Notifier &notifier, UserDefaults &defaults)
{
    try {
        if (NotificationPermission::enable(notifier, defaults))
            return notificationsEnabledMessage();
    } catch (const std::exception &error) {
        return errorDescription(error);
    }
    return NotificationPermission::noServerMessage();
}

QString MainWindowModel::notificationsEnabledMessage()
{
    return QStringLiteral("Backup notifications are on.");
}

bool MainWindowModel::changesWithoutApproval() const
{
    return m_store.policy().changesWithoutApproval;
}

std::optional<QString> MainWindowModel::setChangesWithoutApproval(bool on)
{
    try {
        m_store.setChangesWithoutApproval(on);
    } catch (const std::exception &error) {
        return errorDescription(error);
    }
    return std::nullopt;
}

void MainWindowModel::reload()
{
    try {
        m_store.reload();
    } catch (const std::exception &) {
        // The store keeps the reason in errorMessage(), which the window shows.
    }
}

void MainWindowModel::watch(const QString &folder)
{
    QDir().mkpath(folder);
    if (!m_watcher.directories().contains(folder))
        m_watcher.addPath(folder);
}

QString MainWindowModel::changedOutsideTitle()
{
    return QStringLiteral("Vellmir's settings were changed outside the app");
}

QString MainWindowModel::fromAnotherMacTitle()
{
    return QStringLiteral("Confirm settings from another Mac");
}

QString MainWindowModel::unavailableTitle()
{
    return QStringLiteral("Vellmir could not check its settings");
}

} // namespace vellmir
