#pragma once

#include "config/Destination.h"
#include "engine/ResticCommand.h"
#include "engine/Snapshot.h"
#include "engine/SnapshotEntry.h"

#include <QByteArrayList>
#include <QByteArrayView>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>

namespace vellmir {

class FileLock;

// The variables restic needs for one repository (CredentialsStore::resticEnvironment builds
// them). An empty map means no repository.
using ResticEnvironment = QMap<QString, QString>;

// One event of a restic run: a line of the child's standard output or standard error (without
// its line feed; a carriage return stays), or the end of the run with its exit status.
struct ResticStreamEvent {
    enum class Type { stdoutLine, stderrLine, finished };

    Type type = Type::finished;
    QString line; // stdoutLine, stderrLine
    int status = 0; // finished

    static ResticStreamEvent stdoutLine(QString text) { return { Type::stdoutLine, std::move(text), 0 }; }
    static ResticStreamEvent stderrLine(QString text) { return { Type::stderrLine, std::move(text), 0 }; }
    static ResticStreamEvent finished(int exitStatus) { return { Type::finished, {}, exitStatus }; }

    bool operator==(const ResticStreamEvent &) const = default;
};

// An event of a restic run as streamBytes() hands it over, before any text is made: a line's
// bytes as restic wrote them (UTF-8 as a rule, without the line feed), valid only for the
// duration of the call, so a handler that keeps a line copies it or makes its text.
struct ResticStreamBytes {
    ResticStreamEvent::Type type = ResticStreamEvent::Type::finished;
    QByteArrayView line; // stdoutLine, stderrLine
    int status = 0; // finished

    // The line as stream() delivers it: invalid UTF-8 replaced with U+FFFD.
    QString text() const { return QString::fromUtf8(line); }
};

// The collected result of ResticEngine::run.
struct ResticResult {
    int exitCode = -1; // -1 when no exit status arrived
    QString stdout; // every standard-output line, each followed by "\n"
    QString stderr; // every standard-error line, each followed by "\n"

    bool operator==(const ResticResult &) const = default;
};

// The only component that starts restic. Each run executes one command line as a child that
// leads its own process group, with stdin from /dev/null, a scrubbed environment and, when
// the environment names a repository, that repository's lock held (never waited for) from
// before the launch until the child has exited and its output is drained.
//
// Engines hold no mutable state: one engine may serve runs on several threads at once.
class ResticEngine final {
public:
    using EventHandler = std::function<void(const ResticStreamEvent &)>;
    using BytesHandler = std::function<void(const ResticStreamBytes &)>;

    // `binary`: the restic executable to run, used as given; when absent, restic is looked
    // for beside the running executable, then in fallbackPaths(). `lockDirectory`: the folder
    // of repository lock files; when absent, the application's "locks" folder.
    explicit ResticEngine(
        std::optional<QString> binary = std::nullopt, std::optional<QString> lockDirectory = std::nullopt);
    // For tests: `searchPaths` replaces the places looked at when no binary is given.
    ResticEngine(std::optional<QString> binary, std::optional<QString> lockDirectory, QStringList searchPaths);

    const std::optional<QString> &binary() const { return m_binary; }
    const std::optional<QString> &lockDirectory() const { return m_lockDirectory; }

    static QStringList fallbackPaths(); // "/usr/local/bin/restic", "/usr/bin/restic"
    // Where restic is looked for when no binary is given, in order: a "restic" beside the
    // running executable, then fallbackPaths(). The first executable file wins.
    static QStringList defaultSearchPaths();
    // "--retry-lock", "1m", for ResticCommand::lockWait(): rides out another computer's short
    // hold on the repository. Never longer: the wait happens while this run holds the
    // repository's own lock.
    static QStringList lockRetry();
    // restic's exit status when it could not lock the repository.
    static constexpr int lockRefusedStatus = 11;

