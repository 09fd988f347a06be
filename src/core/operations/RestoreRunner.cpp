#include "operations/RestoreRunner.h"

#include "config/FileLock.h"
#include "engine/ResticCommand.h"
#include "exclude/FileWalk.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/ResticError.h"
#include "util/SystemError.h"
#include "util/TextRules.h"
#include "util/Uuid.h"
#include "util/Workers.h"

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

// restic's errors about single items: a failed restore ends with "There were N errors", which
// names none of them. The first hundred are kept, and how many came.
struct ItemErrors {
    static constexpr qsizetype kept = 100;
    QStringList first;
    qsizetype count = 0;
};

void parseStderr(State &state, ItemErrors &errors, const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    const QJsonDocument document = QJsonDocument::fromJson(trimmed.toUtf8());
    if (document.isObject()) {
        const QJsonObject object = document.object();
        if (object.value(QStringLiteral("message_type")) == QStringLiteral("error")) {
            const QString item = object.value(QStringLiteral("item")).toString();
            const QString message
                = object.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString();
            // An item's name may hold a line break: written out, it cannot pass for a line of its own.
            if (!message.isEmpty() && ++errors.count <= ItemErrors::kept)
                errors.first.append(
                    TextRules::visible(item.isEmpty() ? message : item + QStringLiteral(": ") + message));
            return;
        }
        const QJsonValue message = object.value(QStringLiteral("message"));
        if (message.isString()) {
            state.failureMessage = message.toString().trimmed();
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
    // Walks `folder`; a folder that cannot be listed leaves `complete` false.
    explicit WrittenFiles(const QString &folder)
    {
        complete = FileWalk::walk(folder, FileWalk::Values::type, *this) && complete;
    }

    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        if (item.values.isRegularFile || !item.values.readable) {
            files += item.values.isRegularFile ? 1 : 0;
            complete = complete && item.values.readable;
            entries.clear(); // only a tree without files is ever removed
        } else if (files == 0) {
            entries.append({ QByteArray(item.path, qsizetype(item.pathLength)), item.values.isDirectory });
        }
        return FileWalk::Step::descend;
    }
    void failed(const FileWalk::Item &, int) override { complete = false; }

    // Whether the folder was seen whole and holds no regular file.
    bool holdsNoFiles() const { return complete && files == 0; }

    qint64 files = 0;
    bool complete = true; // every folder could be listed and every item's type read
    // While no file was found: the folders, links and other entries, parents before children.
    QList<std::pair<QByteArray, bool>> entries; // path, is a folder
};

// Removes a restore folder that holds no regular file: its links and other entries, then its
// folders. rmdir() leaves a folder that gained an entry meanwhile, and a path that has become a
// regular file is left too, so no file can be lost. Returns whether the folder is gone.
bool removeFilelessTree(const QString &folder, const WrittenFiles &written)
{
    for (auto it = written.entries.crbegin(); it != written.entries.crend(); ++it) {
        const char *path = it->first.constData();
        if (it->second ? ::rmdir(path) != 0 : FileWalk::valuesAt(path).isRegularFile || ::unlink(path) != 0)
            return false;
    }
    return ::rmdir(LocalPath::encode(folder).constData()) == 0;
}

// A restore that ended without its result (failed or cancelled) takes away the folder it made
// when nothing in it is a file.
void removeIfFileless(State &state)
{
    if (!state.restoredPath)
        return;
    const WrittenFiles written(*state.restoredPath);
    if (written.holdsNoFiles() && removeFilelessTree(*state.restoredPath, written))
        state.restoredPath.reset();
}

struct Request {
    ResticEngine engine;
    CredentialsStore credentials;
    RepositoryHealthStore healthStore;
    Snapshot snapshot;
    Destination destination;
    QString target;
    std::optional<QString> include;
    // Whether the files to restore are counted first, for progress that someone watches.
    bool countFiles = false;
};

// The regular files the restore will write, as restic lists the snapshot (or the path asked
// for): what a finished restore counts. restic's own counts during the restore take in every
// folder it recreates, so "6 / 11 files" would end as "Restored 7 files". nullopt when the
// listing failed or found no file: restic's counts stand then.
std::optional<qint64> filesToRestore(const Request &request, const ResticEnvironment &environment, std::stop_token stop)
{
    ResticCommand command(QStringLiteral("ls"));
    command.flag(QStringLiteral("--json"));
    if (request.include)
        command.flag(QStringLiteral("--recursive"));
    command.positional(request.snapshot.id);
    if (request.include)
        command.positional(*request.include);
    qint64 files = 0;
    int status = -1;
    request.engine.streamBytes(command, environment, stop, [&](const ResticStreamBytes &event) {
        if (event.type == ResticStreamEvent::Type::finished)
            status = event.status;
        // Only a line that names a file is parsed: most of a large listing is not looked into.
        if (event.type != ResticStreamEvent::Type::stdoutLine || !event.line.contains(QByteArrayView("\"file\"")))
            return;
        const QJsonObject node = json::parseLine(event.line).object();
        if (node.value(QStringLiteral("struct_type")) == QStringLiteral("node")
            && node.value(QStringLiteral("type")) == QStringLiteral("file"))
            ++files;
    });
    if (status != 0 || files == 0)
        return std::nullopt;
    return files;
}

using Publish = std::function<void(const State &)>;

void fail(State &state, const Publish &publish, const QString &message)
{
    state.phase = Phase::failed;
    state.failureMessage = message;
    publish(state);
}

// The restore of a selection that restic found nothing of: restic exits 0 and verifies
// nothing, which must not read as proof that recovery works. The folder goes when it holds
// no regular file; anything else restic wrote stays for the user to see.
void failWithoutFiles(State &state, const Publish &publish, const Request &request, const WrittenFiles &written)
{
    const QString folder = state.restoredPath.value_or(QString());
    if (removeFilelessTree(folder, written))
        state.restoredPath.reset();
    const QString snapshot = request.snapshot.shortID;
    if (!request.include)
        fail(state, publish, QStringLiteral("Snapshot %1 holds no files to restore.").arg(snapshot));
    else if ((state.matchedNothing = written.entries.isEmpty()))
        fail(state, publish, QStringLiteral("Nothing in snapshot %1 matches %2.").arg(snapshot, *request.include));
    else
        fail(state, publish, QStringLiteral("Snapshot %1 holds no files at %2.").arg(snapshot, *request.include));
}

// The outcome once restic has ended with `status`. `finalName` is the folder's name once the
// restore is verified.
void finish(State &state, const Publish &publish, const Request &request, int status, const QString &lastStderr,
    const ItemErrors &errors, const QString &finalName)
{
    if (status != 0) {
        state.phase = Phase::failed;
        // When restic never ran (busy repository, no restic, failed launch) the engine's own
        // sentence says why; "exit code -1" alone would hide it.
        if (!state.failureMessage && status == -1 && !lastStderr.isEmpty())
            state.failureMessage = lastStderr;
        if (!state.failureMessage)
            state.failureMessage = QStringLiteral("Restore failed (exit code %1).").arg(status);
        // Every item restic named, each on its own line: the user decides by them what to try again.
        QStringList named;
        for (const QString &error : errors.first)
            if (!state.failureMessage->contains(error))
                named.append(error);
        if (errors.count > errors.first.size())
            named.append(QStringLiteral("(%1 more)").arg(errors.count - errors.first.size()));
        if (!named.isEmpty())
            state.failureMessage = *state.failureMessage + u':' + u'\n' + named.join(u'\n');
        removeIfFileless(state);
        if (state.restoredPath)
            state.failureMessage = *state.failureMessage + u'\n'
                + QStringLiteral("What was restored before it stopped is in %1.")
                      .arg(TextRules::visible(*state.restoredPath));
        publish(state);
        return;
    }
    const WrittenFiles written(state.restoredPath.value_or(QString()));
    // A folder that could not be listed may hold files; restic's counts stand then.
    if (written.holdsNoFiles()) {
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
        renameWithoutReplacing(*state.restoredPath, finalName);
        state.restoredPath = finalName;
    } catch (const std::exception &error) {
        state.failureMessage = QStringLiteral("Files restored and verified, but their folder keeps its unfinished "
                                              "name. ")
            + TextRules::visible(errorDescription(error));
    }
    try {
        request.healthStore.recordRestore(request.destination, request.snapshot.id, request.include);
    } catch (const std::exception &error) {
        const QString unsaved = QStringLiteral("Files restored and verified, but the recovery result could not be "
                                               "saved: ")
            + errorDescription(error);
        state.failureMessage = state.failureMessage ? *state.failureMessage + u'\n' + unsaved : unsaved;
    }
    publish(state);
    logLine(QStringLiteral("restore"),
        QStringLiteral("Restore of snapshot %1 from %2 finished.")
            .arg(request.snapshot.shortID, request.destination.name));
}

// restic's restore of the request into `folder`; throws for an include no pattern can spell.
ResticCommand restoreCommand(const Request &request, const QString &folder)
{
    ResticCommand command(QStringLiteral("restore"));
    command.option(QStringLiteral("--target"), folder)
        .flag(QStringLiteral("--json"))
        .option(QStringLiteral("--overwrite"), QStringLiteral("never"))
        .flag(QStringLiteral("--verify"));
    if (request.include)
        command.option(QStringLiteral("--include"), ResticEngine::literalInclude(*request.include));
    command.positional(request.snapshot.id);
    return command;
}

// A restore stopped on request: back to idle, its folder kept where it holds files.
void endCancelled(State &state, const Publish &publish, const Request &request)
{
    state.phase = Phase::idle;
    removeIfFileless(state);
    publish(state);
    logLine(QStringLiteral("restore"),
        QStringLiteral("Restore of snapshot %1 from %2 cancelled")
                .arg(request.snapshot.shortID, request.destination.name)
            + (state.restoredPath
                    ? QStringLiteral("; what it restored is in %1.").arg(TextRules::visible(*state.restoredPath))
                    : QStringLiteral(".")));
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

    const QString finalName = QDir::cleanPath(QDir(request.target).absolutePath()) + u'/'
        + RestoreRunner::folderPrefix() + uuidText(newUuid());
    // Until restic has verified what it wrote, the folder's name says the restore is unfinished:
    // one that a kill, a crash or a full disk stopped never passes for a finished one.
    const QString folder = finalName + unfinishedMark();

    std::optional<ResticCommand> command;
    try {
        command = restoreCommand(request, folder);
    } catch (const std::exception &error) {
        fail(state, publish, errorDescription(error));
        return;
    }

    // restic would happily write the restore into the repository it reads from.
    if (request.destination.kind == Destination::Kind::local
        && insideRepository(folder, request.destination.repository)) {
        fail(state, publish, QStringLiteral("Choose a restore folder outside the backup repository."));
        return;
    }

    // mkdir, not mkpath: a missing target is the user's mistake to hear about, and an
    // existing folder must never receive a restore.
    if (::mkdir(LocalPath::encode(folder).constData(), 0777) != 0) {
        fail(state, publish, QStringLiteral("Could not create the folder %1: %2.").arg(folder, systemErrorText(errno)));
        return;
    }
    state.restoredPath = folder;
    publish(state);

    std::optional<qint64> files;
    int status = -1;
    QString lastStderr;
    ItemErrors errors;
    const auto onEvent = [&](const ResticStreamBytes &event) {
        if (stop.stop_requested())
            return;
        const State before = state;
        switch (event.type) {
        case ResticStreamEvent::Type::stdoutLine:
            parseStdout(state, event.line);
            // Folders finish only after every file, so the files are done once restic's count
            // reaches theirs.
            if (files) {
                state.totalFiles = *files;
                state.filesRestored = std::min(state.filesRestored, *files);
            }
            break;
        case ResticStreamEvent::Type::stderrLine: {
            const QString line = event.text();
            parseStderr(state, errors, line);
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
    };
    try {
        if (request.countFiles)
            files = filesToRestore(request, environment, stop);
        if (files) {
            state.totalFiles = *files;
            publish(state);
        }
        request.engine.streamBytes(*command, environment, stop, onEvent);
    } catch (const ResticError &error) {
        // restic could not reach the repository, while counting or restoring: the run failed as
        // one that never started, and its empty folder goes.
        status = -1;
        lastStderr = error.message();
    }

    if (stop.stop_requested())
        endCancelled(state, publish, request);
    else
        finish(state, publish, request, status, lastStderr, errors, finalName);
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
    Request request { m_engine, m_credentials, m_healthStore, snapshot, destination, target, include, true };
    // The worker owns copies of all it needs, so the restore can end, and be recorded, after
    // the runner is gone. News of an earlier worker carries an older generation and is dropped.
    Workers::beyondViews().start(m_stop.get_token(),
        [receiver = m_receiver, generation, start, request = std::move(request)](std::stop_token stop) {
            State state = start;
            const auto publish = [&receiver, generation](const State &current) {
                receiver->post([generation, current](RestoreRunner *runner) {
                    if (generation == runner->m_generation)
                        runner->apply(current);
                });
            };
            performSafely(state, publish, request, stop);
        });
}

void RestoreRunner::cancel()
{
    m_stop.request_stop();
}

void RestoreRunner::execute(const Snapshot &snapshot, const Destination &destination, const QString &target,
    const std::optional<QString> &include, std::stop_token stop)
{
    State state = m_state;
    state.phase = Phase::running;
    apply(state);
    const Request request { m_engine, m_credentials, m_healthStore, snapshot, destination, target, include };
    performSafely(
        state, [this](const State &current) { apply(current); }, request, stop);
}

} // namespace vellmir
