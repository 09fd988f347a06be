#pragma once

#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "engine/ResticEngine.h"
#include "engine/Snapshot.h"
#include "operations/RepositoryHealthStore.h"
#include "util/Receiver.h"

#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

// The final counts of a restore.
struct RestoreSummary {
    qint64 filesRestored = 0;
    qint64 totalFiles = 0;
    qint64 bytesRestored = 0;
    qint64 totalBytes = 0;

    friend bool operator==(const RestoreSummary &, const RestoreSummary &) = default;
};

// Carries one restore from start to outcome: a whole snapshot, or one path of it, goes into a
// new folder "Vellmir Restore <UUID> (unfinished)" (unfinishedMark()) inside the chosen target,
// restic never overwrites and verifies what it wrote, and a finished restore takes the folder's
// final name "Vellmir Restore <UUID>" and is recorded in the repository's health.
// A restore that wrote no file fails instead (its folder goes when it holds nothing) and
// records nothing; the final file counts are the regular files it wrote.
//
// Lives on one thread (the GUI thread, or the main thread of a headless mode); every property
// changes there, and each change signal fires only when the value really changed. run()
// does the work on a worker thread and posts the progress back, counting the files to restore
// first (restic's own counts take in folders) so that its progress counts what its result
// counts; execute() does the same work, without that count, on the calling thread for owners
// without an event loop, which show no progress.
class RestoreRunner : public QObject {
    Q_OBJECT

public:
    enum class Phase { idle, running, finished, failed };

    // The name every restore folder starts with, followed by a UUID.
    static QString folderPrefix();

    RestoreRunner(ResticEngine engine, CredentialsStore credentials, RepositoryHealthStore healthStore,
        QObject *parent = nullptr);
    // A restore that run() started goes on to its end, its record included; only what it
    // would have shown is dropped. cancel() first to stop it.
    ~RestoreRunner() override;

    Phase phase() const { return m_state.phase; }
    double percent() const { return m_state.percent; }
    qint64 filesRestored() const { return m_state.filesRestored; }
    qint64 totalFiles() const { return m_state.totalFiles; }
    qint64 bytesRestored() const { return m_state.bytesRestored; }
    qint64 totalBytes() const { return m_state.totalBytes; }
    const std::optional<RestoreSummary> &summary() const { return m_state.summary; }
    const std::optional<QString> &failureMessage() const { return m_state.failureMessage; }
    // The new folder: under its unfinished name until the restore is verified, then its final one.
    const std::optional<QString> &restoredPath() const { return m_state.restoredPath; }
    // The restore failed because nothing in the snapshot matched the path it was asked for.
    bool matchedNothing() const { return m_state.matchedNothing; }

    // Back to the idle state; does not touch a running task.
    void reset();
    // Starts a restore and returns at once; does nothing while one is running. `target` is
    // the folder the new restore folder goes into; no `include` restores the whole snapshot.
    void run(const Snapshot &snapshot, const Destination &destination, const QString &target,
        const std::optional<QString> &include = std::nullopt);
    // Cancels the restore run() started: restic is stopped, the phase returns to idle and the
    // partly filled folder stays.
    void cancel();
    // Performs the restore on the calling thread and leaves its outcome in the properties;
    // throws nothing. Marks the runner running first when it is not already (an owner that
    // calls this directly resets the runner before). A stop request cancels as cancel() does.
    void execute(const Snapshot &snapshot, const Destination &destination, const QString &target,
        const std::optional<QString> &include = std::nullopt, std::stop_token stop = {});

Q_SIGNALS:
    void phaseChanged();
    void percentChanged();
    void filesRestoredChanged();
    void totalFilesChanged();
    void bytesRestoredChanged();
    void totalBytesChanged();
    void summaryChanged();
    void failureMessageChanged();
    void restoredPathChanged();

public:
    // Everything the properties show, so that a worker can build it up and hand it over whole.
    struct State {
        Phase phase = Phase::idle;
        double percent = 0;
        qint64 filesRestored = 0;
        qint64 totalFiles = 0;
        qint64 bytesRestored = 0;
        qint64 totalBytes = 0;
        std::optional<RestoreSummary> summary;
        std::optional<QString> failureMessage;
        std::optional<QString> restoredPath;
        bool matchedNothing = false;

        friend bool operator==(const State &, const State &) = default;
    };

private:
    // Takes over a new state, then signals each property that changed, so that every
    // handler already sees the whole new state.
    void apply(const State &next);

    ResticEngine m_engine;
    CredentialsStore m_credentials;
    RepositoryHealthStore m_healthStore;
    State m_state;

    // Tells the posts of an earlier worker apart from the current one's.
    quint64 m_generation = 0;
    std::stop_source m_stop; // of the restore run() started last
    std::shared_ptr<Receiver<RestoreRunner>> m_receiver;
};

} // namespace vellmir