    // Runs restic and blocks until the run is over, handing every event to `onEvent` on the
    // calling thread, in arrival order, with `finished` last and exactly once. Never throws
    // for a failed run: a missing executable ("restic not found"), a busy repository, a
    // failed launch or a cancel before launch arrive as one stderr line and finished(-1).
    // Output is read on a helper thread into an unbounded queue, so a slow handler never
    // stalls restic. A stop request sends SIGTERM to restic, then SIGKILL to its process group
    // once it has exited or ResticProcess::killDelay later; one made before the launch prevents it.
    // A run that restic refuses because the repository is locked (lockRefusedStatus) is
    // followed by "restic unlock", which removes only stale locks (of this computer's dead
    // restic, or 30 minutes old), and one more attempt; the events of the refused attempt are
    // not delivered. Only that second attempt waits for the lock as the command's lockWait() asks.
    // A death by signal N finishes with 128 + N. If `onEvent` throws, the run is cancelled,
    // drained without further events, and the exception is rethrown (no `finished`).
    // A repository that restic keeps retrying to reach, with no success in between, for
    // retryBound() (a refused connection, a server that does not answer), or for a reason no
    // retry mends (an untrusted certificate, a missing bucket) at once, ends the run the same
    // way with ResticError: restic's last reason, and for the first kind "(restic was still
    // retrying after 60 seconds)". Work that reaches the repository, however long, goes on.
    void stream(const ResticCommand &command, const ResticEnvironment &environment, std::stop_token stop,
        const EventHandler &onEvent) const;
    // stream() without a string per line: each line is a view into the read buffer, for
    // handlers that parse lines in place or skip most of them. Same events, order and rules.
    void streamBytes(const ResticCommand &command, const ResticEnvironment &environment, std::stop_token stop,
        const BytesHandler &onEvent) const;

    // stream() collected into a record, with each standard error line also handed to
    // `onStderr` as it arrives. A non-zero status is not an error here. Throws
    // CancellationError when `stop` was requested.
    ResticResult run(const ResticCommand &command, const ResticEnvironment &environment = {}, std::stop_token stop = {},
        const std::function<void(const QString &)> &onStderr = {}) const;

    // How long restic may go on retrying a repository it cannot reach (see stream()).
    std::chrono::milliseconds retryBound() const { return m_retryBound; }
    ResticEngine withRetryBound(std::chrono::milliseconds bound) const;
    static constexpr std::chrono::milliseconds defaultRetryBound { 60000 };
    // Whether restic's reason for a retry says the S3 bucket does not exist (yet).
    static bool missingBucket(const QString &reason);

    // The output of "restic version" (trimmed stdout, else trimmed stderr), so
    // "restic not found" when there is no restic. Throws CancellationError when stopped.
    QString version(std::stop_token stop = {}) const;

    // One line of restic's standard error as the user should read it: the message of a JSON
    // error object, ssh's refusals for want of a prompt in our words, any other line unchanged.
    static QString errorText(const QString &line);
    // The message for a failed run: restic's trimmed standard error, or "restic exited with
    // code N" when it printed nothing there.
    static QString cleanError(const QString &standardError, int exitCode);

    // Repository operations. Each is one run(), so it holds the repository's lock and fails at
    // once when another operation has it. Those that throw raise ResticError with restic's
    // cleaned error, and CancellationError when `stop` was requested.

    // Every host's snapshots, newest first (equal times keep restic's order). A JSON syntax
    // error in restic's answer is thrown as a JsonError. A backend that restic is still
    // retrying after `retryBound` ends the run as in stream(), with restic's last reason.
    QList<Snapshot> listSnapshots(const ResticEnvironment &environment, std::stop_token stop = {},
        std::chrono::milliseconds retryBound = defaultRetryBound) const;
    // Whether the repository answers and how many snapshots it holds; restic's status 10, and
    // an S3 bucket that does not exist, are notInitialized. Never throws: every failure, a cancel
    // included, is `failed`, a backend restic is still retrying after `retryBound` too (see
    // stream()). A slow answer without retries is waited for.
    ConnectionStatus probe(const ResticEnvironment &environment, std::stop_token stop = {},
        std::chrono::milliseconds retryBound = defaultRetryBound) const noexcept;
    // Creates the repository with the environment's RESTIC_PASSWORD; ok(0) on success. Never throws.
    ConnectionStatus initialize(const ResticEnvironment &environment, std::stop_token stop = {}) const noexcept;
    // A dry-run backup of `sources` (each after "--") without the `excludes` patterns ("~"
    // expanded), read from its last summary line. Any non-zero status throws, 3 included.
    BackupEstimate estimateBackupSize(const QStringList &sources, const QStringList &excludes,
        const ResticEnvironment &environment, std::stop_token stop = {}) const;
    // Forgets this computer's snapshots (one "--host" per MachineIdentity::knownHostnames())
    // beyond `policy`, pruning when `prune` is set; `dryRun` only counts and wins over `prune`.
    // Returns the number of snapshots removed or that would be. A policy keeping nothing is
    // refused before restic runs.
    int applyRetention(const Destination::RetentionPolicy &policy, bool prune, bool dryRun,
        const ResticEnvironment &environment, std::stop_token stop = {}) const;
    // The full ids of the snapshots a dry run of applyRetention() would remove now.
    QStringList retentionRemovals(const Destination::RetentionPolicy &policy, const ResticEnvironment &environment,
        std::stop_token stop = {}) const;
    // Forgets exactly the snapshots `counted` names (as retentionRemovals() gave them), pruning
    // when `prune` is set, and returns how many. Under the repository's lock it first counts
    // again: when `policy` no longer removes every counted snapshot, nothing is removed and
    // ResticError says so. Snapshots the policy removes beyond them stay for a later count.
    // With none counted, `prune` prunes alone.
    int forgetCounted(const Destination::RetentionPolicy &policy, const QStringList &counted, bool prune,
        const ResticEnvironment &environment, std::stop_token stop = {}) const;

