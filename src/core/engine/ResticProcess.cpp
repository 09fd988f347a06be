#include "engine/ResticProcess.h"

#include "util/Error.h"
#include "util/Log.h"
#include "util/Process.h"
#include "util/SystemError.h"

#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vellmir {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t readSize = 65536;

void closeDescriptor(int &fd) noexcept
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// `roomy`: for restic's output, with room for restic to run ahead of a busy reader.
bool makePipe(int &readEnd, int &writeEnd, bool roomy = false)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    // The system may refuse, which is harmless; the room counts against the user's pipe limit.
    if (roomy)
        ::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
    readEnd = fds[0];
    writeEnd = fds[1];
    return true;
}

// One pipe as the pump sees it: bytes go out as they arrive, split into lines elsewhere.
struct PipeReader {
    int fd = -1;
    bool isStderr = false;

    ~PipeReader() { closeDescriptor(fd); }

    void end(std::vector<ResticProcess::Chunk> &out)
    {
        out.push_back({ ResticProcess::Chunk::Kind::end, isStderr, {}, 0 });
        closeDescriptor(fd);
    }

    // Returns how many bytes it read (0 also at the end or on an error).
    ssize_t readOnce(QByteArray &buffer, std::vector<ResticProcess::Chunk> &out)
    {
        if (buffer.size() != qsizetype(readSize))
            buffer = QByteArray(qsizetype(readSize), Qt::Uninitialized);
        const ssize_t count = ::read(fd, buffer.data(), readSize);
        if (count > ssize_t(readSize / 2)) {
            // A full read goes out as it is; the next read gets a fresh buffer.
            buffer.resize(count);
            out.push_back({ ResticProcess::Chunk::Kind::data, isStderr, std::move(buffer), 0 });
            buffer = QByteArray();
        } else if (count > 0) {
            // A right-sized copy of a short read: a slow consumer may queue many of them.
            out.push_back({ ResticProcess::Chunk::Kind::data, isStderr, QByteArray(buffer.constData(), count), 0 });
        } else if (count == 0) {
            end(out);
        } else if (errno != EINTR && errno != EAGAIN) {
            out.push_back({ ResticProcess::Chunk::Kind::failed, isStderr, {}, errno });
            closeDescriptor(fd);
        }
        return std::max<ssize_t>(count, 0);
    }
};

int milliseconds(Clock::time_point until, Clock::time_point now)
{
    if (until <= now)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    return int(std::min<long long>(left, 60 * 60 * 1000));
}

// The keeper program, beside the running executable as it is installed.
QByteArray keeperPath()
{
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return QByteArrayLiteral("vellmir-keeper"); // not a path: starting it fails plainly
    const QByteArray executable(path, length);
    return executable.left(executable.lastIndexOf('/') + 1) + "vellmir-keeper";
}

// The descriptors the keeper starts with, as its 0 to 3.
struct KeeperEnds {
    int out; // restic's output pipes, read ends
    int err;
    int lifeline; // read end: hangs up when this process is done with the run
    int lock; // the repository's lock, -1 for none: the keeper's copy shares its open file description
};

// Starts the keeper (vellmir-keeper, see there) into restic's group `group` with `ends` and nothing
// else of this process, as nobody's child here. Returns 0 or an errno.
int startKeeper(pid_t group, const KeeperEnds &ends)
{
    static const QByteArray path = keeperPath();
    ChildSetup keeper;
    keeper.program = path;
    keeper.arguments = { QByteArrayLiteral("vellmir-keeper"), QByteArray::number(group),
        QByteArray::number(qint64(ResticProcess::killDelay.count())) };
    keeper.descriptors = { ends.out, ends.err, ends.lifeline };
    if (ends.lock >= 0)
        keeper.descriptors.push_back(ends.lock);
    keeper.group = group;
    keeper.signalsBlocked = true;
    keeper.detached = true;
    const int error = startChild(keeper, nullptr);
    if (error != 0)
        logLine(QStringLiteral("restic"),
            QStringLiteral("could not start its keeper %1: %2")
                .arg(QString::fromLocal8Bit(path), systemErrorText(error)));
    return error;
}

} // namespace

ResticProcess::ResticProcess()
{
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0)
        throw Error(QStringLiteral("Could not start restic: ") + systemErrorText(errno));
}

