#pragma once

#include "config/Destination.h"
#include "engine/ResticEngine.h"
#include "operations/BackupHistory.h"
#include "operations/BackupNotifications.h"
#include "operations/BackupOutput.h"
#include "operations/BackupRecord.h"
#include "util/Receiver.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

class KeepAwake;

// Carries one backup of one destination from its start to its recorded outcome: keeps the
// machine awake, takes the repository's lock for the whole run (failing at once, without a
// record, when it is busy), writes a "running" history record before restic starts, removes
// stale restic locks, runs "restic backup --json", shows restic's progress, classifies the
// exit, applies the destination's retention after a complete backup, rewrites the record and
// posts a notification when the result needs the user's attention.
//
// The runner is an observable object of the thread it lives on. run() does the work on a
// thread of its own and brings every change back to the runner's thread; runAndWait() does
// the same work on the calling thread, which needs no event loop. A run goes on to its end,
// record and notification included, even when the runner is destroyed first. Failures never
// throw: they end in phase(), failureMessage(), pruneMessage() and the record.
class BackupRunner : public QObject {
    Q_OBJECT

public:
    using Phase = BackupRunState::Phase;
    // restic's environment for a destination; throws an Error carrying the reason.
    using EnvironmentProvider = std::function<ResticEnvironment(const Destination &)>;

    // What a runner uses besides restic and the history folder. An empty member takes the
    // system's own: the credentials in the keyring, FileAccessStatus::isGranted(), the user's
    // FullDiskAccessPreference, BackupNotifications::standard() and logind's sleep inhibitor.
    // The functions run on the thread that does the work, so they must be safe there.
    struct Services {
        EnvironmentProvider environmentProvider;
        std::function<bool()> accessCheck; // whether Full Disk Access is in effect
        std::function<bool()> fullDiskAccessWanted; // whether the user backs up protected app data
        std::function<void(const NotificationContent &)> notify;
        std::shared_ptr<KeepAwake> keepAwake;
    };

    BackupRunner(ResticEngine engine, BackupHistory history, Services services = {}, QObject *parent = nullptr);
    ~BackupRunner() override;

    Phase phase() const { return m_state.phase; }
    double percent() const { return m_state.percent; }
    qint64 filesDone() const { return m_state.filesDone; }
    qint64 totalFiles() const { return m_state.totalFiles; }
    qint64 bytesDone() const { return m_state.bytesDone; }
    qint64 totalBytes() const { return m_state.totalBytes; }
    const QString &currentFile() const { return m_state.currentFile; }
    const QStringList &issues() const { return m_state.issues; }
    const QStringList &skippedProtected() const { return m_state.skippedProtected; }
    const std::optional<BackupSummary> &summary() const { return m_state.summary; }
    const std::optional<QString> &failureMessage() const { return m_state.failureMessage; }
    const std::optional<QString> &pruneMessage() const { return m_state.pruneMessage; }
    // Whether the current or last run backs up protected app data, as read at its start.
    bool usingFullDiskAccess() const { return m_usingFullDiskAccess; }
    // The history record of the current or last run: as written at its start while it runs,
    // then as saved at its end (unchanged when that save failed); nullopt before the first run.
    const std::optional<BackupRecord> &record() const { return m_record; }
    std::optional<QUuid> recordID() const;

    // Where this runner's runs take the repository lock (the engine's; absent: the default).
    const std::optional<QString> &lockDirectory() const { return m_engine.lockDirectory(); }

    // True while scanning, running or pruning.
    bool isBusy() const;

    // Starts a backup and returns at once. While a run is busy, does nothing.
    void run(const Destination &destination);
    // Stops the run that run() started: restic is stopped and the run is recorded as
    // "cancelled", unless restic had already named its snapshot: that backup exists, so the
    // run ends complete or incomplete, leaving retention to the next run. Does nothing when
    // no such run is busy.
    void cancel();
    // Runs a backup on the calling thread and returns once its outcome is recorded and any
    // notification handed over. `stop` cancels it as cancel() does. Returns the id of the history record of this run,
    // or nullopt when another run was busy and nothing started, or when the run failed before it had a record (a busy
    // repository among those: such a run never started). Called on the runner's own
    // thread, the runner's state follows the run as it goes; from another thread it arrives through the event loop.
    std::optional<QUuid> runAndWait(const Destination &destination, std::stop_token stop = {});