    // The entries of `directory` (absolute) in `snapshot`, or with `recursive` everything below
    // it; a non-empty `search` lists recursively and keeps the paths that contain it, ignoring
    // case. At most 1,000 entries, the first in restic's order, then sorted folders first and in
    // natural order. The folder itself is never an entry. `snapshot` may be anything restic takes
    // for one (an id, a prefix of one, "latest"); `listed`, when given, receives the snapshot
    // restic listed, as the first line of its answer names it. Paths keep every byte of a name
    // that is not UTF-8 as LocalPath has them (a second, plain listing supplies those bytes),
    // so an entry's path names it again in a later listing or restore. Throws ResticError with
    // restic's last error line, or CancellationError.
    QList<SnapshotEntry> browse(const QString &snapshot, const QString &directory, const QString &search,
        bool recursive, const ResticEnvironment &environment, std::stop_token stop = {},
        Snapshot *listed = nullptr) const;
    // A restic include pattern matching exactly this absolute snapshot path (bytes that are not
    // UTF-8 kept as LocalPath has them). Throws ResticError for a relative path or a ".." component.
    static QString literalInclude(const QString &path);
    // Why restic must not be started for `repository`, or nullopt. An SFTP address whose host
    // or user begins with "-" would reach ssh as an option (say -oProxyCommand=...), so no
    // run starts for it, whatever component asked.
    static std::optional<QString> repositoryRefusal(const QString &repository);

    // A copy of this engine for a caller that holds `repository`'s lock (FileLock::repository
    // in lockDirectory()) around several runs: its runs against that repository take no lock
    // of their own, which would find the caller's and fail as busy. Runs against any other
    // repository lock as usual. `lock` is the caller's hold, which its restic runs keep open.
    ResticEngine holdingLock(const QString &repository, const FileLock &lock) const;

    // The executable a run would start, or nullopt when there is none.
    std::optional<QString> locateBinary() const;
    // The oldest restic release whose flags and answers the engine relies on: "0.17". A restic
    // that was looked for (no binary given) and reports an older release in "restic version"
    // is not run: every run finishes(-1) with a sentence naming both releases.
    static QString minimumRelease();

    // The child's whole environment as "NAME=value" entries: this process's variables
    // without RESTIC_* (but for restic's TLS settings RESTIC_CACERT and RESTIC_TLS_CLIENT_CERT),
    // AWS_* and B2_*, overlaid with `environment`.
    static QByteArrayList childEnvironment(const ResticEnvironment &environment);

private:
    // streamBytes() without the bound on restic's retries.
    void streamUnbounded(const ResticCommand &command, const ResticEnvironment &environment, std::stop_token stop,
        const BytesHandler &onEvent) const;
    // Forget by `policy`; the ids removed, or that would be on a dry run.
    QStringList retentionRun(const Destination::RetentionPolicy &policy, bool prune, bool dryRun,
        const ResticEnvironment &environment, std::stop_token stop) const;
    // Why the located `program` must not be run (too old a release), asked once per process
    // and file; nullopt when it may. Throws CancellationError when `stop` was requested.
    std::optional<QString> releaseProblem(const QString &program, std::stop_token stop) const;
    // Why no restic may run for this environment (a repository refused, no restic, one too old),
    // or nullopt with `program` set to the restic to run.
    std::optional<QString> launchRefusal(
        const ResticEnvironment &environment, std::stop_token stop, QString &program) const;

    std::optional<QString> m_binary;
    std::optional<QString> m_lockDirectory;
    std::optional<QStringList> m_searchPaths;
    std::optional<QString> m_heldLockPath; // the lock file the caller holds
    int m_heldLockDescriptor = -1; // and the caller's descriptor of it
    std::chrono::milliseconds m_retryBound = defaultRetryBound;
};

} // namespace vellmir
