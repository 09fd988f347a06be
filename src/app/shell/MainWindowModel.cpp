#include "shell/MainWindowModel.h"

#include "config/UserDefaults.h"
#include "operations/NotificationPermission.h"
#include "platform/KeyringSession.h"
#include "platform/Notifier.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/TextRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <utility>

namespace vellmir {

MainWindowModel::MainWindowModel(DestinationStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_receiver(Receiver<MainWindowModel>::make(this))
{
    m_reloadTimer.setSingleShot(true);
    m_reloadTimer.setInterval(reloadDelay);
    // A write to one of the configuration files always reads them again. Other files share
    // their folder (the history index, the audit log): a change of the folder reads them again
    // only when one of theirs was replaced, created or removed, or a read is under way.
    connect(&m_reloadTimer, &QTimer::timeout, this, [this] {
        if (std::exchange(m_fileWritten, false) || m_reloading || stamps(m_store.seal()) != m_stamps)
            reloadInBackground();
    });
    const auto changed = [this](bool fileWritten) {
        m_fileWritten = m_fileWritten || fileWritten;
        // A file replaced by a rename is no longer the one watched.
        watchFiles();
        m_reloadTimer.start();
    };
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [changed] { changed(false); });
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, [changed] { changed(true); });
    m_verifyTimer.setInterval(verifyInterval);
    connect(&m_verifyTimer, &QTimer::timeout, this, &MainWindowModel::verify);
    followStore();
}

MainWindowModel::~MainWindowModel()
{
    m_receiver->close();
}

void MainWindowModel::followStore()
{
    for (auto signal : { &DestinationStore::destinationsChanged, &DestinationStore::errorMessageChanged,
             &DestinationStore::integrityChanged, &DestinationStore::policyChanged,
             &DestinationStore::fromAnotherComputerChanged })
        connect(&m_store, signal, this, [this] { m_overtaken = m_reloading; });
    connect(&m_store, &DestinationStore::destinationsChanged, this, [this] {
        // A destination removed elsewhere takes its detail pane with it.
        if (m_selection && !m_store.destination(*m_selection))
            select(std::nullopt);
        Q_EMIT destinationsChanged();
    });
    // The banner follows the verdict, where it came from, and whether anything is trusted at all
    // (what it can promise). One update of the store changes several: announced once.
    for (auto signal : { &DestinationStore::integrityChanged, &DestinationStore::fromAnotherComputerChanged,
             &DestinationStore::destinationsChanged })
        connect(&m_store, signal, this, [this] {
            if (banner() == m_shownBanner)
                return;
            m_shownBanner = banner();
            Q_EMIT bannerChanged();
        });
    m_shownBanner = banner();
    connect(&m_store, &DestinationStore::integrityChanged, this, &MainWindowModel::loadErrorChanged);
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
    if (m_store.fromAnotherComputer())
        return Banner { fromAnotherComputerTitle(),
            QStringLiteral("Vellmir's settings came from another computer. Backups start once you confirm them."),
            true };
    // Nothing trusted (a damaged or deleted seal, or every secret replaced): nothing backs up.
    if (m_store.nothingTrusted())
        return Banner { changedOutsideTitle(), nothingTrustedText(), true };
    return Banner { changedOutsideTitle(), QStringLiteral("Backups continue with the settings Vellmir last saved."),
        true };
}

QString MainWindowModel::nothingTrustedText()
{
    return QStringLiteral("No backups run until you review the change.");
}

