#pragma once

#include "agent/AgentApproval.h"
#include "agent/AgentAuditLog.h"
#include "agent/AgentError.h"
#include "agent/AgentKeptState.h"
#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "config/DestinationStore.h"
#include "engine/ResticEngine.h"
#include "engine/Snapshot.h"
#include "operations/BackupHistory.h"
#include "operations/BackupRecord.h"
#include "operations/BackupRequests.h"
#include "operations/BackupRunner.h"
#include "operations/RepositoryHealth.h"
#include "operations/RepositoryHealthStore.h"
#include "platform/AgentService.h"
#include "util/Date.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

class AgentParameters;

// While one lives, the command on this thread waits for the user's answer rather than for
// work, and whoever runs commands may start another one meanwhile.
class WaitingForUser {
public:
    WaitingForUser();
    ~WaitingForUser();
    WaitingForUser(const WaitingForUser &) = delete;
    WaitingForUser &operator=(const WaitingForUser &) = delete;
    // Whom this thread tells: true as a wait starts, false as it ends.
    static void setObserver(std::function<void(bool)> observer);
};

// Runs agent commands inside the calling process over the same files and keyring as the
// windowed application; there is no connection to a running copy. Front ends build one per
// command, call run() once and drop it. Every run() reloads the destination store first, so
// each command sees the configuration as it is on disk now (a read command may take it from
// Hooks::kept, which rechecks the files behind it first).
//
// Blocking: run() and the handlers wait for restic and, for change commands, for the user's
// decision. Call them from a thread that may block; `stop` cancels the wait.
class AgentControl {
public:
    // Writes dates for agent replies: ISO 8601, whole seconds, this process's time zone with
    // its offset ("Z" when that zone is UTC).
    class DateFormatter {
    public:
        QString string(Date date) const;
    };

    // Seams to the system. An empty member takes the real service.
    struct Hooks {
        // Starts the background agent now; throws with the reason. Default: requests.kickScheduler().
        std::function<void()> startScheduler;
        // Aligns the scheduler registration with the destinations; a warning, or nullopt when
        // all is well. Default: Scheduler over the user defaults.
        std::function<std::optional<QString>(const QList<Destination> &)> reconcileScheduler;
        // The background agent's registration. Default: the systemd user units.
        std::function<AgentService::Status()> agentStatus;
        // What an in-process backup's runner uses; the environment defaults to `credentials`.
        BackupRunner::Services runnerServices;
        // Whether this process may read protected app data. Default: FileAccessStatus::isGranted().
        std::function<bool()> fullDiskAccess;
        // What a long-running front end keeps between commands; none: every command reads the
        // configuration and asks for the agent's registration afresh.
        std::shared_ptr<AgentKeptState> kept;
    };

    AgentControl(std::shared_ptr<DestinationStore> store, BackupHistory history, CredentialsStore credentials,
        ResticEngine engine, BackupRequests requests, RepositoryHealthStore health,
        std::shared_ptr<AgentApprover> approver, AgentAuditLog audit, Hooks hooks = {});

    // Over the application's own files, the keyring and the default engine; with `kept`, read
    // commands use what it keeps while nothing changed.
    static std::unique_ptr<AgentControl> standard(
        std::shared_ptr<AgentApprover> approver, std::shared_ptr<AgentKeptState> kept = nullptr);

    // run() as both front ends call it, on a standard() control whose approver the factory gives.
    // `kept`: what a long-running front end keeps between commands (Hooks::kept).
    static QJsonObject runCommand(const QString &name, const QJsonObject &arguments, std::stop_token stop,
        std::shared_ptr<AgentKeptState> kept = nullptr);
    // Installed by a process that can show the approval dialog. Without a factory, or when it
    // gives nothing, every request goes unanswered and is reported as timed out.
    static void setApproverFactory(std::function<std::shared_ptr<AgentApprover>()> factory);

