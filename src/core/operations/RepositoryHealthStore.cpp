#include "operations/RepositoryHealthStore.h"

#include "config/FileLock.h"
#include "engine/MachineIdentity.h"
#include "engine/ResticCommand.h"
#include "engine/ResticEngine.h"
#include "engine/Snapshot.h"
#include "engine/SnapshotEntry.h"
#include "operations/FolderReader.h"
#include "operations/OperationError.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/ResticError.h"
#include "util/SystemError.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace vellmir {

namespace {

// restic's result, or the engine's own sentence when restic never ran (the repository lock
// was busy, there is no restic, the launch failed) or never got past the repository's lock:
// such a run says nothing about the repository, so it must not be recorded as if it did.
ResticResult runStarted(const ResticEngine &engine, const ResticCommand &command, const ResticEnvironment &environment,
    std::stop_token stop)
{
    ResticResult result = engine.run(command, environment, stop);
    if (result.exitCode == -1 || result.exitCode == ResticEngine::lockRefusedStatus)
        throw ResticError::command(ResticEngine::cleanError(result.stderr, result.exitCode));
    return result;
}

// Removes a folder with everything below it. restic restores folder permissions, so a
// read-only folder from the snapshot is made writable first; links are removed, never followed.
void removeTree(const QString &path)
{
    namespace fs = std::filesystem;
    const fs::path root(LocalPath::encode(path).toStdString());
    std::error_code error;
    if (!fs::exists(fs::symlink_status(root, error))) {
        if (error && error != std::errc::no_such_file_or_directory)
            throw Error(QStringLiteral("Could not remove the folder %1: %2.")
                            .arg(path, QString::fromLocal8Bit(error.message().c_str())));
        return;
    }
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, error);
    error.clear();
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    error.clear();
    fs::remove_all(root, error);
    if (error)
        throw Error(QStringLiteral("Could not remove the folder %1: %2.")
                        .arg(path, QString::fromLocal8Bit(error.message().c_str())));
}

} // namespace

QString RepositoryHealthStore::checkSucceededMessage()
{
    return QStringLiteral("Repository structure and a random 5% data sample checked. This does not verify every file.");
}

QString RepositoryHealthStore::wholeSnapshotSelection()
{
    return QStringLiteral("Whole snapshot");
}

QString RepositoryHealthStore::sampleFolderPrefix()
{
    return QStringLiteral("vellmir-recovery-test-");
}

RepositoryHealthStore::RepositoryHealthStore(CredentialsStore credentials)
    : RepositoryHealthStore(AppPaths::healthDirectory(), std::move(credentials))
{
}

RepositoryHealthStore::RepositoryHealthStore(QString directory, CredentialsStore credentials)
    : m_directory(std::move(directory))
    , m_credentials(std::move(credentials))
{
}

QString RepositoryHealthStore::setAsideSuffix()
{
    return FolderReader::damagedSuffix();
}

QStringList RepositoryHealthStore::setAsideRecords(const QUuid &destinationID) const
{
    return FolderReader::namesContaining(
        m_directory, QStringLiteral("health"), uuidText(destinationID).toUtf8() + ".json" + setAsideSuffix().toUtf8());
}

QString RepositoryHealthStore::recordPath(const QUuid &destinationID) const
{
    return m_directory + u'/' + uuidText(destinationID) + QStringLiteral(".json");
}

QString RepositoryHealthStore::lockPath(const QUuid &destinationID) const
{
    return m_directory + u'/' + uuidText(destinationID) + QStringLiteral(".lock");
}