std::optional<QString> MainWindowModel::awaitingReviewText() const
{
    const QList<Destination> &awaiting = m_store.awaitingReview();
    if (awaiting.isEmpty())
        return std::nullopt;
    QStringList names;
    for (const Destination &destination : awaiting)
        names.append(QChar(0x201C) + destination.name + QChar(0x201D));
    // Names nobody vouches for yet: a bidirectional or invisible character in one is shown, not applied.
    return TextRules::visible(QStringLiteral("Awaiting review: ") + names.join(QStringLiteral(", ")) + u'.');
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

void MainWindowModel::reloadInBackground()
{
    if (m_reloading) {
        m_reloadAgain = true;
        return;
    }
    const BegunRead read = prepareRead(m_store.seal());
    m_workers.start([seal = m_store.seal(), read](std::stop_token stop) { readInto(seal, read, stop); });
    follow(read);
}

void MainWindowModel::follow(const BegunRead &read)
{
    m_reloading = true;
    m_reloadAgain = false;
    m_overtaken = false;
    // Taken before reading: a change made while the read runs shows at the next check.
    m_stamps = read.stamps;
    m_begun = read.loaded;
    read.loaded->whenSet(
        [receiver = m_receiver] { receiver->post([](MainWindowModel *model) { model->takeBegunRead(); }); });
}

void MainWindowModel::finishReload(const DestinationStore::Loaded &loaded)
{
    m_reloading = false;
    if (m_overtaken) {
        // What the store published meanwhile may be newer than this read: read again.
        m_reloadAgain = true;
    } else {
        try {
            m_store.apply(loaded);
        } catch (const std::exception &) {
            // The store keeps the reason in errorMessage(), which the window shows. The next
            // check reads again, so a keyring that becomes available is noticed.
            m_stamps.clear();
        }
    }
    if (m_reloadAgain) {
        reloadInBackground();
        return;
    }
    m_awaitingFirstRead = false;
    Q_EMIT readFinished();
}

MainWindowModel::BegunRead MainWindowModel::prepareRead(const ConfigSeal &seal)
{
    return BegunRead { stamps(seal), std::make_shared<Handoff<DestinationStore::Loaded>>() };
}

void MainWindowModel::readInto(const ConfigSeal &seal, const BegunRead &read, std::stop_token stop)
{
    const KeyringStop keyringStop(stop);
    read.loaded->set(DestinationStore::load(seal));
}

void MainWindowModel::watch(const QString &folder, const std::optional<BegunRead> &begun)
{
    try {
        ensureDirectory(folder);
    } catch (const Error &) {
        // Nothing to watch yet; the store's own read says what is wrong.
    }
    if (!m_watcher.directories().contains(folder))
        m_watcher.addPath(folder);
    watchFiles();
    m_verifyTimer.start();
    // The window shows before the store is read: the first read happens off this thread (or,
    // for a store read already, whatever changed since).
    if (!m_reloading)
        m_awaitingFirstRead = true;
    if (!begun || m_reloading) {
        reloadInBackground();
        return;
    }
    follow(*begun);
    takeBegunRead();
}

void MainWindowModel::takeBegunRead()
{
    if (!m_begun)
        return;
    const std::optional<DestinationStore::Loaded> loaded = m_begun->value();
    if (!loaded)
        return;
    m_begun.reset();
    finishReload(*loaded);
}

void MainWindowModel::watchFiles()
{
    const ConfigSeal &seal = m_store.seal();
    for (const QString &file : { seal.destinationsPath(), seal.sealPath(), seal.policyPath() }) {
        if (!m_watcher.files().contains(file) && QFileInfo::exists(file))
            m_watcher.addPath(file);
    }
}

QList<FileStamp> MainWindowModel::stamps(const ConfigSeal &seal)
{
    return FileStamp::of({ seal.destinationsPath(), seal.sealPath(), seal.policyPath() });
}

void MainWindowModel::verify()
{
    // Three stat calls when nothing changed; the seal and the keyring only when something did.
    if (!m_reloading && stamps(m_store.seal()) != m_stamps)
        reloadInBackground();
}

QString MainWindowModel::changedOutsideTitle()
{
    return QStringLiteral("Vellmir's settings were changed outside the app");
}

QString MainWindowModel::fromAnotherComputerTitle()
{
    return QStringLiteral("Confirm settings from another computer");
}

QString MainWindowModel::unavailableTitle()
{
    return QStringLiteral("Vellmir could not check its settings");
}

} // namespace vellmir