    // Whether `reply`, the answer of the command `name`, tells of a backup run that neither
    // completed nor ended incomplete: the front ends report it as a failure (exit status 1, an
    // MCP result flagged "isError"), the reply itself unchanged.
    static bool reportsFailedRun(const QString &name, const QJsonObject &reply);

    // Executes one command and returns its reply. Throws AgentError, or the store's, engine's
    // or keyring's own error unchanged; CancellationError when `stop` ended a wait.
    QJsonObject run(const QString &name, const QJsonObject &arguments, std::stop_token stop = {});

    // The destination the "destination" argument names: an id in any case, else the first
    // name equal ignoring case, else the one destination whose id starts with a key of at
    // least four characters. Throws AgentError::notFound listing the names otherwise.
    Destination resolve(const AgentParameters &parameters) const;
    // Throws a sentence naming why `key` matches nothing trusted, while the seal reports a change
    // and the name awaits review or nothing at all is trusted.
    void refuseUntrusted(const QString &key) const;

    // The destination's restic environment; a failure to build it becomes AgentError::failed.
    ResticEnvironment environment(const Destination &destination) const;

    static const DateFormatter &formatter();
    // Records as reply objects: their own keys, dates written by formatter(). A record that
    // cannot be converted gives an empty object.
    static QJsonObject json(const BackupRecord &record);
    static QJsonObject json(const Destination &destination);
    static QJsonObject json(const RepositoryHealth &health);
    static QJsonObject json(const AgentAuditLog::Entry &entry);
    // "id", "shortID", "time", "host", "paths", "bytes".
    static QJsonObject json(const Snapshot &snapshot);

    // The eight-key summary of a destination, never its credentials.
    QJsonObject destinationSummary(const Destination &destination) const;
    // Agent-typed source folders: trimmed, "~" expanded, absolute, existing, cleaned; in input
    // order, each folder once. Throws AgentError::usage for the first that fails.
    static QStringList folders(const QStringList &paths);
    // A path inside a snapshot, which the table holds absolute and free of "..", as restic lists
    // it: without empty or "." steps and without a closing "/" ("/" itself stays).
    static QString snapshotPath(const QString &path);
    // `existing`, then each addition it lacks, in order (exact text comparison).
    static QStringList merged(const QStringList &existing, const QStringList &additions);
    // The add-destination parameter that carries each secret of a new destination.
    static QString credentialParameter(CredentialRole role);

    // Read commands.
    QJsonObject status();
    QJsonObject destinationDetail(const Destination &destination);
    QJsonObject historyRuns(const Destination &destination, const AgentParameters &parameters) const;
    QJsonObject auditEntries(const AgentParameters &parameters) const;
    QJsonObject snapshots(const Destination &destination, const AgentParameters &parameters, std::stop_token stop = {});
    QJsonObject browse(const Destination &destination, const AgentParameters &parameters, std::stop_token stop = {});
    // "latest", a full id, a short id, or a full-id prefix of at least 8 characters; exactly one
    // snapshot must match, else AgentError::notFound.
    Snapshot findSnapshot(const QString &query, const ResticEnvironment &environment, std::stop_token stop = {});
    // findSnapshot's choice among `list` (newest first).
    static Snapshot matchSnapshot(const QString &query, const QList<Snapshot> &list);
    // Whether `snapshot` holds `path` (absolute, not "/"), of `type` ("dir", "file", ...) when
    // one is given: it is looked for among its parent folder's entries. nullopt when that listing
    // reached the browse limit, where absence cannot be told.
    std::optional<bool> holdsEntry(const Snapshot &snapshot, const QString &path, const QString &type,
        const ResticEnvironment &environment, std::stop_token stop = {});
    // Whether restic, handed the query as it is, picks the snapshot findSnapshot would: for
    // "latest" and for a full id or a prefix of one of at least 8 characters. Its answer then
    // names the snapshot, and no lookup need run first.
    static bool resticTakesQuery(const QString &query);

