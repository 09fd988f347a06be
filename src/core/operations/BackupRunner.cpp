#include "operations/BackupRunner.h"

#include "config/CredentialsStore.h"
#include "config/FileAccessStatus.h"
#include "config/FileLock.h"
#include "config/FullDiskAccessPreference.h"
#include "config/UserDefaults.h"
#include "engine/MachineIdentity.h"
#include "engine/ResticCommand.h"
#include "platform/KeepAwake.h"
#include "platform/KeyringStore.h"
#include "platform/LogindKeepAwake.h"
#include "util/AppPaths.h"
#include "util/Error.h"
#include "util/Log.h"
#include "util/Uuid.h"
#include "util/Workers.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace vellmir {

namespace {

const QString noSourcesMessage = QStringLiteral("No folders selected to back up.");
const QString noSnapshotMessage
    = QStringLiteral("The backup returned no snapshot ID. Its result could not be verified.");
const QString someFilesSkippedMessage = QStringLiteral("Some files could not be read and were skipped.");
const QString fullDiskAccessNote = QStringLiteral("Full Disk Access could not be confirmed. Protected files may be "
                                                  "unavailable; review access before trusting this backup.");
const QString retentionSkippedMessage
    = QStringLiteral("Retention skipped because this backup is incomplete. Existing snapshots were preserved.");
const QString retentionFailedPrefix = QStringLiteral("Retention failed: ");

std::atomic<int> activeRuns { 0 };

// The runs of this process between their start and their recorded outcome, by the stop
// source each one answers to, so that quitting can cancel them and wait for their records.
struct Executing {
    std::mutex mutex;
    std::condition_variable ended;
    QList<std::stop_source *> stops;
};

Executing &executing()
{
    static Executing runs;
    return runs;
}

// An error's own sentence: ours carry one for the user; anything else has only its text.
QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->message();
    return QString::fromUtf8(error.what());
}

// The snapshot restic saved for a run whose record was left "running" (its process died, or
// the disk filled before the final record): one of this computer's, of the destination's
// folders, taken after the run began and before the destination's next run, that no record
// names. Only for a record made with the destination's present settings, since the folders of
// older ones are not known.
std::optional<Snapshot> savedSnapshot(const BackupRecord &leftover, const QList<BackupRecord> &records,
    const Destination &destination, const QList<Snapshot> &snapshots)
{
    if (!leftover.scope || *leftover.scope != destination.backupScope())
        return std::nullopt;
    std::optional<Date> nextStart;
    for (const BackupRecord &record : records)
        if (record.id != leftover.id && record.startedAt > leftover.startedAt
            && (!nextStart || record.startedAt < *nextStart))
            nextStart = record.startedAt;
    QStringList folders = destination.resolvedSources();
    folders.sort();
    const QString host = MachineIdentity::hostname();
    std::optional<Snapshot> found;
    for (const Snapshot &snapshot : snapshots) {
        QStringList paths = snapshot.paths;
        paths.sort();
        // restic dates its snapshot once it has started, so never before the record was written;
        // the second allows for the record's rounding.
        if (snapshot.hostname != host || paths != folders || snapshot.time < leftover.startedAt.addingSeconds(-1)
            || (nextStart && !(snapshot.time < *nextStart)))
            continue;
        if (std::any_of(records.cbegin(), records.cend(),
                [&](const BackupRecord &record) { return record.snapshotID == snapshot.id; }))
            continue;
        if (!found || snapshot.time < found->time)
            found = snapshot;
    }
    return found;
}

