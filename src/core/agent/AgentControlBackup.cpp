// The backup, backup-result and check commands of AgentControl.

#include "agent/AgentControl.h"
#include "agent/AgentParameters.h"

#include "util/Uuid.h"

#include <QJsonArray>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vellmir {

namespace {

QJsonObject startedReply(const BackupRequests::Request &request)
{
    return QJsonObject {
        { QStringLiteral("mode"), QStringLiteral("background-agent") },
        { QStringLiteral("request"), uuidText(request.id) },
        { QStringLiteral("state"), QStringLiteral("started") },
        { QStringLiteral("next"),
            QStringLiteral("Run backup-result with this request id, or history, to see the outcome.") },
    };
}

// Sleeps until `until` unless `stop` is requested first, which throws CancellationError.
void sleepUntil(std::chrono::steady_clock::time_point until, const std::stop_token &stop)
{
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock lock(mutex);
    wakeUp.wait_until(lock, stop, until, [] { return false; });
    if (stop.stop_requested())
        throw CancellationError();
}

} // namespace

QJsonObject AgentControl::backup(
    const Destination &destination, const AgentParameters &parameters, std::stop_token stop)
{
    if (destination.sources.isEmpty())
        throw AgentError::failed(destination.name + QStringLiteral(" has no folders to back up."));

    if (parameters.boolean(param::inProcess).value_or(false)) {
        // Stopped before it began (its MCP client already gone): no run, no record.
        if (stop.stop_requested())
            throw CancellationError();
        BackupRunner runner(m_engine, m_history, m_hooks.runnerServices);
        const std::optional<QUuid> recordID = runner.runAndWait(destination, stop);
        // This run's own record, as the history folder now holds it: the newest record of the
        // destination may be another run's, and an older one when this run's could not be saved.
        const auto failure = [&runner] {
            return AgentError::failed(runner.failureMessage().value_or(QStringLiteral("The backup did not start.")));
        };
        if (!recordID)
            throw failure();
        std::optional<BackupRecord> record = m_history.record(*recordID);
        // A record without its end is the one written at the start: the outcome never reached it.
        if (!record || !record->finishedAt)
            throw failure();
        return QJsonObject {
            { QStringLiteral("mode"), QStringLiteral("in-process") },
            { QStringLiteral("fullDiskAccess"), m_hooks.fullDiskAccess() },
            { QStringLiteral("run"), json(*record) },
        };
    }

    // Read before anything is queued: a malformed value must not leave a backup behind it. The
    // table bounds it, so the deadline cannot overflow the clock.
    const qint64 waitSeconds = parameters.integer(param::waitSeconds).value();

    const BackupRequests::Request request = m_requests.enqueue(destination.id, Date::now());
    try {
        m_hooks.startScheduler();
    } catch (const std::exception &error) {
        m_requests.cancel(request);
        throw AgentError::failed(errorDescription(error) + u' ' + AgentParameters::switchedOn(param::inProcess)
            + QStringLiteral(" to run it here instead."));
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::seconds(waitSeconds);

    while (Clock::now() < deadline) {
        if (const std::optional<BackupRequests::Result> result = m_requests.result(request.id))
            return backupResult(*result);
        sleepUntil(Clock::now() + std::chrono::seconds(pollSeconds), stop);
    }
    return startedReply(request);
}

bool AgentControl::reportsFailedRun(const QString &name, const QJsonObject &reply)
{
    if (name != QLatin1String("backup"))
        return false;
    // A finished request says it on top; a run in this process in its record. A request still
    // under way has neither.
    const QJsonValue outcome = reply.contains(QLatin1String("outcome"))
        ? reply.value(QLatin1String("outcome"))
        : reply.value(QLatin1String("run")).toObject().value(QLatin1String("outcome"));
    return outcome == QJsonValue(toString(BackupRecord::Outcome::failed))
        || outcome == QJsonValue(toString(BackupRecord::Outcome::cancelled));
}

QJsonObject AgentControl::backupResult(const AgentParameters &parameters)
{
    const QString text = parameters.requiredString(param::request);
    const std::optional<QUuid> id = parseUuid(text);
    if (!id)
        throw AgentError::usage(QStringLiteral("request must be a request id."));
    std::optional<BackupRequests::Result> result;
    try {
        result = m_requests.result(*id);
    } catch (const std::exception &error) {
        throw AgentError::failed(QStringLiteral("The result of backup request ") + uuidText(*id)
            + QStringLiteral(" is damaged: ") + errorDescription(error));
    }
    if (result)
        return backupResult(*result);
    for (const BackupRequests::Request &request : m_requests.pending())
        if (request.id == *id)
            return QJsonObject {
                { QStringLiteral("request"), uuidText(*id) },
                { QStringLiteral("state"), QStringLiteral("running") },
            };
    throw AgentError::notFound(
        QStringLiteral("No backup request ") + uuidText(*id) + QStringLiteral(". Results are kept for seven days."));
}

QJsonObject AgentControl::backupResult(const BackupRequests::Result &result) const
{
    QJsonObject object {
        { QStringLiteral("mode"), QStringLiteral("background-agent") },
        { QStringLiteral("request"), uuidText(result.requestID) },
        { QStringLiteral("state"), QStringLiteral("finished") },
        { QStringLiteral("outcome"), result.outcome },
    };
    if (result.message)
        object.insert(QStringLiteral("message"), *result.message);
    if (result.recordID) {
        try {
            if (const std::optional<BackupRecord> record = m_history.record(*result.recordID);
                record && record->destinationID == result.destinationID)
                object.insert(QStringLiteral("run"), json(*record));
        } catch (const std::exception &) {
            // The outcome stands on its own; the run's details are a bonus.
        }
    }
    return object;
}

QJsonObject AgentControl::check(const Destination &destination, std::stop_token stop)
{
    // The record before the check tells whether the check got as far as recording anything:
    // a run that never started leaves an older message that says nothing about this one.
    const RepositoryHealth before = m_health.load(destination);
    std::optional<QString> failure;
    try {
        m_health.check(destination, m_engine, stop);
    } catch (const CancellationError &) {
        throw;
    } catch (const std::exception &error) {
        failure = errorDescription(error);
    }
    const RepositoryHealth after = m_health.load(destination);

    QJsonObject object { { QStringLiteral("destination"), destination.name } };
    if (!failure) {
        object.insert(QStringLiteral("passed"), after.integritySucceeded.value_or(false));
        if (after.integrityMessage)
            object.insert(QStringLiteral("message"), *after.integrityMessage);
        return object;
    }
    // A check that never ran (the repository busy with a backup, no credentials, no restic)
    // says nothing about the repository: it is this command's failure, not a failed check.
    if (after.lastIntegrityCheck == before.lastIntegrityCheck)
        throw AgentError::failed(*failure);
    object.insert(QStringLiteral("passed"), false);
    object.insert(QStringLiteral("message"), after.integrityMessage ? *after.integrityMessage : *failure);
    return object;
}

} // namespace vellmir
