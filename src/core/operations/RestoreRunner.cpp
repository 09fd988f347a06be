#include "operations/RestoreRunner.h"

#include "config/FileLock.h"
#include "engine/ResticCommand.h"
#include "exclude/FileWalk.h"
#include "util/Json.h"
#include "util/Log.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>

#include <cerrno>
#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vellmir {

namespace {

using State = RestoreRunner::State;
using Phase = RestoreRunner::Phase;

void parseStdout(State &state, QByteArrayView line)
{
    const QJsonDocument document = json::parseLine(line);
    if (!document.isObject())
        return;
    const QJsonObject object = document.object();
    const QJsonValue type = object.value(QStringLiteral("message_type"));
    if (!type.isString())
        return;
    const auto count = [&](const char *key) { return json::toInt64(object.value(QLatin1String(key))); };
    if (type.toString() == QLatin1String("status")) {
        if (const QJsonValue percent = object.value(QStringLiteral("percent_done")); percent.isDouble())
            state.percent = percent.toDouble();
        if (const auto value = count("files_restored"))
            state.filesRestored = *value;
        if (const auto value = count("total_files"))
            state.totalFiles = *value;
        if (const auto value = count("bytes_restored"))
            state.bytesRestored = *value;
        if (const auto value = count("total_bytes"))
            state.totalBytes = *value;
    } else if (type.toString() == QLatin1String("summary")) {
        state.summary = RestoreSummary { count("files_restored").value_or(0), count("total_files").value_or(0),
            count("bytes_restored").value_or(0), count("total_bytes").value_or(0) };
        state.percent = 1;
    }
}

void parseStderr(State &state, const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    const QJsonDocument document = QJsonDocument::fromJson(trimmed.toUtf8());
    if (document.isObject()) {
        const QJsonValue message = document.object().value(QStringLiteral("message"));
        if (message.isString()) {
            state.failureMessage = message.toString();
            return;
        }
    }
    const QString lower = trimmed.toLower();
    if (lower.startsWith(QLatin1String("fatal")) || lower.contains(QLatin1String("error:")))
        state.failureMessage = trimmed;
}

// Whether `path` is the repository folder or lies inside it, symbolic links resolved on both.
bool insideRepository(const QString &path, const QString &repository)
{
    const QString location = Destination::localFolder(repository.trimmed());
    if (location.isEmpty())
        return false;
    // restic takes a relative repository path from the working folder it inherits from us.
    const QString folder = FileLock::normalizedRepository(path);
    const QString root = FileLock::normalizedRepository(QDir::current().absoluteFilePath(location));
    if (root == QLatin1String("/"))
        return true;
    return folder == root || folder.startsWith(root + u'/');
}

// What a restore left in its folder. restic's own counts take in every folder it recreates on
// the way to the selection, so one file restored reads as several; the regular files are
// what it wrote and verified.
class WrittenFiles : public FileWalk::Visitor {
public:
    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        if (item.values.isRegularFile)
            ++files;
        if (!item.values.isDirectory) {
            onlyFolders = false;
            folders.clear(); // only a tree of empty folders is ever removed
        } else if (onlyFolders) {
            folders.append(QByteArray(item.path, qsizetype(item.pathLength)));
        }
        return FileWalk::Step::descend;
    }
    void failed(const FileWalk::Item &, int) override { complete = false; }

    qint64 files = 0;
    bool onlyFolders = true; // nothing but folders, if anything at all
    bool complete = true; // every folder could be listed
    QList<QByteArray> folders; // while onlyFolders: parents before their children
};

// Removes a restore folder that holds nothing but empty folders. rmdir() leaves anything
// that gained an entry meanwhile, so no file can be lost. Returns whether the folder is gone.
bool removeEmptyTree(const QString &folder, const WrittenFiles &written)
{
    for (auto it = written.folders.crbegin(); it != written.folders.crend(); ++it)
        if (::rmdir(it->constData()) != 0)
            return false;
    return ::rmdir(QFile::encodeName(folder).constData()) == 0;
}

struct Request {
    ResticEngine engine;
    CredentialsStore credentials;
    RepositoryHealthStore healthStore;
    Snapshot snapshot;
    Destination destination;
    QString target;
    std::optional<QString> include;
    // Names the snapshot restic restored, once it has; `snapshot.id` is then only what restic
    // was asked for.
    std::function<Snapshot()> identify;
};

using Publish = std::function<void(const State &)>;

void fail(State &state, const Publish &publish, const QString &message)
{
    state.phase = Phase::failed;
    state.failureMessage = message;
    publish(state);
}

