#include "operations/ScheduledBackup.h"

#include "config/DestinationStore.h"
#include "config/FileLock.h"
#include "config/KeychainStore.h"
#include "engine/ResticEngine.h"
#include "operations/BackupHistory.h"
#include "operations/BackupPolicy.h"
#include "operations/BackupRunner.h"
#include "operations/RepositoryHealthStore.h"
#include "util/AppPaths.h"

#include <utility>

namespace vellmir {

namespace {

// The pass as it runs for the user: the application's own folders, the keyring, restic
// found the usual way, and notifications on the desktop.
class SystemServices final : public ScheduledBackup::Services {
public:
    explicit SystemServices(std::stop_token stop)
        : m_stop(std::move(stop))
        , m_credentials(std::make_shared<KeychainStore>())
        // The pass reads the store before it starts (reloadStore); reading it at creation too
        // would repeat the seal check's keyring reads, and wait out an unresponsive keyring twice.
        , m_store(DestinationStore::Unread {}, m_credentials)
        , m_health(m_credentials)
    {
    }

    ScheduledBackup::StoreState reloadStore() override
    {
        m_store.reload();
        return currentStore();
    }

    ScheduledBackup::StoreState currentStore() override
    {
        return { m_store.destinations(), m_store.fromAnotherMac(), m_store.integrity().isValid(),
            m_store.nothingTrusted() };
    }

    std::unique_ptr<FileLock> takeSchedulerLock() override
    {
        return std::make_unique<FileLock>(AppPaths::schedulerLockFile(), false);
    }

    bool isDue(const Destination &destination, Date now) override { return m_history.isDue(destination, now); }

    std::optional<QString> deferReason(const Destination &destination) override
    {
        return BackupPolicy::standard().deferReason(destination);
    }

    ScheduledBackup::RunResult runBackup(const Destination &destination) override
    {
        BackupRunner runner(ResticEngine(), m_history);
        ScheduledBackup::RunResult result;
        result.recordID = runner.runAndWait(destination, m_stop);
        result.failed = runner.phase() == BackupRunner::Phase::failed;
        result.finished = runner.phase() == BackupRunner::Phase::finished;
        result.issues = runner.issues();
        result.failureMessage = runner.failureMessage().value_or(QString());
        return result;
    }

    void finishInterruptedRuns(const Destination &destination) override
    {
        BackupRunner::finishInterruptedRuns(destination, m_history);
    }

    ScheduledBackup::HealthState loadHealth(const Destination &destination) override
    {
        const RepositoryHealth health = m_health.load(destination);
        ScheduledBackup::HealthState state;
        state.integritySucceeded = health.integritySucceeded;
        state.lastIntegrityCheck = health.lastIntegrityCheck;
        state.lastVerifiedRestore = health.lastVerifiedRestore;
        if (!health.usage.isEmpty())
            state.lastUsageBytes = health.usage.last().bytes;
        return state;
    }

    void check(const Destination &destination) override { m_health.check(destination, ResticEngine(), m_stop); }
    void testRecovery(const Destination &destination) override
    {
        m_health.testRecovery(destination, ResticEngine(), m_stop);
    }
    void measure(const Destination &destination) override { m_health.measure(destination, ResticEngine(), m_stop); }
    bool stopRequested() override { return m_stop.stop_requested(); }

    std::optional<BackupRecord> record(const QUuid &destinationID, const QUuid &recordID) override
    {
        for (const BackupRecord &record : m_history.records(destinationID))
            if (record.id == recordID)
                return record;
        return std::nullopt;
    }

    void notify(const NotificationContent &content) override { BackupNotifications::standard().send(content); }

    Date now() override { return Date::now(); }

private:
    std::stop_token m_stop;
    CredentialsStore m_credentials;
    DestinationStore m_store;
    BackupHistory m_history;
    RepositoryHealthStore m_health;
};

} // namespace

std::unique_ptr<ScheduledBackup::Services> ScheduledBackup::systemServices(std::stop_token stop)
{
    return std::make_unique<SystemServices>(std::move(stop));
}

} // namespace vellmir
