#include "detail/DestinationHealthModel.h"

#include "config/CredentialsStore.h"
#include "config/UserDefaults.h"
#include "kit/Format.h"
#include "operations/BackupHistory.h"
#include "operations/BackupRequests.h"
#include "operations/BackupRunner.h"
#include "operations/RepositoryHealthStore.h"
#include "platform/KeyringStore.h"
#include "util/AppPaths.h"
#include "util/Error.h"
#include "util/FileStamp.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHash>

#include <algorithm>
#include <tuple>

namespace vellmir {

namespace {

DestinationHealthModel::Sources withDefaults(DestinationHealthModel::Sources sources)
{
    if (sources.historyDirectory.isEmpty())
        sources.historyDirectory = AppPaths::historyDirectory();
    if (sources.healthDirectory.isEmpty())
        sources.healthDirectory = AppPaths::healthDirectory();
    if (sources.requestsDirectory.isEmpty())
        sources.requestsDirectory = AppPaths::requestsDirectory();
    if (!sources.now)
        sources.now = [] { return Date::now(); };
    // Asked on every cycle of every row; the settings file is read again only once it changed,
    // and once for all rows.
    static const auto seen = std::make_shared<std::optional<std::tuple<QString, FileStamp, bool>>>();
    if (!sources.automaticBackupsOff)
        sources.automaticBackupsOff = [] {
            const QString path = UserDefaults::defaultFilePath();
            const FileStamp stamp = FileStamp::of(path);
            if (!*seen || std::get<0>(**seen) != path || std::get<1>(**seen) != stamp)
                *seen = std::tuple(path, stamp, UserDefaults().contains(UserDefaults::schedulerRegistrationFailure));
            return std::get<2>(**seen);
        };
    return sources;
}

bool anyRunning(const QList<BackupRecord> &records)
{
    return std::any_of(records.cbegin(), records.cend(),
        [](const BackupRecord &record) { return record.outcome == BackupRecord::Outcome::running; });
}

} // namespace

// The history as one listing outlines it for every row.
struct DestinationHealthModel::Listing {
    QHash<QUuid, QList<BackupRecord>> records;
    std::optional<QString> setAside;
    // The destinations listed; one without records has none in `records`.
    QList<QUuid> ids;
    // The history folder's stamp when listed.
    FileStamp folder;
};

// One watcher for every row over the same folders (each watcher takes one of the user's few
// inotify instances). A settled change lists the history once and hands each polling row its
// own records.
class DestinationHealthModel::Folders {
public:
    Folders(QString history, QString health, QString requests)
        : m_history(std::move(history))
        , m_health(std::move(health))
        , m_requests(std::move(requests))
    {
        m_settle.setSingleShot(true);
        m_settle.setInterval(settleInterval);
        QObject::connect(&m_settle, &QTimer::timeout, &m_watcher, [this] { settle(); });
        QObject::connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
    }

    static std::shared_ptr<Folders> of(const Sources &sources)
    {
        static QHash<QString, std::weak_ptr<Folders>> all;
        const QString key
            = sources.historyDirectory + u'\n' + sources.healthDirectory + u'\n' + sources.requestsDirectory;
        std::shared_ptr<Folders> folders = all.value(key).lock();
        if (!folders) {
            all.removeIf([](decltype(all)::iterator entry) { return entry.value().expired(); });
            folders = std::make_shared<Folders>(
                sources.historyDirectory, sources.healthDirectory, sources.requestsDirectory);
            all.insert(key, folders);
        }
        return folders;
    }

    // Watches the folders made since; false when one that exists cannot be watched. A folder
    // not made yet holds nothing to miss; once it is, what it holds is read as a change.
    bool watchExisting()
    {
        bool all = true;
        // The requests folder too: a request set aside there is shown on its row.
        for (const QString &folder : { m_history, m_health, m_requests }) {
            if (m_watcher.directories().contains(folder) || !QFileInfo(folder).isDir())
                continue;
            if (m_watcher.addPath(folder))
                m_settle.start();
            else
                all = false;
        }
        return all;
    }

    // The listing a row reads when it starts: rows shown together (the window's first fill)
    // list the history once between them. It serves until control returns to the event loop or
    // the folder's stamp changes, whichever comes first; a change the stamp misses (two within
    // the file system's clock tick) reaches the row through the watcher, which is watching by
    // then. None when the listing fails or leaves `id` out.
    const Listing *startListing(const QUuid &id)
    {
        const FileStamp folder = FileStamp::of(m_history);
        if (!m_start || m_start->folder != folder) {
            m_start.reset();
            const bool pending = m_startPending;
            m_startPending = true;
            if (!pending)
                QTimer::singleShot(0, &m_watcher, [this] {
                    m_start.reset();
                    m_startPending = false;
                });
            try {
                const BackupHistory history(m_history);
                m_start = Listing { history.outlines(destinations()), setAsideNotice(history), ids(), folder };
            } catch (const std::exception &) {
                return nullptr; // the row's own read then says why
            }
        }
        return m_start->ids.contains(id) ? &*m_start : nullptr;
    }