// The restore of a selection that restic found nothing of: restic exits 0 and verifies
// nothing, which must not read as proof that recovery works. The folder goes when it holds
// nothing but empty folders; anything else restic wrote stays for the user to see.
void failWithoutFiles(State &state, const Publish &publish, const Request &request, const WrittenFiles &written)
{
    const QString folder = state.restoredPath.value_or(QString());
    if (written.onlyFolders && removeEmptyTree(folder, written))
        state.restoredPath.reset();
    const QString snapshot = request.snapshot.shortID;
    if (!request.include)
        fail(state, publish, QStringLiteral("Snapshot %1 holds no files to restore.").arg(snapshot));
    else if (written.folders.isEmpty() && written.onlyFolders)
        fail(state, publish, QStringLiteral("Nothing in snapshot %1 matches %2.").arg(snapshot, *request.include));
    else
        fail(state, publish, QStringLiteral("Snapshot %1 holds no files at %2.").arg(snapshot, *request.include));
}

// The outcome once restic has ended with `status`.
void finish(State &state, const Publish &publish, const Request &request, int status, const QString &lastStderr)
{
    if (status != 0) {
        state.phase = Phase::failed;
        // When restic never ran (busy repository, no restic, failed launch) the engine's own
        // sentence says why; "exit code -1" alone would hide it.
        if (!state.failureMessage && status == -1 && !lastStderr.isEmpty())
            state.failureMessage = lastStderr;
        if (!state.failureMessage)
            state.failureMessage = QStringLiteral("Restore failed (exit code %1).").arg(status);
        publish(state);
        return;
    }
    WrittenFiles written;
    FileWalk::walk(state.restoredPath.value_or(QString()), FileWalk::Values::type, written);
    // A folder that could not be listed may hold files; restic's counts stand then.
    if (written.complete && written.files == 0) {
        failWithoutFiles(state, publish, request, written);
        return;
    }
    state.phase = Phase::finished;
    state.percent = 1;
    if (!state.summary)
        state.summary = RestoreSummary { state.filesRestored, state.totalFiles, state.bytesRestored, state.totalBytes };
    if (written.complete) {
        state.filesRestored = state.totalFiles = written.files;
        state.summary->filesRestored = state.summary->totalFiles = written.files;
    }
    try {
        request.healthStore.recordRestore(request.destination, request.snapshot.id, request.include);
    } catch (const std::exception &error) {
        state.failureMessage
            = QStringLiteral("Files restored and verified, but the recovery result could not be saved: ")
            + errorDescription(error);
    }
    publish(state);
    logLine(QStringLiteral("restore"),
        QStringLiteral("Restore of snapshot %1 from %2 finished.")
            .arg(request.snapshot.shortID, request.destination.name));
}