// The records of the destination that still say "running" are finished: complete with the
// snapshot restic saved for the run when the repository has one, else failed, saying why.
// `listSnapshots` is asked at most once, and only when such a record may have a snapshot. Only
// for a caller that holds the repository's lock: every run holds it from before its first
// write to after its last, so under it such a record belongs to a run that is gone. A listing
// cut short by `stop` proves nothing: the records stay as they are.
void finishInterrupted(const BackupHistory &history, const Destination &destination,
    const std::function<QList<Snapshot>()> &listSnapshots, std::stop_token stop)
{
    QList<BackupRecord> records;
    try {
        records = history.newestThroughRunning(destination.id);
    } catch (const std::exception &) {
        return; // an unreadable history is reported wherever it is listed
    }
    std::optional<QList<Snapshot>> snapshots;
    for (BackupRecord record : std::as_const(records)) {
        if (record.outcome != BackupRecord::Outcome::running)
            continue;
        if (!snapshots && record.scope && *record.scope == destination.backupScope()) {
            try {
                snapshots = listSnapshots();
            } catch (const std::exception &error) {
                snapshots = QList<Snapshot> {};
                logLine(QStringLiteral("backup"),
                    QStringLiteral("could not ask the repository about an unfinished backup: ") + describe(error));
            }
            if (stop.stop_requested())
                return;
        }
        const std::optional<Snapshot> saved
            = snapshots ? savedSnapshot(record, records, destination, *snapshots) : std::nullopt;
        if (saved) {
            record.outcome = BackupRecord::Outcome::complete;
            record.snapshotID = saved->id;
            // A complete run has a finish time: without one it counts as no backup at all. Its
            // snapshot's time is the nearest restic tells.
            record.finishedAt = std::max(saved->time, record.startedAt);
        } else {
            record.outcome = BackupRecord::Outcome::failed;
            record.issues.append(BackupRunner::interruptedMessage);
        }
        try {
            history.write(record);
            logLine(QStringLiteral("backup"),
                saved ? QStringLiteral("recorded the unfinished backup %1 as complete: restic saved its snapshot %2")
                            .arg(uuidText(record.id), saved->shortID)
                      : QStringLiteral("recorded the interrupted backup %1 as failed").arg(uuidText(record.id)));
            // Claimed now: a second leftover cannot take it.
            for (BackupRecord &listed : records)
                if (listed.id == record.id)
                    listed = record;
        } catch (const std::exception &error) {
            logLine(QStringLiteral("backup"),
                QStringLiteral("could not finish the record of an interrupted backup: ") + describe(error));
        }
    }
}

// The repository's snapshots, given at most `bound` to answer, and no longer than `asked` lets:
// restic keeps retrying a backend that does not answer, and a listing of records must not wait on that.
QList<Snapshot> snapshotsWithin(
    const ResticEngine &engine, const ResticEnvironment &environment, std::chrono::seconds bound, std::stop_token asked)
{
    std::stop_source stop;
    const std::stop_callback ended(asked, [&stop] { stop.request_stop(); });
    std::mutex mutex;
    std::condition_variable_any wake;
    std::jthread timer([&](std::stop_token own) {
        std::unique_lock lock(mutex);
        wake.wait_for(lock, own, bound, [] { return false; });
        if (!own.stop_requested())
            stop.request_stop();
    });
    return engine.listSnapshots(environment, stop.get_token());
}

BackupRunner::Services withDefaults(BackupRunner::Services services)
{
    if (!services.environmentProvider)
        services.environmentProvider = [](const Destination &destination) {
            return CredentialsStore(std::make_shared<KeyringStore>()).resticEnvironment(destination);
        };
    if (!services.accessCheck)
        services.accessCheck = [] { return FileAccessStatus::isGranted(); };
    if (!services.fullDiskAccessWanted)
        services.fullDiskAccessWanted = [] {
            UserDefaults defaults;
            return FullDiskAccessPreference::wanted(defaults);
        };
    if (!services.notify)
        services.notify = [](const NotificationContent &content) { BackupNotifications::standard().send(content); };
    if (!services.keepAwake)
        services.keepAwake = std::make_shared<LogindKeepAwake>();
    return services;
}

} // namespace

// What a run changed since its last update: the scalar state in full, the two lists as the
// lines added (they only grow during a run), the record once the run has built one.
struct BackupRunner::Update {
    BackupRunState state; // issues and skippedProtected: only the new lines
    qsizetype issuesFrom = 0;
    qsizetype skippedFrom = 0;
    bool usingFullDiskAccess = false;
    std::optional<BackupRecord> record;
    bool ended = false;
};

// One run: the steps of a backup on whatever thread calls execute(), working on its own copy
// of the state and handing every change to `deliver`.
class BackupRunner::Job {
public:
    using Deliver = std::function<void(Update &&)>;

