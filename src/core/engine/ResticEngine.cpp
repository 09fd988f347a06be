#include "engine/ResticEngine.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "config/FileLock.h"
#include "engine/ResticProcess.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/ResticError.h"
#include "util/SystemError.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char **environ;

namespace vellmir {

namespace {

const QString repositoryKey = QStringLiteral("RESTIC_REPOSITORY");

// Inherited variables that could name another repository or carry its secrets. restic's own TLS
// settings are kept: they name only files (a private CA, a client certificate) that the user set
// for restic, and nothing else can tell restic about them.
bool scrubbed(const char *entry)
{
    if (std::strncmp(entry, "RESTIC_CACERT=", 14) == 0 || std::strncmp(entry, "RESTIC_TLS_CLIENT_CERT=", 23) == 0)
        return false;
    return std::strncmp(entry, "RESTIC_", 7) == 0 || std::strncmp(entry, "AWS_", 4) == 0
        || std::strncmp(entry, "B2_", 3) == 0;
}

// What a run does with the repository, in the words of the sentence that names it to a run of
// this process that finds the repository taken.
QString workOf(const ResticCommand &command)
{
    const QString &verb = command.command();
    if (verb == QLatin1String("backup"))
        return command.arguments().contains(QStringLiteral("--dry-run")) ? QStringLiteral("a size estimate")
                                                                         : QStringLiteral("a backup");
    if (verb == QLatin1String("forget") || verb == QLatin1String("prune"))
        return QStringLiteral("retention");
    if (verb == QLatin1String("check"))
        return QStringLiteral("a check");
    if (verb == QLatin1String("restore") || verb == QLatin1String("dump"))
        return QStringLiteral("a restore");
    if (verb == QLatin1String("ls") || verb == QLatin1String("find"))
        return QStringLiteral("a look into a snapshot");
    if (verb == QLatin1String("snapshots"))
        return QStringLiteral("a listing of its snapshots");
    if (verb == QLatin1String("stats"))
        return QStringLiteral("a size measurement");
    return QStringLiteral("another task");
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QString executableDirectory()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
}

// Output from the pump thread to the thread that calls the handler. Unbounded, so restic is
// never held up by the consumer; raw bytes rather than lines, so that every line is made and
// freed on one thread.
class ChunkQueue {
public:
    void push(std::vector<ResticProcess::Chunk> &batch)
    {
        {
            std::lock_guard guard(m_mutex);
            if (m_chunks.empty())
                m_chunks.swap(batch);
            else
                std::move(batch.begin(), batch.end(), std::back_inserter(m_chunks));
        }
        m_ready.notify_one();
    }

    void close()
    {
        {
            std::lock_guard guard(m_mutex);
            m_closed = true;
        }
        m_ready.notify_one();
    }

    // Waits for chunks and swaps them into `out` (which must be empty); false once closed and empty.
    bool take(std::vector<ResticProcess::Chunk> &out)
    {
        std::unique_lock guard(m_mutex);
        m_ready.wait(guard, [this] { return !m_chunks.empty() || m_closed; });
        if (m_chunks.empty())
            return false;
        out.swap(m_chunks);
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<ResticProcess::Chunk> m_chunks;
    bool m_closed = false;
};

// One stream's bytes turned into lines: split at line feeds only (a carriage return stays),
// empty lines kept, invalid UTF-8 replaced with U+FFFD, a last unterminated line delivered
// at the end.
class LineSplitter {
public:
    template <typename Emit> void feed(const QByteArray &bytes, Emit &&emit)
    {
        const char *data = bytes.constData();
        const qsizetype size = bytes.size();
        qsizetype start = 0;
        while (start < size) {
            const void *found = std::memchr(data + start, '\n', size_t(size - start));
            if (!found)
                break;
            const qsizetype end = static_cast<const char *>(found) - data;
            if (m_pending.isEmpty()) {
                emit(data + start, end - start);
            } else {
                m_pending.append(data + start, end - start);
                emit(m_pending.constData(), m_pending.size());
                m_pending.clear();
            }
            start = end + 1;
        }
        if (start < size)
            m_pending.append(data + start, size - start);
    }

