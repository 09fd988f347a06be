#include "operations/BackupRequests.h"

#include "config/FileLock.h"
#include "operations/FolderReader.h"
#include "operations/OperationError.h"
#include "platform/SchedulerUnit.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/Process.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

extern char **environ;

namespace vellmir {

namespace {
const QString kId = QStringLiteral("id");
const QString kDestinationID = QStringLiteral("destinationID");
const QString kRequestedAt = QStringLiteral("requestedAt");
const QString kRequestID = QStringLiteral("requestID");
const QString kRecordID = QStringLiteral("recordID");
const QString kOutcome = QStringLiteral("outcome");
const QString kMessage = QStringLiteral("message");

const QByteArray requestPrefix = QByteArrayLiteral("request-");
const QByteArray resultPrefix = QByteArrayLiteral("result-");

template <typename T> T decode(const QByteArray &bytes, const QString &what)
{
    const QJsonObject object = json::parseObject(bytes, what);
    try {
        return T::fromJson(object);
    } catch (const JsonError &error) {
        throw JsonError(QStringLiteral("%1 could not be decoded: %2").arg(what, error.message()));
    }
}

// A request file that holds no request (damaged on disk, edited by hand) would otherwise fail
// every queued backup and every pass, for every destination: it is renamed out of the queue,
// kept for whoever wants to look at it, and logged. One that cannot be renamed is left out and
// logged once per process, since the queue is read every few seconds.
void setAside(const FolderReader &folder, const QByteArray &name, const struct stat &read, const Error &error)
{
    folder.setAsideLogged(name, read, BackupRequests::setAsideSuffix().toUtf8(), QStringLiteral("requests"),
        error.message(), QStringLiteral("It is left out of the queue."));
}

Date fileDate(const timespec &time)
{
    return Date::fromUnix(static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9);
}

// What stood in the way of starting the background agent. Its registration is the reason only
// when systemd answered that it has no such unit.
enum class KickFailure { other, noManager, noUnit };

[[noreturn]] void kickFailed(const QString &detail, KickFailure failure = KickFailure::other)
{
    const QString prefix = QStringLiteral("The background agent could not be started");
    if (failure == KickFailure::noManager)
        throw OperationError(
            prefix + QStringLiteral(": no systemd user manager answered (") + detail + QStringLiteral(")."));
    throw OperationError(prefix + QStringLiteral(" (") + detail
        + (failure == KickFailure::noUnit
                ? QStringLiteral("). It is registered only while a destination has an hourly or daily schedule.")
                : QStringLiteral(").")));
}

} // namespace

QJsonObject BackupRequests::Request::toJson() const
{
    return QJsonObject {
        { kId, uuidText(id) },
        { kDestinationID, uuidText(destinationID) },
        { kRequestedAt, requestedAt.iso8601() },
    };
}

BackupRequests::Request BackupRequests::Request::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object);
    return Request { reader.uuid(kId), reader.uuid(kDestinationID), reader.isoDate(kRequestedAt) };
}

QJsonObject BackupRequests::Result::toJson() const
{
    QJsonObject object {
        { kRequestID, uuidText(requestID) },
        { kDestinationID, uuidText(destinationID) },
        { kOutcome, outcome },
    };
    if (recordID)
        object.insert(kRecordID, uuidText(*recordID));
    if (message)
        object.insert(kMessage, *message);
    return object;
}

BackupRequests::Result BackupRequests::Result::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object);
    Result result;
    result.requestID = reader.uuid(kRequestID);
    result.destinationID = reader.uuid(kDestinationID);
    result.recordID = reader.optionalUuid(kRecordID);
    result.outcome = reader.string(kOutcome);
    result.message = reader.optionalString(kMessage);
    return result;
}

BackupRequests::BackupRequests(const QString &directory, const QString &systemctl, int kickTimeoutMilliseconds)
    : m_directory(QDir::cleanPath(directory))
    , m_systemctl(systemctl)
    , m_kickTimeout(kickTimeoutMilliseconds)
{
}

QString BackupRequests::requestFilePath(const QUuid &destinationID) const
{
    return m_directory + QStringLiteral("/request-") + uuidText(destinationID) + QStringLiteral(".json");
}

QString BackupRequests::resultFilePath(const QUuid &requestID) const
{
    return m_directory + QStringLiteral("/result-") + uuidText(requestID) + QStringLiteral(".json");
}

QString BackupRequests::lockFilePath() const
{
    return QFileInfo(m_directory).absolutePath() + QStringLiteral("/requests.lock");
}

BackupRequests::Request BackupRequests::enqueue(const QUuid &destinationID, Date now) const
{
    // Without the lock two processes could both find no pending request and both write the
    // destination's file; the first would then hold an id that no result ever carries.
    const FileLock lock(lockFilePath(), true);
    const QList<Request> queued = pending();
    for (const Request &request : queued)
        if (request.destinationID == destinationID)
            return request;

    ensureDirectory(m_directory);
    removeLeftoverTemporaries(requestFilePath(destinationID), QStringLiteral("backup requests"));
    // The file keeps whole seconds only; the caller gets the request as it is stored.
    const Request request { newUuid(), destinationID, Date { std::floor(now.seconds) } };
    writeFileAtomically(requestFilePath(destinationID), json::compact(request.toJson()));
    return request;
}

