#include "operations/ScheduledBackup.h"

#include "config/FileLock.h"
#include "operations/HistoryIndex.h"
#include "util/Error.h"
#include "util/Log.h"

#include <algorithm>

namespace vellmir {

namespace {

// The outcome as the runner classified it: a finished run is complete exactly when it has no issue.
BackupRecord::Outcome outcomeOf(const ScheduledBackup::RunResult &run)
{
    if (run.failed)
        return BackupRecord::Outcome::failed;
    if (run.finished)
        return run.issues.isEmpty() ? BackupRecord::Outcome::complete : BackupRecord::Outcome::incomplete;
    return BackupRecord::Outcome::cancelled;
}

} // namespace

ScheduledBackup::ScheduledBackup(Services &services)
    : m_services(services)
{
}

bool ScheduledBackup::fail(const QString &message)
{
    logText(QStringLiteral("Vellmir scheduler: ") + message);
    m_services.notify(BackupNotifications::scheduleNeedsAttention());
    return false;
}

bool ScheduledBackup::runDue(Date now, const BackupRequests &requests)
{
    const HistoryIndex::Call reading;
    // Taken first, so that passes started together leave the settings' notices to the one
    // that runs. A pass that finds another running has nothing to do and nothing failed.
    std::unique_ptr<FileLock> lock;
    try {
        lock = m_services.takeSchedulerLock();
    } catch (const Error &error) {
        if (error.kind() != ErrorKind::busy)
            return fail(error.message());
        logText(QStringLiteral("Vellmir scheduler: another pass is running; this one leaves the work to it."));
        return true;
    }

    StoreState store;
    try {
        store = m_services.reloadStore();
    } catch (const Error &error) {
        return fail(error.message());
    }
    if (store.fromAnotherComputer)
        m_services.notify(BackupNotifications::settingsFromAnotherComputer());
    else if (!store.integrityValid)
        m_services.notify(BackupNotifications::settingsChangedOutside(store.nothingTrusted));

    // Before the due rules read the history: a run whose process died must not stand as one
    // still running.
    for (const Destination &destination : std::as_const(store.destinations))
        m_services.finishInterruptedRuns(destination);

    bool result = true;
    QMap<QUuid, RunResult> ranThisPass;
    for (const Destination &destination : std::as_const(store.destinations)) {
        if (m_services.stopRequested())
            return false;
        if (destination.sources.isEmpty())
            continue;
        bool due = false;
        try {
            due = m_services.isDue(destination, now);
        } catch (const Error &error) {
            lock.reset();
            return fail(error.message());
        }
        if (!due)
            continue;
        if (const std::optional<QString> reason = m_services.deferReason(destination)) {
            m_services.notify(BackupNotifications::backupOverdue(destination, *reason));
            continue;
        }
        RunResult run;
        result = runOne(destination, now, &run) && result;
        ranThisPass.insert(destination.id, run);
    }
    result = drain(requests, ranThisPass, now) && result;
    lock.reset();
    return answerLateRequests(requests) && result;
}

// A request queued while this pass lets go of the lock may have started a pass that found the
// lock still held and left the work to this one, after this one last looked at the queue. So,
// with the lock released, the queue is looked at again, and a request this pass has not answered
// is answered under the lock taken anew. A pass that holds the lock by then looks again itself
// after it lets go.
bool ScheduledBackup::answerLateRequests(const BackupRequests &requests)
{
    bool result = true;
    while (!m_services.stopRequested()) {
        QList<BackupRequests::Request> pending;
        try {
            pending = requests.pending();
        } catch (const Error &) {
            return result; // the drain under the lock reported the queue already
        }
        if (std::all_of(pending.begin(), pending.end(),
                [&](const BackupRequests::Request &request) { return m_answered.contains(request.id); }))
            return result;
        std::unique_ptr<FileLock> lock;
        try {
            lock = m_services.takeSchedulerLock();
        } catch (const Error &) {
            return result;
        }
        result = drain(requests, {}, m_services.now()) && result;
    }
    return false; // stopped: the requests left wait for the next pass
}

bool ScheduledBackup::runOne(const Destination &destination, Date now, RunResult *result)
{
    const RunResult run = m_services.runBackup(destination);
    *result = run;
    bool success = !run.failed && run.issues.isEmpty();
    // The pass's exit status says only that something went wrong; the journal says what.
    if (!success)
        logText(QStringLiteral("Vellmir scheduler: the backup of \"%1\" %2: %3")
                    .arg(destination.name,
                        run.failed         ? QStringLiteral("failed")
                            : run.finished ? QStringLiteral("is incomplete")
                                           : QStringLiteral("was cancelled"),
                        !run.failureMessage.isEmpty() ? run.failureMessage
                            : !run.issues.isEmpty()   ? run.issues.first()
                                                      : QStringLiteral("no reason was given")));
    const std::optional<BackupPreferences> &preferences = destination.preferences;
    // A backup that saved its snapshot as the pass was told to end: its health work would
    // only be stopped, and say it failed.
    if (m_services.stopRequested())
        return success;

    if (run.finished && run.issues.isEmpty() && preferences && preferences->checkMonthly) {
        try {
            const HealthState health = m_services.loadHealth(destination);
            const auto older
                = [&](const std::optional<Date> &date) { return !date || now.secondsSince(*date) >= monthSeconds; };
            const bool recent = health.integritySucceeded.value_or(false) && !older(health.lastIntegrityCheck)
                && !older(health.lastVerifiedRestore);
            if (!recent) {
                m_services.check(destination);
                m_services.testRecovery(destination);
            }
        } catch (const Error &error) {
            logText(QStringLiteral("Vellmir scheduler: the monthly check of \"%1\" failed: %2")
                        .arg(destination.name, error.message()));
            m_services.notify(BackupNotifications::integrityCheckNeedsAttention(destination));
            success = false;
        }
    }

    if (run.finished && preferences && preferences->storageRatePerTB > 0) {
        try {
            m_services.measure(destination);
            const HealthState health = m_services.loadHealth(destination);
            if (health.lastUsageBytes && preferences->monthlyBudget > 0) {
                const double terabytes = static_cast<double>(std::max<qint64>(*health.lastUsageBytes, 0)) / bytesPerTB;
                if (preferences->monthlyBudget <= preferences->storageRatePerTB * terabytes)
                    m_services.notify(BackupNotifications::storageExceedsBudget(destination));
            }
        } catch (const Error &) {
            m_services.notify(BackupNotifications::storageEstimateUnavailable(destination));
        }
    }
    return success;
}

bool ScheduledBackup::drain(const BackupRequests &requests, const QMap<QUuid, RunResult> &ranThisPass, Date passStarted)
{
    bool result = true;
    while (!m_services.stopRequested()) {
        QList<BackupRequests::Request> pending;
        try {
            pending = requests.pending();
        } catch (const Error &error) {
            // An unreadable queue leaves agents waiting for answers: that is a failed pass.
            logText(QStringLiteral("Vellmir scheduler could not read the backup requests: ") + error.message());
            return false;
        }
        const auto next = std::find_if(pending.begin(), pending.end(),
            [&](const BackupRequests::Request &request) { return !m_answered.contains(request.id); });
        if (next == pending.end())
            return result;
        const BackupRequests::Request request = *next;
        m_answered.insert(request.id);

        BackupRequests::Result answer;
        answer.requestID = request.id;
        answer.destinationID = request.destinationID;
        answer.outcome = QStringLiteral("failed");

        StoreState store;
        try {
            store = m_services.reloadStore();
        } catch (const Error &) {
            store = m_services.currentStore();
        }
        const auto found = std::find_if(store.destinations.begin(), store.destinations.end(),
            [&](const Destination &d) { return d.id == request.destinationID; });
        if (found == store.destinations.end()) {
            answer.message = QStringLiteral("The destination no longer exists.");
        } else if (found->sources.isEmpty()) {
            answer.message = QStringLiteral("No folders selected to back up.");
        } else {
            RunResult run;
            if (ranThisPass.contains(found->id) && request.requestedAt <= passStarted) {
                run = ranThisPass.value(found->id);
            } else {
                result = runOne(*found, m_services.now(), &run) && result;
            }
            // Answer from the record of this very run (the destination's newest record may
            // belong to another run or another process), once the record holds the outcome.
            // Without it, because a write of the record failed or the history cannot be read,
            // from what the runner saw.
            std::optional<BackupRecord> record;
            if (run.recordID) {
                try {
                    record = m_services.record(found->id, *run.recordID);
                } catch (const Error &) {
                }
            }
            if (record && record->outcome != BackupRecord::Outcome::running) {
                answer.recordID = record->id;
                answer.outcome = toString(record->outcome);
                if (!record->issues.isEmpty())
                    answer.message = record->issues.first();
            } else {
                answer.outcome = toString(outcomeOf(run));
                if (!run.failureMessage.isEmpty())
                    answer.message = run.failureMessage;
                else if (!run.issues.isEmpty())
                    answer.message = run.issues.first();
            }
        }
        try {
            requests.complete(request, answer);
        } catch (const Error &error) {
            logText(QStringLiteral("Vellmir scheduler could not record a requested backup: ") + error.message());
        }
    }
    return false; // stopped: the requests left wait for the next pass
}

} // namespace vellmir