namespace {

// A health record that does not decode (damaged on disk, edited by hand) would fail every
// check and every look at the destination for good: it is renamed out of the way, provided the
// file still holds those very bytes, kept for whoever wants to look at it, and logged; the
// destination starts again from an empty record. One that cannot be renamed is read as empty
// and logged once per process.
void setAside(const QString &path, const std::optional<QByteArray> &damaged, const Error &error)
{
    const QFileInfo file(path);
    const QByteArray name = LocalPath::encode(file.fileName());
    const QString stays = QStringLiteral("It is read as an empty record.");
    try {
        const FolderReader folder(file.absolutePath(), QStringLiteral("health"));
        struct stat info { };
        // Still the very thing that was read: the same bytes, or still no file fit to read.
        bool same = false;
        try {
            same = damaged && folder.read(name, info) == *damaged;
        } catch (const UnfitFileError &) {
            same = !damaged;
        } catch (const Error &) {
            // Gone or unreadable since: left where it is.
        }
        if (same)
            folder.setAsideLogged(name, info, RepositoryHealthStore::setAsideSuffix().toUtf8(),
                QStringLiteral("health"), error.message(), stays);
        else
            folder.logOnce(name, QStringLiteral("health"), error.message() + u' ' + stays);
    } catch (const Error &) {
        logLine(QStringLiteral("health"), error.message() + u' ' + stays);
    }
}

RepositoryHealth readRecord(const QString &path)
{
    std::optional<QByteArray> bytes;
    try {
        bytes = readFileIfExists(path, FileBound::record);
    } catch (const UnfitFileError &error) {
        setAside(path, std::nullopt, error);
        return {};
    }
    if (!bytes)
        return {};
    try {
        return RepositoryHealth::decoded(
            *bytes, QStringLiteral("The health record %1").arg(QFileInfo(path).fileName()));
    } catch (const JsonError &error) {
        setAside(path, *bytes, error);
        return {};
    }
}

} // namespace

RepositoryHealth RepositoryHealthStore::load(const Destination &destination) const
{
    RepositoryHealth health = readRecord(recordPath(destination.id));
    if (health.repository != destination.repository)
        return {};
    return health;
}

void RepositoryHealthStore::update(const QUuid &destinationID, const Mutation &mutation) const
{
    const FileLock lock(lockPath(destinationID), true);
    const QString path = recordPath(destinationID);
    removeLeftoverTemporaries(path, QStringLiteral("health"));
    RepositoryHealth health = readRecord(path);
    mutation(health);
    writeFileAtomically(path, health.encoded());
}

void RepositoryHealthStore::update(const Destination &destination, const Mutation &mutation) const
{
    update(destination.id, [&](RepositoryHealth &health) {
        if (health.repository != destination.repository)
            health = RepositoryHealth {};
        health.repository = destination.repository;
        mutation(health);
    });
}

void RepositoryHealthStore::recordRestore(
    const Destination &destination, const QString &snapshot, const std::optional<QString> &path) const
{
    const Date now = Date::now();
    update(destination, [&](RepositoryHealth &health) {
        health.lastVerifiedRestore = now;
        health.restoredSnapshot = snapshot;
        health.restoredSelection = path.value_or(wholeSnapshotSelection());
    });
}

void RepositoryHealthStore::check(
    const Destination &destination, const ResticEngine &engine, std::stop_token stop) const
{
    const ResticEnvironment environment = m_credentials.resticEnvironment(destination);
    const ResticResult result = runStarted(engine,
        ResticCommand(QStringLiteral("check")).option(QStringLiteral("--read-data-subset"), QStringLiteral("5%")),
        environment, stop);
    const bool succeeded = result.exitCode == 0;
    const Date now = Date::now();
    update(destination, [&](RepositoryHealth &health) {
        health.lastIntegrityCheck = now;
        health.integritySucceeded = succeeded;
        if (succeeded)
            health.integrityMessage = checkSucceededMessage();
        else
            health.integrityMessage
                = QStringLiteral("Check failed: ") + (result.stderr.isEmpty() ? result.stdout : result.stderr);
    });
    if (!succeeded)
        throw ResticError::command(QStringLiteral("Integrity check failed. Review the recorded result."));
}