ResticProcess::~ResticProcess()
{
    if (m_pid > 0 && !m_reaped) {
        // Only reached when the pump never ran to its end; the child is not reaped yet, so its
        // group id is still ours to signal.
        signalGroup(SIGKILL);
        reapChild(m_pid);
    }
    closeDescriptor(m_pidfd);
    closeDescriptor(m_lifeline);
    closeDescriptor(m_wake);
    closeDescriptor(m_out);
    closeDescriptor(m_err);
}

int ResticProcess::start(
    const QByteArray &program, const QByteArrayList &arguments, const QByteArrayList &environment, int lock)
{
    // The ends this process keeps are members; the others go when start() returns.
    int outWrite = -1;
    int errWrite = -1;
    int lifelineRead = -1;
    const auto closeEnds = qScopeGuard([&] {
        for (int *fd : { &outWrite, &errWrite, &lifelineRead })
            closeDescriptor(*fd);
    });
    const auto failed = [this](int error) {
        closeDescriptor(m_lifeline); // the keeper, if it started, goes too
        closeDescriptor(m_out);
        closeDescriptor(m_err);
        return error;
    };
    if (!makePipe(m_out, outWrite, true) || !makePipe(m_err, errWrite, true) || !makePipe(lifelineRead, m_lifeline))
        return failed(errno);

    ChildSetup restic;
    restic.program = program;
    restic.arguments = arguments;
    restic.environment = environment;
    restic.descriptors = { -1, outWrite, errWrite };
    // Own process group, so a cancel reaches restic's helpers too; the keeper joins it.
    restic.group = 0;
    // restic goes when this process goes, killed, crashed or logged out: a restic left behind
    // keeps its repository locked and goes on writing. The signal follows the thread that
    // started it, and that thread stays in ResticEngine::stream until the child is reaped, so
    // only the end of the whole process sends it. SIGTERM lets restic remove its own lock.
    restic.deathSignal = SIGTERM;
    // restic starts only once its keeper is in its group.
    restic.beforeExec = [&](pid_t child) { return startKeeper(child, { m_out, m_err, lifelineRead, lock }); };
    pid_t pid = -1;
    if (const int error = startChild(restic, &pid); error != 0)
        return failed(error);
    m_pid = pid;
    // Without it (old kernels) the pump looks for the exit periodically.
    m_pidfd = childExit(pid);
    return 0;
}

void ResticProcess::cancel() noexcept
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
}

void ResticProcess::signalGroup(int signal) const noexcept
{
    if (m_pid > 0 && !m_reaped)
        ::kill(-m_pid, signal);
}

// How the pump sees the child's end: what has happened, and the deadlines that follow.
struct ResticProcess::Ending {
    bool exited = false;
    bool cancelled = false;
    bool killed = false;
    std::optional<Clock::time_point> killAt;
    std::optional<Clock::time_point> drainUntil;

    // Only a descendant that outlived restic still holds the pipes: time to stop listening.
    bool drainOver(Clock::time_point now) const
    {
        return exited && drainUntil && now >= *drainUntil && (!killAt || killed);
    }

    // The poll time-out in milliseconds, -1 for none.
    int timeout(Clock::time_point now, bool lookForExit) const
    {
        int timeout = -1;
        auto until = [&](Clock::time_point when) {
            const int left = milliseconds(when, now);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        };
        if (killAt && !killed)
            until(*killAt);
        if (drainUntil && (!killAt || killed)) // a pending SIGKILL comes first
            until(*drainUntil);
        if (!exited && lookForExit)
            until(now + std::chrono::milliseconds(20));
        return timeout;
    }

    void extendDrain(Clock::time_point now) { drainUntil = std::max(*drainUntil, now + drainGrace); }
};

void ResticProcess::stop(Ending &ending, Clock::time_point now) const noexcept
{
    if (ending.cancelled)
        return;
    ending.cancelled = true;
    if (!ending.exited) {
        // restic alone: it removes its lock from the repository through its helpers (ssh for
        // SFTP), which must live until it has done so. A stopped restic (or helper) would only
        // hold the signal until killDelay ran out and the kill left its lock behind: the group is
        // woken to act on it at once.
        ::kill(m_pid, SIGTERM);
        signalGroup(SIGCONT);
        ending.killAt = now + killDelay;
    } else {
        ending.killed = true;
        signalGroup(SIGKILL);
        ending.extendDrain(now);
    }
}