    Job(const BackupRunner &runner, Destination destination, Deliver deliver)
        : m_engine(runner.m_engine)
        , m_history(runner.m_history)
        , m_services(runner.m_services)
        , m_destination(std::move(destination))
        , m_state(runner.m_state)
        , m_usingFullDiskAccess(runner.m_usingFullDiskAccess)
        , m_sentIssues(m_state.issues.size())
        , m_sentSkipped(m_state.skippedProtected.size())
        , m_deliver(std::move(deliver))
    {
        ++activeRuns;
    }

    ~Job() { --activeRuns; }
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // Ends when the outcome is recorded and any notification handed over; never throws.
    void execute(std::stop_token stop)
    {
        // The caller's token, or cancelRunsInProgress(), whichever comes first.
        std::stop_source own;
        const std::stop_callback follow(stop, [&own] { own.request_stop(); });
        {
            const std::lock_guard guard(executing().mutex);
            executing().stops.append(&own);
        }
        try {
            perform(own.get_token());
        } catch (const std::exception &error) {
            // Not expected: every step catches its own failures. The run still gets recorded.
            fail(describe(error));
        }
        try {
            persistOutcome();
        } catch (const std::exception &error) {
            logLine(QStringLiteral("backup"),
                QStringLiteral("could not finish the record of a backup: ") + describe(error));
        }
        // Only now that the record holds the outcome: a "running" record whose repository is
        // free belongs to a run that died.
        m_repositoryLock.reset();
        {
            const std::lock_guard guard(executing().mutex);
            executing().stops.removeOne(&own);
        }
        executing().ended.notify_all();
        publish(true);
    }

    // Nothing when the run failed before it could build its record.
    std::optional<QUuid> recordID() const
    {
        if (!m_haveRecord)
            return std::nullopt;
        return m_record.id;
    }

private:
    void perform(std::stop_token stop)
    {
        // Released on every way out of this function, cancellation and failures included.
        std::unique_ptr<KeepAwakeHold> awake = m_services.keepAwake->hold(activityReason);

        m_usingFullDiskAccess = m_services.fullDiskAccessWanted();
        if (!holdRepository(stop))
            return;
        const std::optional<ResticEnvironment> environment = prepare(stop);
        if (!environment)
            return;
        const std::optional<int> status = runRestic(*environment, stop);
        if (!status)
            return;
        // Once restic has named its snapshot, the backup exists whatever stop follows (over SFTP
        // the stop may come while restic removes its lock): such a run is judged by its issues.
        const bool saved = m_state.summary && !m_state.summary->snapshotID.isEmpty();
        if (stop.stop_requested() && !saved) {
            // restic 0.18 reports an interrupted backup as a plain failure (exit 1): what
            // makes this run cancelled is that we stopped it, whatever restic said.
            cancelled();
            return;
        }
        if (!classify(stop.stop_requested() && *status != 3 ? 0 : *status))
            return;

        // A stopped run leaves its retention to the next one.
        if (m_destination.pruneAfterBackup && !stop.stop_requested()) {
            if (m_record.outcome == BackupRecord::Outcome::complete)
                applyRetention(*environment, stop);
            else
                m_state.pruneMessage = retentionSkippedMessage;
        }
        // Told once the repository is free again: whoever lists the new snapshot on hearing
        // of it must not find the repository still busy with this run.
        m_state.phase = Phase::finished;
    }

    // One run of a repository at a time, from its first record write to its last, the
    // retention included. A run that finds the repository busy has not started: it fails at
    // once and leaves no record, which would otherwise stand as the latest attempt in front
    // of the run that holds the repository. False when the run ends here.
    bool holdRepository(std::stop_token stop)
    {
        try {
            m_repositoryLock = FileLock::repository(
                m_destination.repository, m_engine.lockDirectory().value_or(QString()), repositoryWork);
        } catch (const std::exception &error) {
            fail(describe(error));
            return false;
        }
        m_engine = m_engine.holdingLock(m_destination.repository, *m_repositoryLock);
        finishInterrupted(
            m_history, m_destination,
            [&] { return m_engine.listSnapshots(m_services.environmentProvider(m_destination), stop); }, stop);

        m_record = BackupRecord(m_destination.id, Date::now());
        m_record.accessGranted = m_services.accessCheck();
        m_record.scope = m_destination.backupScope();
        m_haveRecord = true;
        publish();
        try {
            writeRecord(m_record);
        } catch (const std::exception &error) {
            // restic never starts without a record on disk: what failed is the history, not a backup.
            fail(QStringLiteral("No backup ran: its history record could not be written: ") + describe(error));
            return false;
        }
        m_recordWritten = true;
        return true;
    }

