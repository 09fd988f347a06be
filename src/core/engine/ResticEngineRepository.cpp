// The repository operations of ResticEngine: one restic command each, turned into a typed answer.
#include "config/FileLock.h"
#include "engine/MachineIdentity.h"
#include "engine/ResticEngine.h"
#include "util/Json.h"
#include "util/ResticError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <exception>
#include <limits>

namespace vellmir {

namespace {

const QString noSummary = QStringLiteral("The scan returned no summary. Its size could not be verified.");
const QString noRetainedSnapshot = QStringLiteral("Choose at least one retained snapshot before applying retention.");

ResticCommand snapshotsCommand()
{
    return ResticCommand(QStringLiteral("snapshots")).flag(QStringLiteral("--json"));
}

// The JSON value at the start of `bytes`, ignoring whatever follows it. With "--prune", restic
// prints forget's array on the first line and prune's plain-text report after it.
QJsonDocument leadingJson(const QByteArray &bytes)
{
    QJsonParseError error {};
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error == QJsonParseError::GarbageAtEnd)
        document = QJsonDocument::fromJson(bytes.left(error.offset), &error);
    if (error.error != QJsonParseError::NoError)
        return {};
    return document;
}

// The message of an exception that ended a run, for the operations that report instead of throwing.
QString describe(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const Error &error) {
        return error.message();
    } catch (const std::exception &error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
        return QStringLiteral("The operation couldn’t be completed.");
    }
}

// Sum of the keep counts without overflowing on absurd values.
bool keepsAtLeastOne(const Destination::RetentionPolicy &policy)
{
    qint64 sum = 0;
    for (const qint64 count : { policy.keepDaily, policy.keepWeekly, policy.keepMonthly, policy.keepYearly }) {
        if (__builtin_add_overflow(sum, count, &sum))
            return count > 0;
    }
    return sum >= 1;
}

} // namespace

QList<Snapshot> ResticEngine::listSnapshots(
    const ResticEnvironment &environment, std::stop_token stop, std::chrono::milliseconds retryBound) const
{
    const ResticResult result = withRetryBound(retryBound).run(snapshotsCommand(), environment, stop);
    if (result.exitCode != 0)
        throw ResticError::command(cleanError(result.stderr, result.exitCode));
    const QJsonDocument document = json::parse(result.stdout.toUtf8(), QStringLiteral("restic's snapshot list"));
    if (!document.isArray())
        return {};
    const QJsonArray array = document.array();
    QList<Snapshot> snapshots;
    snapshots.reserve(array.size());
    for (const QJsonValue &value : array) {
        if (!value.isObject())
            return {};
        snapshots.append(Snapshot::fromJson(value.toObject()));
    }
    std::stable_sort(
        snapshots.begin(), snapshots.end(), [](const Snapshot &a, const Snapshot &b) { return a.time > b.time; });
    return snapshots;
}

ConnectionStatus ResticEngine::probe(
    const ResticEnvironment &environment, std::stop_token stop, std::chrono::milliseconds retryBound) const noexcept
{
    try {
        const ResticResult result = withRetryBound(retryBound).run(snapshotsCommand(), environment, stop);
        if (result.exitCode == 10)
            return ConnectionStatus::notInitialized();
        if (result.exitCode != 0)
            return ConnectionStatus::failed(cleanError(result.stderr, result.exitCode));
        const QJsonDocument document = QJsonDocument::fromJson(result.stdout.toUtf8());
        return ConnectionStatus::ok(document.isArray() ? int(document.array().size()) : 0);
    } catch (const ResticError &error) {
        // restic retries a bucket that does not exist as it retries any failure; "init" makes it.
        if (missingBucket(error.message()))
            return ConnectionStatus::notInitialized();
        return ConnectionStatus::failed(error.message());
    } catch (...) {
        return ConnectionStatus::failed(describe(std::current_exception()));
    }
}

ConnectionStatus ResticEngine::initialize(const ResticEnvironment &environment, std::stop_token stop) const noexcept
{
    try {
        const ResticResult result = run(ResticCommand(QStringLiteral("init")), environment, stop);
        if (result.exitCode != 0)
            return ConnectionStatus::failed(cleanError(result.stderr, result.exitCode));
        return ConnectionStatus::ok(0);
    } catch (...) {
        return ConnectionStatus::failed(describe(std::current_exception()));
    }
}

BackupEstimate ResticEngine::estimateBackupSize(const QStringList &sources, const QStringList &excludes,
    const ResticEnvironment &environment, std::stop_token stop) const
{
    ResticCommand command(QStringLiteral("backup"));
    command.flag(QStringLiteral("--dry-run")).flag(QStringLiteral("--json"));
    for (const QString &pattern : Destination::resticExcludes(excludes, sources))
        command.option(QStringLiteral("--exclude"), pattern);
    for (const QString &source : sources)
        command.positional(Destination::resolvedSource(source));

    const ResticResult result = run(command, environment, stop);
    if (result.exitCode != 0)
        throw ResticError::command(cleanError(result.stderr, result.exitCode));

    // The summary is the last message; progress lines and anything else before it are skipped.
    const QStringList lines = result.stdout.split(u'\n', Qt::SkipEmptyParts);
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QJsonDocument document = QJsonDocument::fromJson(line->toUtf8());
        if (!document.isObject())
            continue;
        const QJsonObject object = document.object();
        if (object.value(QStringLiteral("message_type")) != QStringLiteral("summary"))
            continue;
        BackupEstimate estimate;
        const qint64 files = json::toInt64(object.value(QStringLiteral("total_files_processed"))).value_or(0);
        estimate.files = int(std::clamp<qint64>(files, 0, std::numeric_limits<int>::max()));
        estimate.bytes = json::toInt64(object.value(QStringLiteral("total_bytes_processed"))).value_or(0);
        return estimate;
    }
    throw ResticError::command(noSummary);
}

