#pragma once

#include "config/Destination.h"
#include "operations/BackupNotifications.h"
#include "operations/BackupRecord.h"
#include "operations/BackupRequests.h"
#include "util/Date.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QUuid>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

class FileLock;

// One headless pass of the scheduler: take the scheduler lock (or leave the work to the pass
// that holds it), announce configuration problems, back up what is due and not deferred, then
// answer the queued requests of agents.
// Everything the pass touches goes through Services, so the decisions can be tested with
// fakes while the real pass wires in the store, runner, policy and health store.
class ScheduledBackup {
public:
    // What the store holds after a reload.
    struct StoreState {
        QList<Destination> destinations;
        bool fromAnotherComputer = false;
        bool integrityValid = true;
        bool nothingTrusted = false; // settings on file, none of them trusted: nothing backs up
    };

    // The outcome of one backup run as the pass needs it.
    struct RunResult {
        bool failed = false; // the runner ended in its failed phase
        bool finished = false; // the runner ended in its finished phase
        QStringList issues;
        std::optional<QUuid> recordID; // the history record this run wrote
        QString failureMessage;
    };

    // The parts of a destination's health record the monthly work looks at.
    struct HealthState {
        std::optional<bool> integritySucceeded;
        std::optional<Date> lastIntegrityCheck;
        std::optional<Date> lastVerifiedRestore;
        std::optional<qint64> lastUsageBytes; // the newest usage measurement
    };

    class Services {
    public:
        virtual ~Services() = default;
        virtual StoreState reloadStore() = 0; // throws Error
        virtual StoreState currentStore() = 0; // what the store holds now, after a failed reload too
        virtual std::unique_ptr<FileLock> takeSchedulerLock() = 0; // throws Error; never waits
        virtual bool isDue(const Destination &destination, Date now) = 0; // throws Error
        virtual std::optional<QString> deferReason(const Destination &destination) = 0;
        virtual RunResult runBackup(const Destination &destination) = 0;
        // Ends the destination's records left "running" by a process that died; never throws.
        virtual void finishInterruptedRuns(const Destination &destination) { Q_UNUSED(destination); }
        virtual HealthState loadHealth(const Destination &destination) = 0; // throws Error
        virtual void check(const Destination &destination) = 0; // throws Error
        virtual void testRecovery(const Destination &destination) = 0; // throws Error
        virtual void measure(const Destination &destination) = 0; // throws Error
        // The history record with this id; nullopt when it is not there. Throws Error.
        virtual std::optional<BackupRecord> record(const QUuid &destinationID, const QUuid &recordID) = 0;
        virtual void notify(const NotificationContent &content) = 0;
        virtual Date now() = 0;
        // Whether the pass was asked to end (a signal): it starts no further work.
        virtual bool stopRequested() { return false; }
    };

    static constexpr double monthSeconds = 2592000.0;
    static constexpr double bytesPerTB = 1e12;

    explicit ScheduledBackup(Services &services);

    // True when no configuration, lock, history or queue error stopped the pass and every
    // backup it ran succeeded; true as well when another pass holds the lock.
    bool runDue(Date now, const BackupRequests &requests);

    // The real services of the user's session: the destinations store, restic, the history,
    // health and notification folders of the application. `stop` cancels the work under way.
    static std::unique_ptr<Services> systemServices(std::stop_token stop = {});

private:
    bool runOne(const Destination &destination, Date now, RunResult *result);
    bool drain(const BackupRequests &requests, const QMap<QUuid, RunResult> &ranThisPass, Date passStarted);
    bool answerLateRequests(const BackupRequests &requests);
    bool fail(const QString &message);

    Services &m_services;
    QSet<QUuid> m_answered; // the requests this pass has answered (or tried to)
};

} // namespace vellmir