    // restic's environment once the preconditions hold; nullopt when the run ends here.
    std::optional<ResticEnvironment> prepare(std::stop_token stop)
    {
        if (m_destination.sources.isEmpty()) {
            fail(noSourcesMessage);
            return std::nullopt;
        }
        ResticEnvironment environment;
        try {
            environment = m_services.environmentProvider(m_destination);
        } catch (const std::exception &error) {
            // A keyring read ends early once the run is stopped: that is a cancel, not a failure.
            if (stop.stop_requested())
                cancelled();
            else
                fail(describe(error));
            return std::nullopt;
        }
        if (!m_record.accessGranted && m_usingFullDiskAccess) {
            m_state.issues.append(fullDiskAccessNote);
            publish();
        }
        return environment;
    }

    ResticCommand backupCommand() const
    {
        ResticCommand command(QStringLiteral("backup"));
        command.flag(QStringLiteral("--json")).option(QStringLiteral("--host"), MachineIdentity::hostname());
        command.lockWait(ResticEngine::lockRetry());
        if (m_destination.preferences && m_destination.preferences->uploadLimitKiB >= 1)
            command.option(
                QStringLiteral("--limit-upload"), QString::number(m_destination.preferences->uploadLimitKiB));
        command.options(m_destination.excludeArguments());
        command.positionals(m_destination.resolvedSources());
        return command;
    }

    // restic's exit status, -1 when it gave none; nullopt when the run failed here.
    std::optional<int> runRestic(const ResticEnvironment &environment, std::stop_token stop)
    {
        int status = -1;
        BackupOutput output(m_state);
        try {
            m_engine.streamBytes(backupCommand(), environment, stop, [&](const ResticStreamBytes &event) {
                // Once cancelled, the engine is stopping restic; what it still says is not read.
                if (stop.stop_requested())
                    return;
                switch (event.type) {
                case ResticStreamEvent::Type::stdoutLine:
                    output.parseStdout(event.line);
                    break;
                case ResticStreamEvent::Type::stderrLine:
                    output.parseStderr(event.text());
                    break;
                case ResticStreamEvent::Type::finished:
                    status = event.status;
                    break;
                }
                publish();
            });
        } catch (const std::exception &error) {
            if (!stop.stop_requested()) {
                fail(describe(error));
                return std::nullopt;
            }
        }
        return status;
    }

    // The record's outcome from restic's exit status, its summary and the issues seen. False
    // when the run failed.
    bool classify(int status)
    {
        if (status != 0 && status != 3) {
            if (m_state.failureMessage)
                fail(*m_state.failureMessage);
            else if (!m_state.issues.isEmpty())
                fail(m_state.issues.last());
            else
                fail(QStringLiteral("Backup failed (exit code %1).").arg(status));
            return false;
        }
        if (!m_state.summary || m_state.summary->snapshotID.isEmpty()) {
            fail(noSnapshotMessage);
            return false;
        }
        m_state.percent = 1.0;
        bool countsAsClean = status == 0;
        if (status == 3) {
            // restic saw unreadable items; with none named, say so rather than claim a clean run.
            if (m_state.issues.isEmpty() && m_state.skippedProtected.isEmpty())
                m_state.issues.append(someFilesSkippedMessage);
            // Expected skips of protected data alone leave the backup complete.
            countsAsClean = m_state.issues.isEmpty();
        }
        m_record.outcome = countsAsClean && m_state.issues.isEmpty() ? BackupRecord::Outcome::complete
                                                                     : BackupRecord::Outcome::incomplete;
        publish();
        return true;
    }

    void cancelled()
    {
        m_record.outcome = BackupRecord::Outcome::cancelled;
        m_state.phase = Phase::idle;
    }