namespace {

// The ids in the "remove" lists of forget's JSON groups; none when the answer has another shape.
QStringList removedIDs(const ResticResult &result)
{
    const QJsonDocument document = leadingJson(result.stdout.toUtf8());
    if (!document.isArray())
        return {};
    QStringList ids;
    for (const QJsonValue &group : document.array()) {
        if (!group.isObject())
            return {};
        for (const QJsonValue &snapshot : group.toObject().value(QStringLiteral("remove")).toArray())
            ids.append(snapshot.toObject().value(QStringLiteral("id")).toString());
    }
    return ids;
}

ResticCommand forgetCommand(bool prune)
{
    ResticCommand command(QStringLiteral("forget"));
    command.flag(QStringLiteral("--json")).lockWait(ResticEngine::lockRetry());
    if (prune)
        command.flag(QStringLiteral("--prune")).option(QStringLiteral("--max-unused"), QStringLiteral("10%"));
    return command;
}

} // namespace

QStringList ResticEngine::retentionRun(const Destination::RetentionPolicy &policy, bool prune, bool dryRun,
    const ResticEnvironment &environment, std::stop_token stop) const
{
    if (!keepsAtLeastOne(policy))
        throw EngineRefusal(noRetainedSnapshot);

    ResticCommand command = forgetCommand(prune && !dryRun);
    if (dryRun)
        command.flag(QStringLiteral("--dry-run"));
    // Only this computer's snapshots: other machines sharing the repository keep theirs.
    for (const QString &host : MachineIdentity::knownHostnames())
        command.option(QStringLiteral("--host"), host);
    command.options(policy.arguments());

    const ResticResult result = run(command, environment, stop);
    if (result.exitCode != 0)
        throw ResticError::command(cleanError(result.stderr, result.exitCode));
    return removedIDs(result);
}

int ResticEngine::applyRetention(const Destination::RetentionPolicy &policy, bool prune, bool dryRun,
    const ResticEnvironment &environment, std::stop_token stop) const
{
    return int(retentionRun(policy, prune, dryRun, environment, stop).size());
}

QStringList ResticEngine::retentionRemovals(
    const Destination::RetentionPolicy &policy, const ResticEnvironment &environment, std::stop_token stop) const
{
    return retentionRun(policy, false, true, environment, stop);
}

int ResticEngine::forgetCounted(const Destination::RetentionPolicy &policy, const QStringList &counted, bool prune,
    const ResticEnvironment &environment, std::stop_token stop) const
{
    if (counted.isEmpty()) {
        // Nothing to forget, but pruning was asked for (restic's forget would skip it then).
        if (prune) {
            ResticCommand command(QStringLiteral("prune"));
            command.option(QStringLiteral("--max-unused"), QStringLiteral("10%")).lockWait(lockRetry());
            const ResticResult result = run(command, environment, stop);
            if (result.exitCode != 0)
                throw ResticError::command(cleanError(result.stderr, result.exitCode));
        }
        return 0;
    }
    // Counted and forgotten in one hold of the repository's lock, so no backup of ours lands
    // between the check and the removal.
    const QString repository = environment.value(QStringLiteral("RESTIC_REPOSITORY"));
    const QString lockPath = FileLock::repositoryLockPath(repository, m_lockDirectory.value_or(QString()));
    std::unique_ptr<FileLock> lock;
    if (lockPath != m_heldLockPath)
        lock = FileLock::repository(repository, m_lockDirectory.value_or(QString()), QStringLiteral("retention"));
    const ResticEngine engine = lock ? holdingLock(repository, *lock) : *this;
    // Snapshots that arrived since are left for the next count; but one counted that the policy
    // now keeps (a newer one went meanwhile), or that is gone, means the question no longer
    // says what would happen.
    const QStringList now = engine.retentionRemovals(policy, environment, stop);
    const auto stale
        = std::count_if(counted.cbegin(), counted.cend(), [&now](const QString &id) { return !now.contains(id); });
    if (stale > 0)
        throw EngineRefusal(QStringLiteral("The snapshots changed after they were counted: %1 of the %2 "
                                           "counted for removal are gone or are now kept by the policy, so "
                                           "nothing was removed. Count them again.")
                                .arg(stale)
                                .arg(counted.size()));
    ResticCommand command = forgetCommand(prune);
    for (const QString &id : counted)
        command.positional(id);
    const ResticResult result = engine.run(command, environment, stop);
    if (result.exitCode != 0)
        throw ResticError::command(cleanError(result.stderr, result.exitCode));
    return int(counted.size());
}

} // namespace vellmir