    template <typename Emit> void finish(Emit &&emit)
    {
        if (!m_pending.isEmpty())
            emit(m_pending.constData(), m_pending.size());
        m_pending.clear();
    }

    void drop() { m_pending.clear(); }

private:
    QByteArray m_pending;
};

// Hands each line of what the pump queued to `deliver`, until the queue is closed and empty.
template <typename Deliver> void splitIntoLines(ChunkQueue &queue, Deliver &&deliver)
{
    LineSplitter splitters[2];
    std::vector<ResticProcess::Chunk> chunks;
    while (queue.take(chunks)) {
        for (const ResticProcess::Chunk &chunk : chunks) {
            LineSplitter &splitter = splitters[chunk.isStderr ? 1 : 0];
            const auto type
                = chunk.isStderr ? ResticStreamEvent::Type::stderrLine : ResticStreamEvent::Type::stdoutLine;
            auto emit = [&](const char *data, qsizetype size) { deliver(type, QByteArrayView(data, size)); };
            switch (chunk.kind) {
            case ResticProcess::Chunk::Kind::data:
                splitter.feed(chunk.bytes, emit);
                break;
            case ResticProcess::Chunk::Kind::end:
                splitter.finish(emit);
                break;
            case ResticProcess::Chunk::Kind::failed:
                // Reported on standard error whichever pipe failed; the partial line is lost.
                splitter.drop();
                deliver(ResticStreamEvent::Type::stderrLine,
                    (QStringLiteral("Output read failed: ") + systemErrorText(chunk.error)).toUtf8());
                break;
            }
        }
        chunks.clear();
    }
}

// `program` followed by `arguments`, as the child's argv. A path read from disk turns back
// into its own bytes, even where they are not UTF-8.
QByteArrayList toArguments(const QByteArray &program, const QStringList &arguments)
{
    QByteArrayList result { program };
    for (const QString &argument : arguments)
        result.append(LocalPath::encode(argument));
    return result;
}

// Takes a line of the run; false when the run should stop (its handler failed).
using LineSink = std::function<bool(ResticStreamEvent::Type, QByteArrayView)>;

// Runs one child to its end, handing its lines to `sink` on the calling thread. Returns its
// status, or -1 after a sink line that says why it could not start.
int runChild(const QByteArray &program, const QByteArrayList &arguments, const QByteArrayList &environment, int lock,
    std::stop_token stop, const LineSink &sink)
{
    const auto fail = [&sink](const QString &message) {
        sink(ResticStreamEvent::Type::stderrLine, message.toUtf8());
        return -1;
    };
    std::optional<ResticProcess> process;
    try {
        process.emplace();
    } catch (const Error &error) {
        return fail(error.message());
    }

    // The stop check and the launch happen under the mutex the stop callback also takes, so a
    // stop either comes first and prevents the launch, or comes after it and signals the child.
    std::mutex launchMutex;
    std::stop_callback onStop(stop, [&process, &launchMutex] {
        const std::lock_guard guard(launchMutex);
        process->cancel();
    });
    int launchError = 0;
    {
        const std::lock_guard guard(launchMutex);
        if (stop.stop_requested())
            return fail(CancellationError().message());
        launchError = process->start(program, arguments, environment, lock);
    }
    if (launchError != 0)
        return fail(QStringLiteral("Could not start restic: ") + systemErrorText(launchError));

    ChunkQueue queue;
    int status = -1;
    auto pump = [&] {
        try {
            status = process->pump([&queue](std::vector<ResticProcess::Chunk> &batch) { queue.push(batch); });
        } catch (...) {
            // Out of memory while reading: the process object still kills and reaps the child.
        }
        queue.close();
    };
    std::jthread pumpThread;
    try {
        pumpThread = std::jthread(pump);
    } catch (const std::system_error &) {
        pump(); // no thread to spare: read everything here, deliver it afterwards
    }

    bool sinking = true;
    splitIntoLines(queue, [&](ResticStreamEvent::Type type, QByteArrayView line) {
        if (sinking && !sink(type, line)) {
            sinking = false;
            process->cancel();
        }
    });
    if (pumpThread.joinable())
        pumpThread.join();
    return status;
}

// Holds back the lines of a first attempt for as long as they may belong to restic's refusal
// of a lock held by someone else: its plain-text preamble on standard output ("create
// exclusive lock for repository") and the refusal on standard error. The first JSON message
// or path of a plain listing on standard output, or any other line on standard error, shows
// that restic got past the lock or failed for another reason; from then on lines go straight
// through, and a long listing is never held whole.
class LockRefusalFilter {
public:
    bool line(ResticStreamEvent::Type type, QByteArrayView line, const LineSink &sink)
    {
        if (m_live)
            return sink(type, line);
        const bool isStderr = type == ResticStreamEvent::Type::stderrLine;
        if (isStderr && line.contains(QByteArrayView("unable to create lock in backend")))
            m_refused = true;
        const bool output = !isStderr && (line.startsWith('{') || line.startsWith('[') || line.startsWith('/'));
        if (m_refused || !(isStderr || output)) {
            m_held.push_back({ type, line.toByteArray() });
            return true;
        }
        m_live = true;
        return flush(sink) && sink(type, line);
    }