    void applyRetention(const ResticEnvironment &environment, std::stop_token stop)
    {
        m_state.phase = Phase::pruning;
        publish();

        bool prune = false;
        try {
            prune = m_history.isPruneDue(m_destination, Date::now());
        } catch (const std::exception &error) {
            m_state.pruneMessage = retentionFailedPrefix + describe(error);
            return;
        }
        try {
            const int removed = m_engine.applyRetention(m_destination.retention, prune, false, environment, stop);
            if (prune)
                m_record.prunedAt = Date::now();
            QString message = removed > 0 ? QStringLiteral("Retention applied; removed %1 snapshot(s).").arg(removed)
                                          : QStringLiteral("Retention applied; nothing to remove.");
            if (prune)
                message += QStringLiteral(" Unused data pruned.");
            m_state.pruneMessage = message;
        } catch (const std::exception &error) {
            m_state.pruneMessage = retentionFailedPrefix + describe(error);
        }
    }

    void persistOutcome()
    {
        if (!m_haveRecord)
            return;
        BackupRecord copy = m_record;
        copy.finishedAt = Date::now();
        const bool failed = m_state.phase == Phase::failed;
        if (failed)
            copy.outcome = BackupRecord::Outcome::failed;
        copy.snapshotID = m_state.summary ? std::optional<QString>(m_state.summary->snapshotID) : std::nullopt;
        copy.issues = m_state.issues;
        if (failed && m_state.failureMessage)
            copy.issues.append(*m_state.failureMessage);
        copy.skippedProtected = m_state.skippedProtected.isEmpty()
            ? std::nullopt
            : std::optional<QStringList>(m_state.skippedProtected.mid(0, maximumRecordedSkips));
        copy.maintenance = m_state.pruneMessage;
        copy.bytesAdded = m_state.summary ? m_state.summary->dataAdded : 0;

        try {
            writeRecord(copy);
            // What the file now says; after a failed save the run keeps its own version.
            m_record = copy;
        } catch (const std::exception &error) {
            // A run whose first record never reached the disk already says that no backup ran.
            if (m_recordWritten) {
                m_state.phase = Phase::failed;
                m_state.failureMessage
                    = QStringLiteral("Backup ended, but its result could not be saved: ") + describe(error);
                publish();
            }
        }

        // Judged by what the record says, so a complete backup whose record could not be
        // rewritten stays quiet unless its retention failed.
        const bool retentionFailed = m_state.pruneMessage && m_state.pruneMessage->startsWith(retentionFailedPrefix);
        if (copy.outcome != BackupRecord::Outcome::complete || retentionFailed) {
            try {
                m_services.notify(BackupNotifications::backupNeedsAttention(m_destination, toString(copy.outcome)));
            } catch (const std::exception &error) {
                logLine(QStringLiteral("backup"), QStringLiteral("could not post a notification: ") + describe(error));
            }
        }
    }

    void writeRecord(const BackupRecord &record) const { m_history.write(record); }

    // The run's end is told once its record holds the outcome (execute's last publish): told
    // earlier, whoever lists the history on hearing it would still read "running".
    void fail(const QString &message)
    {
        m_state.phase = Phase::failed;
        m_state.failureMessage = message;
    }

    // Hands what changed since the last call to the runner; quiet when nothing did.
    void publish(bool ended = false)
    {
        Update update;
        update.state = m_state;
        update.state.issues = m_state.issues.mid(m_sentIssues);
        update.state.skippedProtected = m_state.skippedProtected.mid(m_sentSkipped);
        update.issuesFrom = m_sentIssues;
        update.skippedFrom = m_sentSkipped;
        update.usingFullDiskAccess = m_usingFullDiskAccess;
        if (m_haveRecord)
            update.record = m_record;
        update.ended = ended;

        BackupRunState scalars = m_state;
        scalars.issues.clear();
        scalars.skippedProtected.clear();
        const bool unchanged = m_sent && m_sent->state == scalars && update.state.issues.isEmpty()
            && update.state.skippedProtected.isEmpty() && m_sent->usingFullDiskAccess == m_usingFullDiskAccess
            && m_sent->record == update.record;
        if (unchanged && !ended)
            return;

        m_sent = Sent { scalars, m_usingFullDiskAccess, update.record };
        m_sentIssues = m_state.issues.size();
        m_sentSkipped = m_state.skippedProtected.size();
        m_deliver(std::move(update));
    }

