#include "operations/ScheduledBackup.h"

#include "config/DestinationStore.h"
#include "config/FileLock.h"
#include "engine/ResticEngine.h"
#include "operations/BackupHistory.h"
#include "operations/BackupPolicy.h"
#include "operations/BackupRunner.h"
#include "operations/RepositoryHealthStore.h"
#include "platform/KeyringStore.h"
#include "util/AppPaths.h"

#include <algorithm>
#include <utility>

namespace vellmir {

namespace {

// The pass as it runs for the user: the application's own folders, the keyring, restic
// found the usual way, and notifications on the desktop.
class SystemServices final : public ScheduledBackup::Services {
public:
    explicit SystemServices(std::stop_token stop)
        : m_stop(std::move(stop))
        , m_credentials(std::make_shared<KeyringStore>())
        // The pass reads the store before it starts (reloadStore); reading it at creation too
        // would repeat the seal check's keyring reads, and wait out an unresponsive keyring twice.
        , m_store(DestinationStore::Unread {}, m_credentials)
        , m_health(m_credentials)
    {
    }

    ScheduledBackup::StoreState reloadStore() override
    {
        m_store.reload();
        m_passRecords.reset();
        return currentStore();
    }

    ScheduledBackup::StoreState currentStore() override
    {
        return { m_store.destinations(), m_store.fromAnotherComputer(), m_store.integrity().isValid(),
            m_store.nothingTrusted() };
    }

    std::unique_ptr<FileLock> takeSchedulerLock() override
    {
        return std::make_unique<FileLock>(AppPaths::schedulerLockFile(), false);
    }

    bool isDue(const Destination &destination, Date now) override
    {
        if (destination.schedule == Destination::Schedule::manual)
            return false;
        return BackupHistory::isDue(destination, passRecords().value(destination.id), now);
    }

    std::optional<QString> deferReason(const Destination &destination) override
    {
        return BackupPolicy::standard().deferReason(destination);
    }

    ScheduledBackup::RunResult runBackup(const Destination &destination) override
    {
        m_passRecords.reset();
        BackupRunner runner(ResticEngine(), m_history);
        ScheduledBackup::RunResult result;
        result.recordID = runner.runAndWait(destination, m_stop);
        result.failed = runner.phase() == BackupRunner::Phase::failed;
        result.finished = runner.phase() == BackupRunner::Phase::finished;
        result.issues = runner.issues();
        result.failureMessage = runner.failureMessage().value_or(QString());
        return result;
    }

    // Only a destination with a record still "running" needs its repository's lock and a
    // second look at its records.
    void finishInterruptedRuns(const Destination &destination) override
    {
        try {
            const QList<BackupRecord> records = passRecords().value(destination.id);
            if (std::none_of(records.cbegin(), records.cend(),
                    [](const BackupRecord &record) { return record.outcome == BackupRecord::Outcome::running; }))
                return;
        } catch (const std::exception &) {
            // An unreadable history is the due rules' to report; the runner's own look decides.
        }
        BackupRunner::finishInterruptedRuns(destination, m_history);
        m_passRecords.reset();
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
        std::optional<BackupRecord> record = m_history.record(recordID);
        if (record && record->destinationID != destinationID)
            record.reset();
        return record;
    }

    void notify(const NotificationContent &content) override { BackupNotifications::standard().send(content); }

    Date now() override { return Date::now(); }

private:
    std::stop_token m_stop;
    // What the due rules need of the records of every destination of the store, from the history
    // index, so a pass that runs nothing decodes no record however long the history.
    // Read again after anything this pass wrote. Throws Error.
    const QHash<QUuid, QList<BackupRecord>> &passRecords()
    {
        if (!m_passRecords)
            m_passRecords = m_history.outlines(m_store.destinations());
        return *m_passRecords;
    }

    CredentialsStore m_credentials;
    DestinationStore m_store;
    BackupHistory m_history;
    RepositoryHealthStore m_health;
    std::optional<QHash<QUuid, QList<BackupRecord>>> m_passRecords;
};

} // namespace

std::unique_ptr<ScheduledBackup::Services> ScheduledBackup::systemServices(std::stop_token stop)
{
    return std::make_unique<SystemServices>(std::move(stop));
}

} // namespace vellmir