    // Whether every line so far was held back.
    bool mayRetry() const { return !m_live; }

    bool flush(const LineSink &sink)
    {
        m_live = true;
        for (const auto &[type, bytes] : std::exchange(m_held, {}))
            if (!sink(type, bytes))
                return false;
        return true;
    }

private:
    std::vector<std::pair<ResticStreamEvent::Type, QByteArray>> m_held;
    bool m_refused = false;
    bool m_live = false;
};

// Follows restic's reports of backend retries during one run ("Stat(<config/>) returned error,
// retrying after 1.2s: <reason>") and stops the run once restic has gone on retrying, with no
// success in between, for `bound`: restic itself would go on for 15 minutes, and no option of
// its shortens that. Only a repository that stays out of reach counts, so a long backup that
// meets a short outage is left to ride it out. A reason that no retry can mend (a certificate
// this computer does not trust, a bucket that does not exist) stops the run at once.
class RetryWatch {
public:
    RetryWatch(std::stop_token outer, std::chrono::milliseconds bound)
        : m_bound(bound)
        , m_forward(outer, [this] { m_stop.request_stop(); })
        , m_timer([this](std::stop_token done) { watch(done); })
    {
    }

    std::stop_token token() const { return m_stop.get_token(); }

    void line(QByteArrayView bytes)
    {
        static const QByteArray retrying = QByteArrayLiteral(" returned error, retrying after ");
        static const QByteArray recovered = QByteArrayLiteral(" operation successful after ");
        const qsizetype at = bytes.indexOf(retrying);
        std::lock_guard guard(m_mutex);
        if (at < 0) {
            if (bytes.indexOf(recovered) >= 0 && m_since) {
                m_since.reset();
                m_wake.notify_all();
            }
            return;
        }
        const QString text = QString::fromUtf8(bytes);
        const qsizetype reason = text.indexOf(QStringLiteral(": "), at + retrying.size());
        m_reason = reason < 0 ? text.trimmed() : text.mid(reason + 2).trimmed();
        if (hopeless(m_reason)) {
            m_hopeless = true;
            giveUp();
        } else if (!m_since) {
            m_since = std::chrono::steady_clock::now();
            m_wake.notify_all();
        }
    }

    // Why the run was stopped, in the user's words, when the watch stopped it.
    std::optional<QString> gaveUp()
    {
        std::lock_guard guard(m_mutex);
        if (!m_gaveUp)
            return std::nullopt;
        if (m_hopeless)
            return m_reason;
        return m_reason
            + QStringLiteral(" (restic was still retrying after %1 seconds)")
                  .arg(std::chrono::duration_cast<std::chrono::seconds>(m_bound).count());
    }

private:
    static bool hopeless(const QString &reason)
    {
        return reason.contains(QStringLiteral("x509: ")) || ResticEngine::missingBucket(reason);
    }