    struct Sent {
        BackupRunState state;
        bool usingFullDiskAccess;
        std::optional<BackupRecord> record;
    };

    ResticEngine m_engine; // holding the repository's lock once the run has it
    const BackupHistory m_history;
    const Services m_services;
    const Destination m_destination;

    BackupRunState m_state;
    bool m_usingFullDiskAccess = false;
    std::unique_ptr<FileLock> m_repositoryLock;
    BackupRecord m_record;
    bool m_haveRecord = false;
    bool m_recordWritten = false; // the run's first record is on disk

    std::optional<Sent> m_sent;
    qsizetype m_sentIssues = 0;
    qsizetype m_sentSkipped = 0;
    Deliver m_deliver;
};

BackupRunner::BackupRunner(ResticEngine engine, BackupHistory history, Services services, QObject *parent)
    : QObject(parent)
    , m_engine(std::move(engine))
    , m_history(std::move(history))
    , m_services(withDefaults(std::move(services)))
    , m_receiver(Receiver<BackupRunner>::make(this))
{
}

BackupRunner::~BackupRunner()
{
    // A run still under way finishes on its own; from here on its news goes nowhere.
    m_receiver->close();
}

int BackupRunner::runsInProgress()
{
    return activeRuns.load();
}

QList<BackupRecord> BackupRunner::listRecords(const Destination &destination, const BackupHistory &history,
    const std::optional<QString> &lockDirectory, qsizetype limit)
{
    const auto anyRunning = [](const QList<BackupRecord> &records) {
        return std::any_of(records.cbegin(), records.cend(),
            [](const BackupRecord &record) { return record.outcome == BackupRecord::Outcome::running; });
    };
    if (limit >= 0) {
        if (history.anyRunning(destination.id))
            finishInterruptedRuns(destination, history, lockDirectory);
        return history.newest(destination.id, limit);
    }
    QList<BackupRecord> records = history.records(destination.id);
    if (!anyRunning(records))
        return records;
    finishInterruptedRuns(destination, history, lockDirectory);
    return history.records(destination.id);
}

bool BackupRunner::cancelRunsInProgress(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(executing().mutex);
    for (std::stop_source *stop : std::as_const(executing().stops))
        stop->request_stop();
    return executing().ended.wait_for(lock, timeout, [] { return executing().stops.isEmpty(); });
}

void BackupRunner::finishInterruptedRuns(const Destination &destination, const BackupHistory &history,
    const std::optional<QString> &lockDirectory, std::stop_token stop)
{
    std::unique_ptr<FileLock> lock;
    try {
        lock = FileLock::repository(destination.repository, lockDirectory.value_or(QString()),
            QStringLiteral("a look for an interrupted backup's snapshot"));
    } catch (const std::exception &) {
        return; // a run holds the repository: its record is live
    }
    finishInterrupted(
        history, destination,
        [&] {
            const ResticEngine engine
                = ResticEngine(std::nullopt, lockDirectory).holdingLock(destination.repository, *lock);
            return snapshotsWithin(
                engine, withDefaults({}).environmentProvider(destination), std::chrono::seconds(60), stop);
        },
        stop);
}

bool BackupRunner::mayBeRunning(const Destination &destination, const std::optional<QString> &lockDirectory)
{
    const QString path = FileLock::repositoryLockPath(destination.repository, lockDirectory.value_or(QString()));
    // Held here, it is no other process's: only a run of this process is live then (a look for
    // an interrupted run's snapshot holds it too, the instant it takes it included).
    return FileLock::heldFor(path, [](const QString &work) { return work == repositoryWork; });
}

std::optional<QUuid> BackupRunner::recordID() const
{
    if (!m_record)
        return std::nullopt;
    return m_record->id;
}

bool BackupRunner::isBusy() const
{
    return m_state.phase == Phase::scanning || m_state.phase == Phase::running || m_state.phase == Phase::pruning;
}