void ResticProcess::noteExit(Ending &ending, Clock::time_point now) noexcept
{
    // WNOWAIT: learn of the exit but leave the child unreaped (see the class comment).
    siginfo_t info {};
    const int waited = ::waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (!((waited == 0 && info.si_pid == m_pid) || (waited < 0 && errno == ECHILD)))
        return;
    // ECHILD: someone else reaped it (SIGCHLD ignored); its id may be reused, so no signal may
    // follow and its status is lost.
    if (waited < 0)
        m_reaped = true;
    ending.exited = true;
    ending.drainUntil = now + drainGrace;
    if (ending.cancelled && !ending.killed) {
        // What restic left of its group has nothing more to do for it.
        ending.killed = true;
        signalGroup(SIGKILL);
    }
}

int ResticProcess::pump(const Sink &sink)
{
    QByteArray buffer;
    PipeReader readers[2];
    readers[0].fd = m_out;
    readers[1].fd = m_err;
    readers[1].isStderr = true;
    m_out = m_err = -1; // the readers own them now

    std::vector<Chunk> batch;
    Ending ending;
    while (!ending.exited || readers[0].fd >= 0 || readers[1].fd >= 0) {
        Clock::time_point now = Clock::now();
        if (ending.drainOver(now)) {
            for (PipeReader &reader : readers) {
                if (reader.fd >= 0)
                    reader.end(batch);
            }
            break;
        }

        pollfd fds[4];
        nfds_t count = 0;
        int readerSlot[2] = { -1, -1 };
        for (int i = 0; i < 2; ++i) {
            if (readers[i].fd >= 0) {
                readerSlot[i] = int(count);
                fds[count++] = { readers[i].fd, POLLIN, 0 };
            }
        }
        const int wakeSlot = int(count);
        fds[count++] = { m_wake, POLLIN, 0 };
        int exitSlot = -1;
        if (!ending.exited && m_pidfd >= 0) {
            exitSlot = int(count);
            fds[count++] = { m_pidfd, POLLIN, 0 };
        }
        if (::poll(fds, count, ending.timeout(now, m_pidfd < 0)) < 0 && errno != EINTR) {
            // Cannot happen with valid descriptors; never spin on it.
            ::usleep(10000);
        }
        now = Clock::now();

        if (fds[wakeSlot].revents & POLLIN) {
            uint64_t value = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wake, &value, sizeof value);
            stop(ending, now);
        }
        ssize_t largestRead = 0;
        for (int i = 0; i < 2; ++i) {
            if (readerSlot[i] >= 0 && fds[readerSlot[i]].revents != 0)
                largestRead = std::max(largestRead, readers[i].readOnce(buffer, batch));
        }
        if (!ending.exited && (m_pidfd < 0 || (fds[exitSlot].revents & POLLIN)))
            noteExit(ending, now);
        if (ending.killAt && !ending.killed && now >= *ending.killAt) {
            // The run has not ended: restic still runs, or its group still holds the output.
            ending.killed = true;
            signalGroup(SIGKILL);
            if (ending.exited)
                ending.extendDrain(now);
        }
        if (!batch.empty()) {
            sink(batch);
            batch.clear();
        }
        // restic writes each line of a listing with a write of its own, tens of thousands a
        // second, and a write that finds this thread waiting must wake it: a cost restic pays
        // for every line. After a short read, a millisecond's pause lets lines gather in the
        // pipe (1 MiB, far more than a millisecond of output), so one wake-up takes many.
        if (largestRead > 0 && size_t(largestRead) < readSize / 2 && !ending.exited && !ending.cancelled)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!batch.empty())
        sink(batch);
    return reap();
}

int ResticProcess::reap() noexcept
{
    closeDescriptor(m_pidfd);
    // The run is over: the keeper reads what a descendant still writes, then ends the group.
    // restic has exited, so the keeper has let go of its copy of the repository's lock, which
    // is in any case the caller's own lock: unlocking that frees every copy.
    closeDescriptor(m_lifeline);
    if (m_reaped)
        return -1;
    m_reaped = true;
    return exitStatusOf(reapChild(m_pid));
}

} // namespace vellmir