    void watch(std::stop_token done)
    {
        std::unique_lock lock(m_mutex);
        while (!done.stop_requested() && !m_gaveUp) {
            if (!m_since) {
                m_wake.wait(lock, done, [this] { return m_since.has_value() || m_gaveUp; });
                continue;
            }
            const auto since = *m_since;
            if (!m_wake.wait_until(lock, done, since + m_bound, [&] { return m_since != since || m_gaveUp; })
                && !done.stop_requested())
                giveUp();
        }
    }

    void giveUp()
    {
        m_gaveUp = true;
        m_stop.request_stop();
        m_wake.notify_all();
    }

    const std::chrono::milliseconds m_bound;
    std::stop_source m_stop;
    std::stop_callback<std::function<void()>> m_forward;
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    QString m_reason;
    std::optional<std::chrono::steady_clock::time_point> m_since; // the start of the retries in a row
    bool m_hopeless = false;
    bool m_gaveUp = false;
    std::jthread m_timer; // last: stopped and joined before the members it uses go
};

} // namespace

ResticEngine::ResticEngine(std::optional<QString> binary, std::optional<QString> lockDirectory)
    : m_binary(std::move(binary))
    , m_lockDirectory(std::move(lockDirectory))
{
}

ResticEngine::ResticEngine(std::optional<QString> binary, std::optional<QString> lockDirectory, QStringList searchPaths)
    : m_binary(std::move(binary))
    , m_lockDirectory(std::move(lockDirectory))
    , m_searchPaths(std::move(searchPaths))
{
}

ResticEngine ResticEngine::withRetryBound(std::chrono::milliseconds bound) const
{
    ResticEngine engine = *this;
    engine.m_retryBound = bound;
    return engine;
}

bool ResticEngine::missingBucket(const QString &reason)
{
    return reason.endsWith(QStringLiteral("The specified bucket does not exist"))
        || reason.endsWith(QStringLiteral("The specified bucket does not exist."));
}

QStringList ResticEngine::fallbackPaths()
{
    return { QStringLiteral("/usr/local/bin/restic"), QStringLiteral("/usr/bin/restic") };
}

QStringList ResticEngine::lockRetry()
{
    return { QStringLiteral("--retry-lock"), QStringLiteral("1m") };
}

ResticEngine ResticEngine::holdingLock(const QString &repository, const FileLock &lock) const
{
    ResticEngine engine = *this;
    engine.m_heldLockPath = FileLock::repositoryLockPath(repository, m_lockDirectory.value_or(QString()));
    engine.m_heldLockDescriptor = lock.descriptor();
    return engine;
}

QStringList ResticEngine::defaultSearchPaths()
{
    return QStringList { executableDirectory() + QStringLiteral("/restic") } + fallbackPaths();
}

QString ResticEngine::minimumRelease()
{
    return QStringLiteral("0.17");
}

namespace {

// The executables whose release was found good enough, kept across processes: one line per
// file, naming its path and the identity, size and times it had then. A file replaced or
// changed in any way is a new line, asked again.
QString checkedReleasesFile()
{
    return AppPaths::cacheDirectory() + QStringLiteral("/restic-releases-checked");
}

// The file holds a few short lines; more than this is junk.
constexpr qsizetype checkedReleasesLimit = 64 * 1024;

// A line as rememberCheckedRelease() writes it: a path, a tab, then the file's identity.
bool isCheckedRelease(const QByteArray &line)
{
    static const QRegularExpression shape(QStringLiteral(R"(\A[^\n]+\t\d+:\d+:\d+:-?\d+\.\d+:-?\d+\.\d+\z)"));
    return shape.match(QString::fromUtf8(line)).hasMatch();
}

// Its well-formed lines; none when it cannot be read, since it is only a cache.
QByteArrayList checkedReleases()
{
    QByteArray data;
    try {
        data = readFileIfExists(checkedReleasesFile(), checkedReleasesLimit).value_or(QByteArray());
    } catch (const Error &) {
        // Not a file we wrote (a link, a FIFO, junk): the next remembered release replaces it.
    }
    QByteArrayList lines = data.split('\n');
    lines.removeIf([](const QByteArray &line) { return !isCheckedRelease(line); });
    return lines;
}

void rememberCheckedRelease(const QString &key)
{
    constexpr qsizetype kept = 8;
    QByteArrayList lines = checkedReleases();
    lines.removeAll(key.toUtf8());
    lines.append(key.toUtf8());
    if (lines.size() > kept)
        lines = lines.mid(lines.size() - kept);
    try {
        writeFileAtomically(checkedReleasesFile(), lines.join('\n') + '\n');
    } catch (const Error &) {
        // Only a cache: the next process asks restic again.
    }
}

} // namespace

std::optional<QString> ResticEngine::releaseProblem(const QString &program, std::stop_token stop) const
{
    // Asked once per executable file, and remembered across processes when the answer was good:
    // a file replaced by another release (the user followed the advice below) is a new file and
    // is asked again.
    static std::mutex mutex;
    static QHash<QString, std::optional<QString>> verdicts;
    QString key = program;
    struct stat info { };
    const bool identified = ::stat(LocalPath::encode(program).constData(), &info) == 0;
    if (identified)
        key += QStringLiteral("\t%1:%2:%3:%4.%5:%6.%7")
                   .arg(info.st_dev)
                   .arg(info.st_ino)
                   .arg(info.st_size)
                   .arg(info.st_mtim.tv_sec)
                   .arg(info.st_mtim.tv_nsec)
                   .arg(info.st_ctim.tv_sec)
                   .arg(info.st_ctim.tv_nsec);
    key.replace(u'\n', u' ');
    {
        const std::lock_guard guard(mutex);
        const auto found = verdicts.constFind(key);
        if (found != verdicts.constEnd())
            return *found;
    }
    // One check per executable at a time: a thread that waited here finds the first one's verdict
    // instead of starting restic again.
    static std::mutex checking;
    const std::lock_guard one(checking);
    {
        const std::lock_guard guard(mutex);
        const auto found = verdicts.constFind(key);
        if (found != verdicts.constEnd())
            return *found;
    }
    if (identified && checkedReleases().contains(key.toUtf8())) {
        const std::lock_guard guard(mutex);
        verdicts.insert(key, std::nullopt);
        return std::nullopt;
    }

    // "restic 0.18.0 compiled with go1.24.1 on linux/amd64". An answer of another shape is let
    // through: the run itself then says what is wrong.
    const ResticResult result
        = ResticEngine(program, m_lockDirectory).run(ResticCommand(QStringLiteral("version")), {}, stop);
    if (result.exitCode == -1)
        return std::nullopt; // not even started; the run will not start either and says why
    static const QRegularExpression pattern(QStringLiteral("^restic ((\\d+)\\.(\\d+)\\S*)"));
    const QRegularExpressionMatch match = pattern.match(result.stdout.trimmed());
    std::optional<QString> verdict;
    if (match.hasMatch()) {
        const QStringList needed = minimumRelease().split(u'.');
        const std::pair found { match.captured(2).toInt(), match.captured(3).toInt() };
        if (found < std::pair { needed.at(0).toInt(), needed.at(1).toInt() })
            verdict = QStringLiteral("%1 is restic %2, but Vellmir needs restic %3 or newer.")
                          .arg(program, match.captured(1), minimumRelease());
        else if (identified)
            rememberCheckedRelease(key);
    }
    const std::lock_guard guard(mutex);
    verdicts.insert(key, verdict);
    return verdict;
}

std::optional<QString> ResticEngine::locateBinary() const
{
    if (m_binary)
        return m_binary;
    for (const QString &candidate : m_searchPaths ? *m_searchPaths : defaultSearchPaths()) {
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

QByteArrayList ResticEngine::childEnvironment(const ResticEnvironment &environment)
{
    QSet<QByteArray> overlaid;
    for (auto it = environment.begin(); it != environment.end(); ++it)
        overlaid.insert(it.key().toUtf8());
    QByteArrayList result;
    for (char **entry = environ; entry && *entry; ++entry) {
        if (scrubbed(*entry))
            continue;
        const char *equals = std::strchr(*entry, '=');
        const QByteArray name = equals ? QByteArray(*entry, equals - *entry) : QByteArray(*entry);
        if (!overlaid.contains(name))
            result.append(QByteArray(*entry));
    }
    for (auto it = environment.begin(); it != environment.end(); ++it) {
        // A name with "=" or nothing at all cannot be expressed in an environment entry.
        if (it.key().isEmpty() || it.key().contains(u'='))
            continue;
        result.append(it.key().toUtf8() + '=' + it.value().toUtf8());
    }
    // Nothing may ask: with a display set, ssh would otherwise start a graphical askpass program
    // and a backup would wait on its window. Left to a user who chose otherwise.
    if (!std::any_of(result.cbegin(), result.cend(),
            [](const QByteArray &entry) { return entry.startsWith("SSH_ASKPASS_REQUIRE="); }))
        result.append("SSH_ASKPASS_REQUIRE=never");
    return result;
}

std::optional<QString> ResticEngine::repositoryRefusal(const QString &repository)
{
    const QString optionRefusal = QStringLiteral(
        "An SFTP address cannot name a host or user that starts with \"-\": ssh would read it as an option.");
    // Read as restic reads the two SFTP forms: "sftp:user@host:path", split at the first ":",
    // and "sftp://user@host:port/path", whose user and host restic percent-decodes.
    QString user;
    QString host;
    if (repository.startsWith(QLatin1String("sftp://"))) {
        QString authority = repository.mid(7);
        for (qsizetype i = 0; i < authority.size(); ++i)
            if (authority.at(i) == u'/' || authority.at(i) == u'?' || authority.at(i) == u'#') {
                authority.truncate(i);
                break;
            }
        const qsizetype at = authority.lastIndexOf(u'@');
        if (at >= 0) {
            user = QString::fromUtf8(QByteArray::fromPercentEncoding(authority.left(at).section(u':', 0, 0).toUtf8()));
            authority = authority.mid(at + 1);
        }
        host = QString::fromUtf8(QByteArray::fromPercentEncoding(authority.toUtf8()));
    } else if (repository.startsWith(QLatin1String("sftp:"))) {
        // restic ends the user at the second "@" ("a@b@host" is user a@b), and ssh splits what it
        // is given as the host at its last "@" once more: whichever split applies, no part between
        // the "@"s may reach ssh as an option.
        for (const QString &part : repository.mid(5).section(u':', 0, 0).split(u'@'))
            if (part.startsWith(u'-') || part.startsWith(QLatin1String("[-")))
                return optionRefusal;
        return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (user.startsWith(u'-'))
        return optionRefusal;
    // An address in brackets ("[host]:port") loses them before it reaches ssh, which splits a
    // decoded "@" off once more.
    for (const QString &part : host.split(u'@'))
        if (part.startsWith(u'-') || part.startsWith(QLatin1String("[-")))
            return optionRefusal;
    return std::nullopt;
}

void ResticEngine::stream(const ResticCommand &command, const ResticEnvironment &environment, std::stop_token stop,
    const EventHandler &onEvent) const
{
    streamBytes(command, environment, stop, [&onEvent](const ResticStreamBytes &event) {
        onEvent(ResticStreamEvent {
            event.type, event.type == ResticStreamEvent::Type::finished ? QString() : event.text(), event.status });
    });
}

void ResticEngine::streamBytes(const ResticCommand &command, const ResticEnvironment &environment, std::stop_token stop,
    const BytesHandler &onEvent) const
{
    RetryWatch watch(stop, m_retryBound);
    streamUnbounded(command, environment, watch.token(), [&](const ResticStreamBytes &event) {
        if (event.type == ResticStreamEvent::Type::stderrLine)
            watch.line(event.line);
        // restic was stopped for retrying too long: its end is this failure, not a status. Asked
        // only then: a listing of millions of lines takes no lock per line.
        if (event.type == ResticStreamEvent::Type::finished)
            if (const std::optional<QString> unreachable = watch.gaveUp())
                throw ResticError::command(*unreachable);
        onEvent(event);
    });
}

std::optional<QString> ResticEngine::launchRefusal(
    const ResticEnvironment &environment, std::stop_token stop, QString &program) const
{
    if (std::optional<QString> refusal = repositoryRefusal(environment.value(repositoryKey)))
        return refusal;
    const std::optional<QString> located = locateBinary();
    if (!located)
        return QStringLiteral("restic not found");
    program = *located;
    // A restic found on the system may be older than the flags we pass (an older release fails
    // every backup with "unknown flag: --retry-lock"); say so once, plainly, instead.
    if (m_binary)
        return std::nullopt;
    try {
        return releaseProblem(program, stop);
    } catch (const CancellationError &error) {
        return error.message();
    }
}

void ResticEngine::streamUnbounded(const ResticCommand &command, const ResticEnvironment &environment,
    std::stop_token stop, const BytesHandler &onEvent) const
{
    auto fail = [&](const QString &message) {
        onEvent(ResticStreamBytes { ResticStreamEvent::Type::stderrLine, message.toUtf8(), 0 });
        onEvent(ResticStreamBytes { ResticStreamEvent::Type::finished, {}, -1 });
    };

    QString program;
    if (const std::optional<QString> refusal = launchRefusal(environment, stop, program)) {
        fail(*refusal);
        return;
    }

    // Held from before the launch until the child has gone and its output is drained, so two
    // runs against one repository never overlap, in this process or another. A caller that
    // holds it already (holdingLock()) keeps it for the whole of its work.
    std::unique_ptr<FileLock> lock;
    int lockDescriptor = -1; // restic keeps it, so the lock outlasts this process while restic lives
    if (environment.contains(repositoryKey)) {
        try {
            const QString lockPath
                = FileLock::repositoryLockPath(environment.value(repositoryKey), m_lockDirectory.value_or(QString()));
            if (lockPath != m_heldLockPath)
                lock = std::make_unique<FileLock>(lockPath, false, workOf(command));
            lockDescriptor = lock ? lock->descriptor() : m_heldLockDescriptor;
        } catch (const Error &error) {
            fail(error.message());
            return;
        }
    }

    const QByteArray programPath = LocalPath::encode(program);
    const QByteArrayList childEnvironmentEntries = childEnvironment(environment);
    std::exception_ptr handlerError;
    auto deliver = [&](ResticStreamEvent::Type type, QByteArrayView line) {
        if (handlerError)
            return false;
        try {
            onEvent(ResticStreamBytes { type, line, 0 });
            return true;
        } catch (...) {
            handlerError = std::current_exception();
            return false;
        }
    };

    // A lock that a restic of this computer left when it died refuses every later run, and
    // restic would wait it out in vain. So the first attempt never waits for a lock, and what
    // it says stays back until it is clear that restic got past the lock: one refused for it
    // is followed by "restic unlock", which removes only stale locks, and one more attempt,
    // waiting as the caller asked.
    LockRefusalFilter filter;
    int status = runChild(programPath, toArguments(programPath, command.withoutLockWait().arguments()),
        childEnvironmentEntries, lockDescriptor, stop,
        [&](ResticStreamEvent::Type type, QByteArrayView line) { return filter.line(type, line, deliver); });
    if (status == lockRefusedStatus && filter.mayRetry() && !stop.stop_requested()) {
        logLine(QStringLiteral("restic"),
            QStringLiteral("the repository was locked; removing stale locks and trying once more"));
        const auto ignore = [](ResticStreamEvent::Type, QByteArrayView) { return true; };
        runChild(programPath, toArguments(programPath, { QStringLiteral("unlock") }), childEnvironmentEntries,
            lockDescriptor, stop, ignore);
        status = runChild(programPath, toArguments(programPath, command.arguments()), childEnvironmentEntries,
            lockDescriptor, stop, deliver);
    } else {
        filter.flush(deliver);
    }
    lock.reset();
    if (handlerError)
        std::rethrow_exception(handlerError);
    onEvent(ResticStreamBytes { ResticStreamEvent::Type::finished, {}, status });
}

ResticResult ResticEngine::run(const ResticCommand &command, const ResticEnvironment &environment, std::stop_token stop,
    const std::function<void(const QString &)> &onStderr) const
{
    ResticResult result;
    stream(command, environment, stop, [&result, &onStderr](const ResticStreamEvent &event) {
        switch (event.type) {
        case ResticStreamEvent::Type::stdoutLine:
            result.stdout += event.line;
            result.stdout += u'\n';
            break;
        case ResticStreamEvent::Type::stderrLine:
            if (onStderr)
                onStderr(event.line);
            result.stderr += event.line;
            result.stderr += u'\n';
            break;
        case ResticStreamEvent::Type::finished:
            result.exitCode = event.status;
            break;
        }
    });
    if (stop.stop_requested())
        throw CancellationError();
    return result;
}

QString ResticEngine::version(std::stop_token stop) const
{
    const ResticResult result = run(ResticCommand(QStringLiteral("version")), {}, stop);
    const QString out = result.stdout.trimmed();
    return out.isEmpty() ? result.stderr.trimmed() : out;
}

QString ResticEngine::errorText(const QString &line)
{
    // ssh runs without a terminal, so it can neither confirm a new host key nor ask for a
    // passphrase: both must be settled beforehand, and the user is told how.
    static const QString sshPrefix = QStringLiteral("subprocess ssh: ");
    if (line.startsWith(sshPrefix)) {
        if (line.contains(QStringLiteral("Host key verification failed")))
            return QStringLiteral(
                "The SFTP server's host key is not known to this computer, or it has changed. Connect "
                "once with ssh from a terminal as the same user and confirm the key, so that it is in "
                "~/.ssh/known_hosts.");
        if (line.contains(QStringLiteral("Permission denied")))
            return QStringLiteral("The SFTP server refused the login (%1). Vellmir signs in with an SSH key that needs "
                                  "no prompt: one without a passphrase, or one loaded into ssh-agent.")
                .arg(line.mid(sshPrefix.size()).trimmed().chopped(line.trimmed().endsWith(u'.') ? 1 : 0));
    }
    // With --json, restic writes its errors as JSON objects; the user gets their message text,
    // not the JSON around it. Every other line stays as restic wrote it.
    if (!line.startsWith(QStringLiteral("{\"message_type\":")))
        return line;
    const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
    const QString type = object.value(QStringLiteral("message_type")).toString();
    const QJsonValue message = object.value(QStringLiteral("message"));
    if ((type == QStringLiteral("exit_error") || type == QStringLiteral("error")) && message.isString())
        return message.toString().trimmed();
    return line;
}

QString ResticEngine::cleanError(const QString &standardError, int exitCode)
{
    QStringList lines;
    for (const QString &line : standardError.trimmed().split(u'\n')) {
        // ssh asks for what it lacks through a graphical askpass program when a display is
        // set; its failure to start one says nothing the lines after it do not say better.
        if (!line.contains(QStringLiteral("ssh_askpass: ")))
            lines.append(errorText(line));
    }
    const QString cleaned = lines.join(u'\n').trimmed();
    if (!cleaned.isEmpty())
        return cleaned;
    return QStringLiteral("restic exited with code ") + QString::number(exitCode);
}

} // namespace vellmir