std::shared_ptr<BackupRunner::Job> BackupRunner::start(const Destination &destination, bool onOwnThread)
{
    const quint64 generation = ++m_generation;

    // reset(): the previous run's progress goes; its record stays until the new run builds one.
    Update reset;
    reset.state.phase = Phase::scanning;
    reset.usingFullDiskAccess = m_usingFullDiskAccess;
    reset.record = m_record;
    apply(generation, reset);

    Job::Deliver deliver;
    if (onOwnThread) {
        deliver = [this, generation](Update &&update) { apply(generation, update); };
    } else {
        // Through the runner's event loop, and only while the runner lives.
        deliver = [receiver = m_receiver, generation](Update &&update) {
            receiver->post(
                [generation, update = std::move(update)](BackupRunner *runner) { runner->apply(generation, update); });
        };
    }
    return std::make_shared<Job>(*this, destination, std::move(deliver));
}

void BackupRunner::run(const Destination &destination)
{
    if (isBusy())
        return;
    std::shared_ptr<Job> job = start(destination, false);
    m_stop = std::stop_source();
    try {
        // The run goes on after the window closes, until the application ends it. The list of
        // runs is made before the threads' pool, so it is destroyed after the pool joined them.
        executing();
        Workers::beyondViews().start(m_stop.get_token(), [job](std::stop_token stop) { job->execute(stop); });
    } catch (const std::system_error &error) {
        // No thread, no run: end it here as a failure that was never recorded.
        Update update;
        update.state = m_state;
        update.state.issues.clear();
        update.state.skippedProtected.clear();
        update.state.phase = Phase::failed;
        update.state.failureMessage
            = QStringLiteral("Could not start the backup: ") + QString::fromLocal8Bit(error.what());
        update.usingFullDiskAccess = m_usingFullDiskAccess;
        update.record = m_record;
        update.ended = true;
        apply(m_generation, update);
    }
}

void BackupRunner::cancel()
{
    if (isBusy())
        m_stop.request_stop();
}

std::optional<QUuid> BackupRunner::runAndWait(const Destination &destination, std::stop_token stop)
{
    if (isBusy())
        return std::nullopt;
    std::shared_ptr<Job> job = start(destination, QThread::currentThread() == thread());
    job->execute(stop);
    return job->recordID();
}

void BackupRunner::apply(quint64 generation, const Update &update)
{
    if (generation != m_generation)
        return;
    const BackupRunState &next = update.state;
    const bool wasBusy = isBusy();

    if (m_usingFullDiskAccess != update.usingFullDiskAccess) {
        m_usingFullDiskAccess = update.usingFullDiskAccess;
        Q_EMIT usingFullDiskAccessChanged();
    }
    if (m_record != update.record) {
        m_record = update.record;
        Q_EMIT recordChanged();
    }

    auto set = [this](auto &property, const auto &value, void (BackupRunner::*signal)()) {
        if (property == value)
            return;
        property = value;
        Q_EMIT(this->*signal)();
    };
    set(m_state.phase, next.phase, &BackupRunner::phaseChanged);
    set(m_state.percent, next.percent, &BackupRunner::percentChanged);
    set(m_state.filesDone, next.filesDone, &BackupRunner::filesDoneChanged);
    set(m_state.totalFiles, next.totalFiles, &BackupRunner::totalFilesChanged);
    set(m_state.bytesDone, next.bytesDone, &BackupRunner::bytesDoneChanged);
    set(m_state.totalBytes, next.totalBytes, &BackupRunner::totalBytesChanged);
    set(m_state.currentFile, next.currentFile, &BackupRunner::currentFileChanged);
    set(m_state.summary, next.summary, &BackupRunner::summaryChanged);
    set(m_state.failureMessage, next.failureMessage, &BackupRunner::failureMessageChanged);
    set(m_state.pruneMessage, next.pruneMessage, &BackupRunner::pruneMessageChanged);

    auto extend = [this](QStringList &list, qsizetype from, const QStringList &added, void (BackupRunner::*signal)()) {
        if (added.isEmpty() && list.size() == from)
            return;
        if (list.size() != from)
            list = list.mid(0, from);
        list.append(added);
        Q_EMIT(this->*signal)();
    };
    extend(m_state.issues, update.issuesFrom, next.issues, &BackupRunner::issuesChanged);
    extend(m_state.skippedProtected, update.skippedFrom, next.skippedProtected, &BackupRunner::skippedProtectedChanged);

    if (wasBusy != isBusy())
        Q_EMIT busyChanged();
    if (update.ended)
        Q_EMIT runEnded();
}

} // namespace vellmir