    // Runs of any runner in this process that have not ended yet, those whose runner is gone
    // included: quitting now would leave their records saying "running".
    static int runsInProgress();
    // Cancels every run of this process the way cancel() does, whichever runner or token
    // started it, and waits up to `timeout` for their outcomes to be recorded. False when some
    // run had not ended by then.
    static bool cancelRunsInProgress(std::chrono::milliseconds timeout);

    // Records of the destination left saying "running" by a process that died during the run,
    // or whose final record could not be written, become "complete" with the snapshot restic
    // saved for the run when the repository holds one (asked for at most a minute), else
    // "failed" with interruptedMessage. Does nothing while a run holds the repository
    // (its lock in `lockDirectory`, the application's "locks" folder when absent). Every run
    // does the same for its own destination once it holds the repository. Never throws. It runs
    // restic: the window calls it on a worker, whose `stop` ends it and leaves the records as they are.
    static void finishInterruptedRuns(const Destination &destination, const BackupHistory &history,
        const std::optional<QString> &lockDirectory = std::nullopt, std::stop_token stop = {});
    // Whether a record of the destination that says "running" may stand for a live run: a live
    // process took its repository's lock, as every run does from its first record write to its
    // last. Asked without taking the lock, and without restic, so a view may ask it at once.
    static bool mayBeRunning(
        const Destination &destination, const std::optional<QString> &lockDirectory = std::nullopt);
    // The destination's records, newest first, as a listing should show them: those a dead
    // process left "running" are first finished by finishInterruptedRuns(). Only a listing
    // that holds a "running" record looks at the lock. Throws as BackupHistory::records() does.
    // With a `limit` of 0 or more, only that many newest records are read (BackupHistory::newest).
    static QList<BackupRecord> listRecords(const Destination &destination, const BackupHistory &history,
        const std::optional<QString> &lockDirectory = std::nullopt, qsizetype limit = -1);
    static inline const QString interruptedMessage
        = QStringLiteral("The backup was interrupted: Vellmir stopped before the run could finish.");

    // The record keeps at most this many protected-data skips; the runner lists all of them.
    static constexpr int maximumRecordedSkips = 200;
    static inline const QString activityReason = QStringLiteral("Finishing an encrypted backup");
    // The work a run names for the repository lock it holds.
    static inline const QString repositoryWork = QStringLiteral("a backup");

Q_SIGNALS:
    void phaseChanged();
    void busyChanged();
    void percentChanged();
    void filesDoneChanged();
    void totalFilesChanged();
    void bytesDoneChanged();
    void totalBytesChanged();
    void currentFileChanged();
    void issuesChanged();
    void skippedProtectedChanged();
    void summaryChanged();
    void failureMessageChanged();
    void pruneMessageChanged();
    void usingFullDiskAccessChanged();
    void recordChanged();
    // A run has recorded its outcome and handed over any notification.
    void runEnded();

private:
    class Job;
    struct Update;

    // Steps 1 to 3 of every start, on the runner's thread: reset and enter scanning. The job
    // delivers its changes directly when it runs on the runner's thread, else through events.
    std::shared_ptr<Job> start(const Destination &destination, bool onOwnThread);
    void apply(quint64 generation, const Update &update);

    ResticEngine m_engine;
    BackupHistory m_history;
    Services m_services;

    BackupRunState m_state;
    bool m_usingFullDiskAccess = false;
    std::optional<BackupRecord> m_record;
    // Each start counts up, so that late news of an earlier run never touches a newer one.
    quint64 m_generation = 0;
    // Cancels the latest run() (runAndWait() takes its own stop token).
    std::stop_source m_stop;
    std::shared_ptr<Receiver<BackupRunner>> m_receiver;
};

} // namespace vellmir