    QList<DestinationHealthModel *> models;

private:
    QList<Destination> destinations() const
    {
        QList<Destination> destinations;
        for (const DestinationHealthModel *model : std::as_const(models))
            destinations.append(model->m_destination);
        return destinations;
    }

    QList<QUuid> ids() const
    {
        QList<QUuid> ids;
        for (const DestinationHealthModel *model : std::as_const(models))
            ids.append(model->m_destination.id);
        return ids;
    }

    void settle()
    {
        std::optional<Listing> listing;
        try {
            const BackupHistory history(m_history);
            listing = Listing { history.outlines(destinations()), setAsideNotice(history), {}, {} };
        } catch (const std::exception &) {
            // Each row's own read then says why.
        }
        for (DestinationHealthModel *model : QList(models))
            if (models.contains(model) && model->isPolling()) // a view told before may have dropped a row
                model->read(listing ? &*listing : nullptr, false);
    }

    const QString m_history;
    const QString m_health;
    const QString m_requests;
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
    std::optional<Listing> m_start;
    bool m_startPending = false;
};

DestinationHealthModel::DestinationHealthModel(const Destination &destination, QObject *parent)
    : DestinationHealthModel(destination, {}, std::make_unique<BackupRunner>(ResticEngine(), BackupHistory()), parent)
{
}

DestinationHealthModel::DestinationHealthModel(
    const Destination &destination, Sources sources, std::shared_ptr<BackupRunner> runner, QObject *parent)
    : QObject(parent)
    , m_destination(destination)
    , m_sources(withDefaults(std::move(sources)))
    , m_runner(std::move(runner))
    , m_folders(Folders::of(m_sources))
    , m_runActive(m_runner->isBusy())
    , m_receiver(Receiver<DestinationHealthModel>::make(this))
{
    m_folders->models.append(this);
    m_timer.setInterval(pollInterval);
    connect(&m_timer, &QTimer::timeout, this, &DestinationHealthModel::tick);
    // The run counts as busy until its record is written, so the row never offers another
    // backup beside a record that still says "running".
    connect(m_runner.get(), &BackupRunner::busyChanged, this, [this] {
        if (!m_runner->isBusy() || m_runActive)
            return;
        m_runActive = true;
        Q_EMIT busyChanged();
    });
    connect(m_runner.get(), &BackupRunner::runEnded, this, [this] {
        m_runActive = false;
        poll();
        Q_EMIT busyChanged();
    });
}

DestinationHealthModel::~DestinationHealthModel()
{
    m_receiver->close();
    m_folders->models.removeOne(this);
}

Date DestinationHealthModel::now() const
{
    return m_sources.now();
}

void DestinationHealthModel::setDestination(const Destination &destination)
{
    const bool newScope = destination.backupScope() != m_destination.backupScope();
    m_destination = destination;
    if (newScope && isPolling())
        start();
    else
        Q_EMIT changed();
}

void DestinationHealthModel::start()
{
    m_timer.start();
    m_folders->watchExisting();
    read(m_folders->startListing(m_destination.id), true);
}

void DestinationHealthModel::stop()
{
    m_timer.stop();
}

void DestinationHealthModel::poll()
{
    read(nullptr, true);
}

void DestinationHealthModel::tick()
{
    // A dead process's "running" record changes nothing in the folder: only a read finds it.
    if (!m_folders->watchExisting() || m_readFailed || anyRunning(m_records))
        return poll();
    m_automaticBackupsOff = m_sources.automaticBackupsOff();
    Q_EMIT changed(); // the lines follow the clock
}

void DestinationHealthModel::read(const Listing *listed, bool always)
{
    const auto shown = [this] {
        return std::tuple(m_records, m_earlierComplete, m_health, m_errorMessage, m_automaticBackupsOff, m_runGone);
    };
    const auto before = shown();
    try {
        const BackupHistory history(m_sources.historyDirectory);
        QList<BackupRecord> records
            = (listed ? listed->records : history.outlines({ m_destination }, now())).value(m_destination.id);
        // What a dead process left "running" is finished by asking restic for the run's
        // snapshot: on a worker, never on the window's thread. The row then reads again.
        if (anyRunning(records) && !m_finishingLeftovers) {
            m_finishingLeftovers = true;
            m_workers.start([receiver = m_receiver, destination = m_destination, history,
                                locks = m_runner->lockDirectory()](std::stop_token stop) {
                BackupRunner::finishInterruptedRuns(destination, history, locks, stop);
                receiver->post([](DestinationHealthModel *model) {
                    model->read(nullptr, false);
                    model->m_finishingLeftovers = false;
                });
            });
        }
        const QString scope = m_destination.backupScope();
        m_earlierComplete = lastCompleteOfEarlierSettings(records, scope);
        records.removeIf([&](const BackupRecord &record) { return record.scope != scope; });
        m_records = records;
        // Until the worker has finished it, a run whose process is gone must not read as running.
        m_runGone = !m_records.isEmpty() && m_records.first().outcome == BackupRecord::Outcome::running
            && !BackupRunner::mayBeRunning(m_destination, m_runner->lockDirectory());
        // The health store reads no secret for load(); it still wants its credentials.
        const RepositoryHealthStore store(
            m_sources.healthDirectory, CredentialsStore(std::make_shared<KeyringStore>()));
        m_health = store.load(m_destination);
        // Damaged files set aside no longer stop anything; the user still learns where they went.
        const std::optional<QString> setAside = listed ? listed->setAside : setAsideNotice(history);
        const std::optional<QString> others
            = setAsideNotice(BackupRequests(m_sources.requestsDirectory), store, m_destination.id);
        m_errorMessage = setAside && others ? *setAside + QStringLiteral(". ") + *others : setAside ? setAside : others;
        m_automaticBackupsOff = m_sources.automaticBackupsOff();
        m_readFailed = false;
    } catch (const std::exception &error) {
        m_errorMessage = errorDescription(error);
        m_readFailed = true;
    }
    if (always || shown() != before)
        Q_EMIT changed();
}

std::optional<QString> DestinationHealthModel::setAsideNotice(const BackupHistory &history)
{
    // Backups go on without the damaged records; the user still learns that some are gone
    // from the history and where they were put.
    const QStringList names = history.setAsideRecords();
    if (names.isEmpty())
        return std::nullopt;
    if (names.size() == 1)
        return tr("A damaged history record was set aside: %1").arg(history.directory() + u'/' + names.first());
    return tr("%1 damaged history records were set aside in %2").arg(names.size()).arg(history.directory());
}

std::optional<QString> DestinationHealthModel::setAsideNotice(
    const BackupRequests &requests, const RepositoryHealthStore &health, const QUuid &destinationID)
{
    QStringList sentences;
    for (const QString &name : requests.setAsideRequests(destinationID))
        sentences.append(tr("A damaged backup request was set aside: %1").arg(requests.directory() + u'/' + name));
    for (const QString &name : health.setAsideRecords(destinationID))
        sentences.append(tr("A damaged health record was set aside: %1").arg(health.directory() + u'/' + name));
    if (sentences.isEmpty())
        return std::nullopt;
    // Without a closing period, as the history's sentence: the path ends each one.
    return sentences.join(QStringLiteral(". "));
}

std::optional<double> DestinationHealthModel::interval(Destination::Schedule schedule)
{
    switch (schedule) {
    case Destination::Schedule::hourly:
        return 3600.0;
    case Destination::Schedule::daily:
        return 86400.0;
    case Destination::Schedule::manual:
        break;
    }
    return std::nullopt;
}

std::optional<Date> DestinationHealthModel::lastComplete(const QList<BackupRecord> &records, Date now)
{
    for (const BackupRecord &record : records) {
        if (record.outcome == BackupRecord::Outcome::complete && !record.isDatedAfter(now))
            return record.finishedAt;
    }
    return std::nullopt;
}

std::optional<Date> DestinationHealthModel::datedAhead(const QList<BackupRecord> &records, Date now)
{
    std::optional<Date> latest;
    for (const BackupRecord &record : records)
        if (record.isDatedAfter(now)) {
            const Date date = std::max(record.startedAt, record.finishedAt.value_or(record.startedAt));
            latest = latest ? std::max(*latest, date) : date;
        }
    return latest;
}

std::optional<Date> DestinationHealthModel::lastCompleteOfEarlierSettings(
    const QList<BackupRecord> &records, const QString &scope)
{
    std::optional<Date> earlier;
    for (const BackupRecord &record : records) {
        if (record.outcome != BackupRecord::Outcome::complete)
            continue;
        if (record.scope == scope)
            return std::nullopt; // the current settings have one: it is what counts
        if (!earlier && record.finishedAt)
            earlier = record.finishedAt;
    }
    return earlier;
}

std::optional<Date> DestinationHealthModel::lastIncomplete(const QList<BackupRecord> &records, const QString &scope)
{
    for (const BackupRecord &record : records)
        if (record.outcome == BackupRecord::Outcome::incomplete && record.scope == scope)
            return record.finishedAt.value_or(record.startedAt);
    return std::nullopt;
}

bool DestinationHealthModel::overdue(Destination::Schedule schedule, std::optional<Date> lastComplete, Date now)
{
    const std::optional<double> every = interval(schedule);
    if (!every || !lastComplete)
        return false;
    return now.secondsSince(*lastComplete) >= *every;
}

DestinationHealthModel::Line DestinationHealthModel::backupLine(const QLocale &locale) const
{
    Line line = backupLineOfThePast(locale);
    // The user would otherwise wonder why a backup they see in the history does not count.
    if (const std::optional<Date> ahead = datedAhead(m_records, now())) {
        line.text += u' '
            + tr("A backup is dated %1, in the future, and does not count for the schedule: check the system clock.")
                  .arg(Format::dateTime(*ahead, locale));
        line.tone = StatusTone::warning;
    }
    return line;
}

DestinationHealthModel::Line DestinationHealthModel::backupLineOfThePast(const QLocale &locale) const
{
    if (const std::optional<Date> last = lastComplete())
        return { tr("Last complete backup: %1").arg(Format::dateTime(*last, locale)), StatusTone::normal };
    if (m_destination.sources.isEmpty())
        return { tr("No folders selected"), StatusTone::secondary };
    // A change of folders or exclusions starts over, but the snapshots made before it are there.
    const QString none = m_earlierComplete
        ? tr("No complete backup with the current folders and exclusions yet; the last with earlier settings "
             "finished %1.")
              .arg(Format::dateTime(*m_earlierComplete, locale))
        : QString();
    if (m_destination.schedule == Destination::Schedule::manual) {
        if (m_earlierComplete)
            return { none, StatusTone::secondary };
        const std::optional<Date> incomplete = lastIncomplete(m_records, m_destination.backupScope());
        return { incomplete
                ? tr("No complete backup yet; the latest, incomplete, %1").arg(Format::dateTime(*incomplete, locale))
                : tr("Not yet backed up"),
            StatusTone::secondary };
    }
    return { (m_earlierComplete ? none + u' ' : tr("No complete backup yet. "))
            + tr("Back up now, or check that the systemd user timer is active."),
        StatusTone::warning };
}

std::optional<DestinationHealthModel::Line> DestinationHealthModel::latestAttemptLine() const
{
    if (m_records.isEmpty() || m_records.first().outcome == BackupRecord::Outcome::complete || m_runGone)
        return std::nullopt;
    // A run under way is no cause for concern; the other outcomes are.
    const BackupRecord::Outcome outcome = m_records.first().outcome;
    return Line { tr("Latest attempt: %1. Open history for details.").arg(toString(outcome)),
        outcome == BackupRecord::Outcome::running ? StatusTone::secondary : StatusTone::warning };
}

std::optional<DestinationHealthModel::Line> DestinationHealthModel::overdueLine() const
{
    if (!overdue())
        return std::nullopt;
    return Line { tr("Backup is overdue"), StatusTone::warning };
}

std::optional<DestinationHealthModel::Line> DestinationHealthModel::nextDueLine(const QLocale &locale) const
{
    const std::optional<double> every = interval(m_destination.schedule);
    // Nothing would start it: the window's banner says why.
    if (every && m_automaticBackupsOff)
        return Line { tr("Automatic backups are off"), StatusTone::warning };
    const std::optional<Date> last = lastComplete();
    if (!every || !last)
        return std::nullopt;
    return Line { tr("Next due: %1").arg(Format::dateTime(last->addingSeconds(*every), locale)), StatusTone::normal };
}

DestinationHealthModel::Line DestinationHealthModel::countsLine() const
{
    const qint64 folders = m_destination.sources.size();
    const qint64 exclusions = m_destination.excludes.size();
    const QString text
        = (folders == 1 ? tr("%1 selected folder") : tr("%1 selected folders")).arg(Format::count(folders))
        + QStringLiteral(" \u00b7 ")
        + (exclusions == 1 ? tr("%1 exclusion") : tr("%1 exclusions")).arg(Format::count(exclusions));
    return { text, StatusTone::normal };
}

DestinationHealthModel::Line DestinationHealthModel::verifiedRestoreLine(const QLocale &locale) const
{
    const QString when
        = m_health.lastVerifiedRestore ? Format::dateTime(*m_health.lastVerifiedRestore, locale) : tr("Not yet tested");
    return { tr("Last verified restore: %1").arg(when), StatusTone::normal };
}

std::optional<QString> DestinationHealthModel::runFailure() const
{
    if (m_runner->phase() != BackupRunner::Phase::failed)
        return std::nullopt;
    return m_runner->failureMessage();
}

bool DestinationHealthModel::isBusy() const
{
    return m_runActive || m_runner->isBusy();
}

void DestinationHealthModel::backUpNow()
{
    if (!canBackUp())
        return;
    m_runner->run(m_destination);
}

void DestinationHealthModel::cancel()
{
    m_runner->cancel();
}

} // namespace vellmir