void RepositoryHealthStore::measure(
    const Destination &destination, const ResticEngine &engine, std::stop_token stop) const
{
    const ResticEnvironment environment = m_credentials.resticEnvironment(destination);
    const ResticResult result = runStarted(engine,
        ResticCommand(QStringLiteral("stats"))
            .option(QStringLiteral("--mode"), QStringLiteral("raw-data"))
            .flag(QStringLiteral("--json")),
        environment, stop);
    std::optional<qint64> bytes;
    if (result.exitCode == 0) {
        const QJsonDocument document = json::parse(result.stdout.toUtf8(), QStringLiteral("restic's statistics"));
        if (document.isObject())
            bytes = json::toInt64(document.object().value(QStringLiteral("total_size")));
    }
    if (!bytes) {
        // With --json restic states its errors as JSON objects; the user reads their message.
        const QString detail = result.exitCode == 0 && result.stderr.trimmed().isEmpty()
            ? QString()
            : ResticEngine::cleanError(result.stderr, result.exitCode);
        throw ResticError::command(QStringLiteral("Could not measure repository data. ") + detail);
    }
    const UsageMeasurement measurement { newUuid(), Date::now(), *bytes };
    update(destination, [&](RepositoryHealth &health) { health.appendUsage(measurement); });
}

void RepositoryHealthStore::testRecovery(
    const Destination &destination, const ResticEngine &engine, std::stop_token stop) const
{
    const ResticEnvironment environment = m_credentials.resticEnvironment(destination);

    const auto snapshots = engine.listSnapshots(environment, stop);
    if (snapshots.isEmpty())
        throw OperationError(QStringLiteral("Create a backup before testing recovery."));
    const QStringList hostnames = MachineIdentity::knownHostnames();
    const Snapshot *snapshot = &snapshots.first();
    for (const Snapshot &candidate : snapshots) {
        if (hostnames.contains(candidate.hostname)) {
            snapshot = &candidate;
            break;
        }
    }

    const auto entries = engine.browse(snapshot->id, QStringLiteral("/"), QString(), true, environment, stop);
    const SnapshotEntry *sample = nullptr;
    for (const SnapshotEntry &entry : entries) {
        // restic's JSON spells a name that is not UTF-8 with U+FFFD, which no --include can name.
        if (entry.type == QStringLiteral("file") && entry.size >= 1 && entry.size <= maximumSampleSize
            && !entry.path.contains(QChar::ReplacementCharacter)) {
            sample = &entry;
            break;
        }
    }
    if (!sample)
        throw OperationError(QStringLiteral("No small file found in the first 1,000 entries. Select a file in "
                                            "the browser and restore it to test recovery."));

    // A fresh name and mode 0700: no other user can see or plant anything in the sample.
    const QString folder = QDir::tempPath() + u'/' + sampleFolderPrefix() + uuidText(newUuid());
    if (::mkdir(LocalPath::encode(folder).constData(), 0700) != 0)
        throw Error(QStringLiteral("Could not create the folder %1: %2.").arg(folder, systemErrorText(errno)));

    try {
        const ResticCommand command
            = ResticCommand(QStringLiteral("restore"))
                  .option(QStringLiteral("--target"), folder)
                  .option(QStringLiteral("--include"), ResticEngine::literalInclude(sample->path))
                  .option(QStringLiteral("--overwrite"), QStringLiteral("never"))
                  .flag(QStringLiteral("--verify"))
                  .positional(snapshot->id);
        const ResticResult result = runStarted(engine, command, environment, stop);
        if (result.exitCode != 0)
            throw ResticError::command(QStringLiteral("Sample restore failed: ") + result.stderr);
        if (!QFileInfo::exists(folder + sample->path))
            throw ResticError::command(QStringLiteral("The sample file was not restored."));
        removeTree(folder);
        recordRestore(destination, snapshot->id, sample->path);
    } catch (const std::exception &error) {
        try {
            removeTree(folder);
        } catch (const Error &) {
            throw OperationError(errorDescription(error) + QStringLiteral(" Remove the temporary recovery sample at ")
                + folder + QStringLiteral("; cleanup failed."));
        }
        throw;
    }
    logLine(QStringLiteral("health"), QStringLiteral("Test restore of %1 verified.").arg(destination.name));
}

} // namespace vellmir
