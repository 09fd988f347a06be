#include "restore/SnapshotBrowserModel.h"

#include "kit/Format.h"
#include "restore/RestoreTexts.h"
#include "util/AppPaths.h"
#include "util/Error.h"
#include "util/TextRules.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QStandardPaths>
#include <thread>

namespace vellmir {

using Phase = RestoreRunner::Phase;

SnapshotBrowserModel::SnapshotBrowserModel(Destination destination, QList<Snapshot> snapshots, const Snapshot &chosen,
    const RestoreServices &services, QObject *parent)
    : QObject(parent)
    , m_destination(std::move(destination))
    , m_snapshots(std::move(snapshots))
    , m_engine(services.engine)
    , m_credentials(services.credentials)
    , m_snapshotID(chosen.id)
    , m_targetPath(defaultTargetPath())
    , m_runner(services.makeRunner(this))
    , m_receiver(Receiver<SnapshotBrowserModel>::make(this))
{
    m_debounce.setSingleShot(true);
    m_debounce.setInterval(debounce);
    connect(&m_debounce, &QTimer::timeout, this, &SnapshotBrowserModel::runListing);
}

SnapshotBrowserModel::~SnapshotBrowserModel()
{
    m_listingStop.request_stop();
    m_receiver->close();
}

QString SnapshotBrowserModel::defaultTargetPath()
{
    // A restore needs its target to exist; a desktop without a Downloads folder gets home.
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!downloads.isEmpty() && QFileInfo(downloads).isDir())
        return downloads;
    return AppPaths::homeDirectory();
}

std::optional<Snapshot> SnapshotBrowserModel::snapshot() const
{
    for (const Snapshot &candidate : m_snapshots) {
        if (candidate.id == m_snapshotID)
            return candidate;
    }
    return std::nullopt;
}

QString SnapshotBrowserModel::queryID() const
{
    return m_snapshotID + u'|' + m_directory + u'|' + m_search;
}

QList<SnapshotBrowserModel::PathComponent> SnapshotBrowserModel::pathComponents() const
{
    QList<PathComponent> components { { QStringLiteral("/"), QStringLiteral("/") } };
    if (m_directory == QLatin1String("/"))
        return components;
    QString fullPath;
    for (const QString &piece : m_directory.split(u'/', Qt::SkipEmptyParts)) {
        fullPath += u'/' + piece;
        components.append({ TextRules::visible(piece), fullPath });
    }
    return components;
}

QString SnapshotBrowserModel::lastComponent(const QString &path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(u'/'))
        trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf(u'/');
    const QString last = trimmed.mid(slash + 1);
    return last.isEmpty() ? trimmed : last;
}

QString SnapshotBrowserModel::displayName(const SnapshotEntry &entry) const
{
    // A name may hold a line break or a character that shows as nothing: each is written out, so
    // the row stays one line and says which name it is.
    return TextRules::visible(m_search.isEmpty() ? lastComponent(entry.path) : entry.path);
}

QString SnapshotBrowserModel::snapshotLabel(const Snapshot &snapshot)
{
    // The short id tells apart versions made within the same minute.
    return Format::dateTime(snapshot.time) + QStringLiteral(" \u00B7 ") + TextRules::visible(snapshot.hostname)
        + QStringLiteral(" \u00B7 ") + snapshot.shortID;
}

void SnapshotBrowserModel::start()
{
    if (m_started)
        return;
    m_started = true;
    restartListing();
}

void SnapshotBrowserModel::stop()
{
    m_started = false;
    m_debounce.stop();
    ++m_generation;
    m_listingStop.request_stop();
}

void SnapshotBrowserModel::setSnapshotID(const QString &id)
{
    if (id == m_snapshotID)
        return;
    m_snapshotID = id;
    Q_EMIT snapshotIDChanged();
    restartListing();
}

void SnapshotBrowserModel::setSearch(const QString &text)
{
    if (text == m_search)
        return;
    m_search = text;
    Q_EMIT searchChanged();
    restartListing();
}

void SnapshotBrowserModel::openFolder(const QString &path)
{
    const QString before = queryID();
    if (path != m_directory) {
        m_directory = path;
        Q_EMIT directoryChanged();
    }
    if (!m_search.isEmpty()) {
        m_search.clear();
        Q_EMIT searchChanged();
    }
    if (queryID() != before)
        restartListing();
}

void SnapshotBrowserModel::goUp()
{
    QString parent = m_directory.left(std::max<qsizetype>(m_directory.lastIndexOf(u'/'), 0));
    if (parent.isEmpty())
        parent = QStringLiteral("/");
    if (parent == m_directory)
        return;
    m_directory = parent;
    Q_EMIT directoryChanged();
    restartListing();
}

void SnapshotBrowserModel::select(const std::optional<QString> &path)
{
    std::optional<SnapshotEntry> entry;
    if (path) {
        for (const SnapshotEntry &candidate : std::as_const(m_entries)) {
            if (candidate.path == *path) {
                entry = candidate;
                break;
            }
        }
    }
    setSelected(entry);
    const Phase phase = m_runner->phase();
    if (phase == Phase::finished || phase == Phase::failed)
        m_runner->reset();
}

void SnapshotBrowserModel::activate(const QStringList &paths)
{
    if (paths.size() != 1)
        return;
    for (const SnapshotEntry &entry : std::as_const(m_entries)) {
        if (entry.path == paths.constFirst()) {
            if (entry.isDirectory())
                openFolder(entry.path);
            return;
        }
    }
}

QString SnapshotBrowserModel::restoreButtonTitle(const SnapshotEntry &entry)
{
    return entry.isDirectory() ? QStringLiteral("Restore Folder\u2026") : QStringLiteral("Restore File");
}