QList<BackupRequests::Request> BackupRequests::pending() const
{
    const FolderReader folder(m_directory, QStringLiteral("backup requests"));
    QList<Request> requests;
    for (const QByteArray &name : folder.names()) {
        if (!name.startsWith(requestPrefix) || !FolderReader::hasJsonExtension(name))
            continue;
        struct stat info { };
        try {
            const QByteArray bytes = folder.read(name, info);
            requests.append(
                decode<Request>(bytes, QStringLiteral("The backup request %1").arg(LocalPath::decode(name))));
        } catch (const UnfitFileError &error) {
            setAside(folder, name, info, error);
        } catch (const JsonError &error) {
            setAside(folder, name, info, error);
        }
    }
    std::stable_sort(requests.begin(), requests.end(),
        [](const Request &a, const Request &b) { return a.requestedAt < b.requestedAt; });
    return requests;
}

void BackupRequests::complete(const Request &request, const Result &result) const
{
    const QByteArray encoded = json::compact(result.toJson());
    writeFileAtomically(resultFilePath(request.id), encoded);
    withdraw(request);
    removeStaleResults(Date::now());
}

void BackupRequests::cancel(const Request &request) const noexcept
{
    withdraw(request);
}

void BackupRequests::withdraw(const Request &request) const noexcept
{
    // A request file names its destination, not the request: after this request was answered
    // or withdrawn elsewhere, the file may hold a newer request that another agent was told
    // about. That one stays. The lock keeps an enqueue from writing between check and removal.
    try {
        std::unique_ptr<FileLock> lock;
        try {
            lock = std::make_unique<FileLock>(lockFilePath(), true);
        } catch (const Error &) {
            // Without the lock the check below is still right but for a narrow race.
        }
        const QString path = requestFilePath(request.destinationID);
        const std::optional<QByteArray> bytes = readFileIfExists(path, FileBound::record);
        if (!bytes)
            return;
        try {
            if (decode<Request>(*bytes, QStringLiteral("The backup request")).id != request.id)
                return;
        } catch (const Error &) {
            // A damaged file stands for no other request; it goes.
        }
        QFile::remove(path);
    } catch (...) {
    }
}

std::optional<BackupRequests::Result> BackupRequests::result(const QUuid &requestID) const
{
    const QString path = resultFilePath(requestID);
    const std::optional<QByteArray> bytes = readFileIfExists(path, FileBound::record);
    if (!bytes)
        return std::nullopt;
    return decode<Result>(*bytes, QStringLiteral("The backup result %1").arg(QFileInfo(path).fileName()));
}

QString BackupRequests::setAsideSuffix()
{
    return FolderReader::damagedSuffix();
}

QStringList BackupRequests::setAsideRequests(const QUuid &destinationID) const
{
    return FolderReader::namesContaining(m_directory, QStringLiteral("backup requests"),
        "request-" + uuidText(destinationID).toUtf8() + ".json" + setAsideSuffix().toUtf8());
}

void BackupRequests::removeStaleResults(Date now) const noexcept
{
    try {
        const FolderReader folder(m_directory, QStringLiteral("backup requests"));
        for (const QByteArray &name : folder.names()) {
            if (!name.startsWith(resultPrefix))
                continue;
            struct stat info { };
            // A date that cannot be read counts as now: the file stays.
            const Date modified = folder.status(name, info) ? fileDate(info.st_mtim) : now;
            if (now.secondsSince(modified) > resultLifetime)
                folder.remove(name);
        }
    } catch (...) {
        // A folder that cannot be listed has nothing to clear.
    }
}

void BackupRequests::kickScheduler() const
{
    const QString program
        = m_systemctl.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("systemctl")) : m_systemctl;
    if (program.isEmpty())
        kickFailed(QStringLiteral("systemctl not found"));
    const ToolResult run = runTool(program,
        { QStringLiteral("--user"), QStringLiteral("start"), QStringLiteral("--no-block"), SchedulerUnit::service },
        m_kickTimeout);
    if (!run.started)
        kickFailed(run.output);
    if (run.timedOut)
        kickFailed(QStringLiteral("systemctl did not finish within %1 seconds").arg(m_kickTimeout / 1000.0));
    if (run.succeeded())
        return;
    // systemctl's status for a unit it does not know (LSB's "not installed"), and its words when
    // no user manager answers: none to connect to (a container, no session bus), or a session bus
    // whose attempt to start the manager under its name failed.
    constexpr int unitNotFound = 5;
    if (run.signal == 0 && run.exitCode == unitNotFound)
        kickFailed(run.output.isEmpty() ? QStringLiteral("systemctl exit 5") : run.output, KickFailure::noUnit);
    if (run.output.startsWith(QLatin1String("Failed to connect to bus"))
        || run.output.contains(QLatin1String("Process org.freedesktop.systemd1 exited")))
        kickFailed(run.output, KickFailure::noManager);
    if (!run.output.isEmpty())
        kickFailed(run.output);
    if (run.signal == 0)
        kickFailed(QStringLiteral("systemctl exit %1").arg(run.exitCode));
    kickFailed(QStringLiteral("systemctl ended by signal %1").arg(run.signal));
}

} // namespace vellmir