    // Backup and check commands.
    QJsonObject backup(const Destination &destination, const AgentParameters &parameters, std::stop_token stop = {});
    QJsonObject backupResult(const AgentParameters &parameters);
    QJsonObject backupResult(const BackupRequests::Result &result) const;
    QJsonObject check(const Destination &destination, std::stop_token stop = {});
    QJsonObject retentionPreview(const Destination &destination, std::stop_token stop);

    // Change commands, in AgentControlChanges.cpp. Each asks for approval through perform().
    QJsonObject addDestination(const AgentParameters &parameters, std::stop_token stop = {});
    // Runs restic "init" for the destination about to be added as `name`, refusing a name taken
    // meanwhile; never under the destinations lock.
    void createRepository(
        const QString &name, const QUuid &id, const ResticEnvironment &variables, std::stop_token stop);
    QJsonObject updateDestination(
        const Destination &destination, const AgentParameters &parameters, std::stop_token stop = {});
    QJsonObject removeDestination(const Destination &destination, std::stop_token stop = {});
    QJsonObject restore(const Destination &destination, const AgentParameters &parameters, std::stop_token stop = {});
    // A restore's run: the reply of a finished one without its "snapshot"; AgentError::failed
    // when it did not finish.
    using RestoreRun = std::function<QJsonObject(const ResticEngine &, const Snapshot &)>;
    // A restore approved by the setting, with restic handed the query as it is.
    QJsonObject restoreAtOnce(const Destination &destination, const QString &query, ChangeRequest &request,
        const RestoreRun &restore, const ResticEnvironment &variables, std::stop_token stop);
    QJsonObject applyRetention(
        const Destination &destination, const AgentParameters &parameters, std::stop_token stop = {});

    // Decides `request` (the sealed policy, else the approver), writes its audit line, runs
    // `change` when allowed and tags the reply with "approval". In AgentControlChanges.cpp.
    QJsonObject perform(
        const ChangeRequest &request, const std::function<QJsonObject()> &change, std::stop_token stop = {});

    DestinationStore &store() const { return *m_store; }
    const BackupHistory &history() const { return m_history; }
    const CredentialsStore &credentials() const { return m_credentials; }
    const ResticEngine &engine() const { return m_engine; }
    const BackupRequests &requests() const { return m_requests; }
    const RepositoryHealthStore &health() const { return m_health; }
    AgentApprover &approver() const { return *m_approver; }
    const AgentAuditLog &audit() const { return m_audit; }
    void startScheduler() const { m_hooks.startScheduler(); }
    std::optional<QString> reconcileScheduler(const QList<Destination> &destinations) const
    {
        return m_hooks.reconcileScheduler(destinations);
    }

    // How long a waiting backup sleeps between looks for its result.
    static constexpr int pollSeconds = 2;

private:
    // A destination with an agent's update-destination arguments applied, and the lines that
    // describe the difference.
    struct Update {
        Destination updated;
        QStringList changes;
        QString counts; // each kind of change counted, the start of the question
    };
    Update applyUpdate(const Destination &current, const AgentParameters &parameters) const;
    // Saves the update the user allowed as `asked` on `destination`. When the destination changed
    // meanwhile, the arguments are applied to the stored copy and saved only where that makes
    // exactly the allowed change lines; otherwise nothing is saved and AgentError::failed says
    // why, naming the question when `questionAsked`. Returns the saved destination.
    Destination saveAllowedUpdate(
        const Destination &destination, const AgentParameters &parameters, const Update &asked, bool questionAsked);
    // Throws AgentError::failed while the configuration differs from what Vellmir sealed:
    // every write would be refused, so nothing is asked or started first.
    void refuseOutsideChange() const;

    std::shared_ptr<DestinationStore> m_store;
    BackupHistory m_history;
    CredentialsStore m_credentials;
    ResticEngine m_engine;
    BackupRequests m_requests;
    RepositoryHealthStore m_health;
    std::shared_ptr<AgentApprover> m_approver;
    AgentAuditLog m_audit;
    Hooks m_hooks;
};

} // namespace vellmir