void SnapshotBrowserModel::requestRestore()
{
    if (!m_selected || !canPressRestore() || isRunning())
        return;
    if (m_selected->isDirectory())
        setConfirming(m_selected);
    else
        startRestore(m_selected->path);
}

void SnapshotBrowserModel::confirmFolderRestore()
{
    const std::optional<SnapshotEntry> folder = m_confirming;
    setConfirming(std::nullopt);
    if (folder)
        startRestore(folder->path);
}

void SnapshotBrowserModel::dismissFolderConfirmation()
{
    setConfirming(std::nullopt);
}

QString SnapshotBrowserModel::folderConfirmationMessage() const
{
    if (!m_confirming)
        return {};
    // Both folders are written out as they are, so a line break or an invisible character in a
    // name cannot make the question name another folder than the one restored.
    return TextRules::visible(m_confirming->path)
        + QStringLiteral(" and everything in it will be restored into a new folder inside ")
        + TextRules::visible(targetDisplayPath())
        // A disk of the user's own charges nothing for reads.
        + (m_destination.kind == Destination::Kind::local
                ? QStringLiteral(". Large folders can take a long time.")
                : QStringLiteral(". Large folders can take a long time and may incur provider download charges."));
}

void SnapshotBrowserModel::startRestore(const QString &path)
{
    const std::optional<Snapshot> picked = snapshot();
    if (!picked)
        return;
    m_runner->run(*picked, m_destination, m_targetPath, path);
}

void SnapshotBrowserModel::cancelRestore()
{
    if (isRunning())
        m_runner->cancel();
}

void SnapshotBrowserModel::chooseTargetFolder()
{
    if (!m_chooser)
        return;
    if (const std::optional<QString> chosen = m_chooser())
        setTargetPath(*chosen);
}

void SnapshotBrowserModel::setTargetPath(const QString &path)
{
    if (std::exchange(m_targetPath, path) != path)
        Q_EMIT targetPathChanged();
}

void SnapshotBrowserModel::showRestoredFiles()
{
    if (m_opener && m_runner->restoredPath())
        m_opener(*m_runner->restoredPath());
}

QString SnapshotBrowserModel::targetDisplayPath() const
{
    return Destination::tildeForm(m_targetPath);
}

QString SnapshotBrowserModel::closeButtonTitle() const
{
    return RestoreTexts::closeButtonTitle(*m_runner);
}

QString SnapshotBrowserModel::progressFilesText() const
{
    return RestoreTexts::progressFiles(*m_runner);
}

QString SnapshotBrowserModel::progressBytesText() const
{
    return RestoreTexts::progressBytes(*m_runner);
}

QString SnapshotBrowserModel::summaryText() const
{
    return RestoreTexts::summary(*m_runner);
}

void SnapshotBrowserModel::restartListing()
{
    if (!m_started)
        return;
    ++m_generation;
    m_listingStop.request_stop();
    m_listingStop = std::stop_source();
    setLoading(true);
    setErrorMessage(std::nullopt);
    // Directly, not through select(): a new listing leaves a restore's result alone.
    setSelected(std::nullopt);
    m_debounce.start();
}

void SnapshotBrowserModel::runListing()
{
    const quint64 generation = m_generation;
    // The worker owns copies of all it needs; the keyring and restic may both take a while.
    m_workers.start([receiver = m_receiver, generation, engine = m_engine, credentials = m_credentials,
                        destination = m_destination, snapshotID = m_snapshotID, directory = m_directory,
                        search = m_search, stop = m_listingStop.get_token()](std::stop_token) {
        try {
            const ResticEnvironment environment = credentials.resticEnvironment(destination);
            const QList<SnapshotEntry> entries = engine.browse(snapshotID, directory, search, false, environment, stop);
            if (stop.stop_requested())
                return;
            receiver->post(
                [generation, entries](SnapshotBrowserModel *model) { model->finishListing(generation, entries); });
        } catch (const CancellationError &) {
        } catch (const std::exception &error) {
            if (stop.stop_requested())
                return;
            receiver->post([generation, message = errorDescription(error)](
                               SnapshotBrowserModel *model) { model->failListing(generation, message); });
        }
    });
}

void SnapshotBrowserModel::finishListing(quint64 generation, const QList<SnapshotEntry> &entries)
{
    if (generation != m_generation)
        return;
    setEntries(entries);
    setLoading(false);
}

void SnapshotBrowserModel::failListing(quint64 generation, const QString &message)
{
    if (generation != m_generation)
        return;
    setEntries({});
    setErrorMessage(message);
    setLoading(false);
}

void SnapshotBrowserModel::setEntries(const QList<SnapshotEntry> &entries)
{
    if (std::exchange(m_entries, entries) != entries)
        Q_EMIT entriesChanged();
}

void SnapshotBrowserModel::setLoading(bool loading)
{
    if (std::exchange(m_loading, loading) != loading)
        Q_EMIT loadingChanged();
}

void SnapshotBrowserModel::setErrorMessage(const std::optional<QString> &message)
{
    if (std::exchange(m_errorMessage, message) != message)
        Q_EMIT errorMessageChanged();
}

void SnapshotBrowserModel::setSelected(const std::optional<SnapshotEntry> &entry)
{
    if (std::exchange(m_selected, entry) != entry)
        Q_EMIT selectedChanged();
}

void SnapshotBrowserModel::setConfirming(const std::optional<SnapshotEntry> &entry)
{
    if (std::exchange(m_confirming, entry) != entry)
        Q_EMIT confirmingFolderRestoreChanged();
}

} // namespace vellmir