// The restore itself. Builds the outcome in `state` and hands every change to `publish`.
void perform(State &state, const Publish &publish, const Request &request, std::stop_token stop)
{
    ResticEnvironment environment;
    try {
        environment = request.credentials.resticEnvironment(request.destination);
    } catch (const std::exception &error) {
        fail(state, publish, errorDescription(error));
        return;
    }

    const QString folder = QDir::cleanPath(QDir(request.target).absolutePath()) + u'/' + RestoreRunner::folderPrefix()
        + uuidText(newUuid());

    ResticCommand command(QStringLiteral("restore"));
    command.option(QStringLiteral("--target"), folder)
        .flag(QStringLiteral("--json"))
        .option(QStringLiteral("--overwrite"), QStringLiteral("never"))
        .flag(QStringLiteral("--verify"));
    if (request.include) {
        try {
            command.option(QStringLiteral("--include"), ResticEngine::literalInclude(*request.include));
        } catch (const std::exception &error) {
            fail(state, publish, errorDescription(error));
            return;
        }
    }
    command.positional(request.snapshot.id);

    // restic would happily write the restore into the repository it reads from.
    if (request.destination.kind == Destination::Kind::local
        && insideRepository(folder, request.destination.repository)) {
        fail(state, publish, QStringLiteral("Choose a restore folder outside the backup repository."));
        return;
    }

    // mkdir, not mkpath: a missing target is the user's mistake to hear about, and an
    // existing folder must never receive a restore.
    if (::mkdir(QFile::encodeName(folder).constData(), 0777) != 0) {
        fail(state, publish,
            QStringLiteral("Could not create the folder %1: %2.")
                .arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    state.restoredPath = folder;
    publish(state);

    int status = -1;
    QString lastStderr;
    request.engine.streamBytes(command, environment, stop, [&](const ResticStreamBytes &event) {
        if (stop.stop_requested())
            return;
        const State before = state;
        switch (event.type) {
        case ResticStreamEvent::Type::stdoutLine:
            parseStdout(state, event.line);
            break;
        case ResticStreamEvent::Type::stderrLine: {
            const QString line = event.text();
            parseStderr(state, line);
            if (!line.trimmed().isEmpty())
                lastStderr = line.trimmed();
            break;
        }
        case ResticStreamEvent::Type::finished:
            status = event.status;
            break;
        }
        if (!(state == before))
            publish(state);
    });

    if (stop.stop_requested()) {
        state.phase = Phase::idle;
        publish(state);
        return;
    }
    if (status == 0 && request.identify) {
        Request identified = request;
        identified.snapshot = request.identify();
        finish(state, publish, identified, status, lastStderr);
        return;
    }
    finish(state, publish, request, status, lastStderr);
}

// perform() that never lets an exception escape: an unforeseen one fails the restore.
void performSafely(State &state, const Publish &publish, const Request &request, std::stop_token stop)
{
    try {
        perform(state, publish, request, stop);
    } catch (const std::exception &error) {
        state.phase = Phase::failed;
        state.failureMessage = errorDescription(error);
        publish(state);
    } catch (...) {
        state.phase = Phase::failed;
        state.failureMessage = QStringLiteral("The restore failed unexpectedly.");
        publish(state);
    }
}

} // namespace

QString RestoreRunner::folderPrefix()
{
    return QStringLiteral("Vellmir Restore ");
}

RestoreRunner::RestoreRunner(
    ResticEngine engine, CredentialsStore credentials, RepositoryHealthStore healthStore, QObject *parent)
    : QObject(parent)
    , m_engine(std::move(engine))
    , m_credentials(std::move(credentials))
    , m_healthStore(std::move(healthStore))
    , m_receiver(Receiver<RestoreRunner>::make(this))
{
}

RestoreRunner::~RestoreRunner()
{
    m_receiver->close();
}

void RestoreRunner::apply(const State &next)
{
    const State previous = m_state;
    m_state = next;
    if (previous.phase != next.phase)
        Q_EMIT phaseChanged();
    if (previous.percent != next.percent)
        Q_EMIT percentChanged();
    if (previous.filesRestored != next.filesRestored)
        Q_EMIT filesRestoredChanged();
    if (previous.totalFiles != next.totalFiles)
        Q_EMIT totalFilesChanged();
    if (previous.bytesRestored != next.bytesRestored)
        Q_EMIT bytesRestoredChanged();
    if (previous.totalBytes != next.totalBytes)
        Q_EMIT totalBytesChanged();
    if (previous.summary != next.summary)
        Q_EMIT summaryChanged();
    if (previous.failureMessage != next.failureMessage)
        Q_EMIT failureMessageChanged();
    if (previous.restoredPath != next.restoredPath)
        Q_EMIT restoredPathChanged();
}

void RestoreRunner::reset()
{
    apply(State {});
}

void RestoreRunner::run(const Snapshot &snapshot, const Destination &destination, const QString &target,
    const std::optional<QString> &include)
{
    if (m_state.phase == Phase::running)
        return;
    State start;
    start.phase = Phase::running;
    apply(start);

    const quint64 generation = ++m_generation;
    m_stop = std::stop_source();
    Request request { m_engine, m_credentials, m_healthStore, snapshot, destination, target, include, {} };
    // The worker owns copies of all it needs, so the restore can end, and be recorded, after
    // the runner is gone. News of an earlier worker carries an older generation and is dropped.
    std::thread([receiver = m_receiver, generation, start, request = std::move(request), stop = m_stop.get_token()] {
        State state = start;
        const auto publish = [&receiver, generation](const State &current) {
            receiver->post([generation, current](RestoreRunner *runner) {
                if (generation == runner->m_generation)
                    runner->apply(current);
            });
        };
        performSafely(state, publish, request, stop);
    }).detach();
}

void RestoreRunner::cancel()
{
    m_stop.request_stop();
}

void RestoreRunner::execute(const Snapshot &snapshot, const Destination &destination, const QString &target,
    const std::optional<QString> &include, std::stop_token stop, std::function<Snapshot()> identify)
{
    State state = m_state;
    state.phase = Phase::running;
    apply(state);
    const Request request { m_engine, m_credentials, m_healthStore, snapshot, destination, target, include,
        std::move(identify) };
    performSafely(
        state, [this](const State &current) { apply(current); }, request, stop);
}

} // namespace vellmir
