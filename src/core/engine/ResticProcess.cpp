#include "engine/ResticProcess.h"

#include "util/Error.h"
#include "util/Log.h"
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
#include <pthread.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vellmir {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t readSize = 65536;
// The keeper's own descriptors are 0 to 4; what is handed to it comes from above them.
constexpr int firstFreeForKeeper = 5;

void closeDescriptor(int &fd) noexcept
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// A pipe whose ends are never below `lowest` (0, 1 or 2 by default), so a child's dup2 onto those cannot
// clobber one.
// `roomy`: for restic's output, with room for restic to run ahead of a busy reader.
bool makePipe(int &readEnd, int &writeEnd, bool roomy = false, int lowest = 3)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    for (int &fd : fds) {
        if (fd < lowest) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, lowest);
            ::close(fd);
            fd = moved;
        }
    }
    if (fds[0] < 0 || fds[1] < 0) {
        closeDescriptor(fds[0]);
        closeDescriptor(fds[1]);
        errno = EMFILE;
        return false;
    }
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

// What the child needs between fork and exec, all made beforehand.
struct ChildSetup {
    const char *program;
    char *const *argv;
    char *const *envp;
    int out; // the output pipes' write ends
    int err;
    int go; // read end: one byte once the keeper is in place, the end of file when it could not be
    int report;
    pid_t parent;
};

// Closes every descriptor from 3 up except the ascending `keep`.
template <size_t count> void closeAllBut(const int (&keep)[count]) noexcept
{
    unsigned from = 3;
    for (const int fd : keep) {
        if (unsigned(fd) > from)
            ::close_range(from, unsigned(fd) - 1, 0);
        from = unsigned(fd) + 1;
    }
    ::close_range(from, ~0U, 0);
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

// The descriptors the keeper starts with, as its 0 to 4.
struct KeeperEnds {
    int out; // restic's output pipes, read ends
    int err;
    int lifeline; // read end: hangs up when this process is done with the run
    int lock; // a copy of the repository's lock (at or above firstFreeForKeeper), -1 for none
    int released; // write end (at or above firstFreeForKeeper): closed once the keeper let go of the lock
};

// Starts the keeper (vellmir-keeper, see there) into restic's group `group` with `ends` and nothing
// else of this process: an exec, never a copy of the application. Waits only for its "start"
// step, which leaves the keeper proper running on its own. Returns 0 or an errno.
int startKeeper(pid_t group, const KeeperEnds &ends)
{
    static const QByteArray path = keeperPath();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends.out, 0);
    posix_spawn_file_actions_adddup2(&actions, ends.err, 1);
    posix_spawn_file_actions_adddup2(&actions, ends.lifeline, 2);
    if (ends.lock >= 0)
        posix_spawn_file_actions_adddup2(&actions, ends.lock, 3);
    else
        posix_spawn_file_actions_addclose(&actions, 3);
    posix_spawn_file_actions_adddup2(&actions, ends.released, 4);
    posix_spawn_file_actions_addclosefrom_np(&actions, firstFreeForKeeper);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, group);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    QByteArray groupText = QByteArray::number(group);
    QByteArray delayText = QByteArray::number(qint64(ResticProcess::killDelay.count()));
    char name[] = "vellmir-keeper";
    char step[] = "start";
    char *arguments[] = { name, step, groupText.data(), delayText.data(), nullptr };
    char *environment[] = { nullptr };
    pid_t starter = -1;
    int error = ::posix_spawn(&starter, path.constData(), &actions, &attributes, arguments, environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error == 0) {
        int status = 0;
        pid_t waited;
        while ((waited = ::waitpid(starter, &status, 0)) < 0 && errno == EINTR) { }
        // ECHILD: this process lets the system reap its children; the keeper's start cannot be told.
        if (waited == starter && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            error = ECHILD;
    }
    if (error != 0)
        logLine(QStringLiteral("restic"),
            QStringLiteral("could not start its keeper %1: %2")
                .arg(QString::fromLocal8Bit(path),
                    error == ECHILD ? QStringLiteral("it failed") : systemErrorText(error)));
    return error;
}

// The child's side of start(): async-signal-safe calls only. Never returns.
[[noreturn]] void execChild(const ChildSetup &setup) noexcept
{
    const auto fail = [&setup](int error) {
        [[maybe_unused]] const ssize_t written = ::write(setup.report, &error, sizeof error);
        ::_exit(127);
    };
    // Own process group, so a cancel reaches restic's helpers too; the keeper joins it.
    if (::setpgid(0, 0) != 0)
        fail(errno);
    // restic goes when this process goes, killed, crashed or logged out: a restic left behind
    // keeps its repository locked and goes on writing. The signal follows the thread that
    // forked, and that thread stays in ResticEngine::stream until the child is reaped, so
    // only the end of the whole process sends it. SIGTERM lets restic remove its own lock.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // A parent that died before the line above would never send it.
    if (::getppid() != setup.parent)
        fail(ESRCH);
    // restic starts only once its keeper is in its group; a parent that dies meanwhile closes
    // the pipe, and so does one whose keeper could not start. Nothing else is kept while it
    // waits: a child another thread started at the same time would otherwise hold that one's
    // pipe open, as it would hold this one's.
    int needed[4] = { setup.out, setup.err, setup.go, setup.report };
    std::sort(std::begin(needed), std::end(needed));
    closeAllBut(needed);
    char go = 0;
    ssize_t got;
    while ((got = ::read(setup.go, &go, 1)) < 0 && errno == EINTR) { }
    if (got != 1)
        fail(ECANCELED);
    // Signals at their defaults whatever this process ignores or handles; unblocked at the end.
    struct sigaction standard { };
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        if (number != SIGKILL && number != SIGSTOP)
            ::sigaction(number, &standard, nullptr);
    }
    // Not closed on exec: it may itself be descriptor 0. Above 2 it goes with the rest below.
    const int input = ::open("/dev/null", O_RDONLY);
    if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(setup.out, 1) < 0 || ::dup2(setup.err, 2) < 0)
        fail(errno);
    // Whatever another thread opened without close-on-exec stays out of restic; the report
    // pipe closes on exec by itself.
    const int keep[1] = { setup.report };
    closeAllBut(keep);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(setup.program, setup.argv, setup.envp);
    fail(errno);
    ::_exit(127); // not reached
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
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
    }
    closeDescriptor(m_pidfd);
    closeDescriptor(m_lifeline);
    closeDescriptor(m_released);
    closeDescriptor(m_wake);
    closeDescriptor(m_out);
    closeDescriptor(m_err);
}

int ResticProcess::start(
    const QByteArray &program, const QByteArrayList &arguments, const QByteArrayList &environment, int lock)
{
    // The keeper's copy of the repository's lock, above the descriptors its start puts in place.
    int lockCopy = lock >= 0 ? ::fcntl(lock, F_DUPFD_CLOEXEC, firstFreeForKeeper) : -1;
    if (lock >= 0 && lockCopy < 0)
        return errno;
    const auto closeLockCopy = qScopeGuard([&lockCopy] { closeDescriptor(lockCopy); });
    // The ends this process keeps are members; the others go when start() returns.
    int outWrite = -1;
    int errWrite = -1;
    int reportRead = -1; // the child reports a failed exec here; a successful one closes the write end
    int reportWrite = -1;
    int lifelineRead = -1;
    int goRead = -1;
    int goWrite = -1;
    int releasedWrite = -1;
    const auto closeEnds = qScopeGuard([&] {
        for (int *fd :
            { &outWrite, &errWrite, &reportRead, &reportWrite, &lifelineRead, &goRead, &goWrite, &releasedWrite })
            closeDescriptor(*fd);
    });
    const auto failed = [this](int error) {
        closeDescriptor(m_lifeline); // the keeper, if it started, goes too
        closeDescriptor(m_released);
        closeDescriptor(m_out);
        closeDescriptor(m_err);
        return error;
    };
    if (!makePipe(m_out, outWrite, true) || !makePipe(m_err, errWrite, true) || !makePipe(reportRead, reportWrite)
        || !makePipe(lifelineRead, m_lifeline) || !makePipe(goRead, goWrite)
        || !makePipe(m_released, releasedWrite, false, firstFreeForKeeper))
        return failed(errno);

    // Everything the child needs is made before the fork: after it, only async-signal-safe calls.
    std::vector<char *> argv;
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const QByteArray &entry : environment)
        envp.push_back(const_cast<char *>(entry.constData()));
    envp.push_back(nullptr);
    const ChildSetup setup { program.constData(), argv.data(), envp.data(), outWrite, errWrite, goRead, reportWrite,
        ::getpid() };

    // No handler of this process may run in the child before its signals are reset.
    sigset_t all;
    sigfillset(&all);
    sigset_t previous;
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0)
        execChild(setup);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // Only the child may keep the write ends, so end of file comes when it (and whatever
    // inherited them) has gone.
    closeDescriptor(outWrite);
    closeDescriptor(errWrite);
    closeDescriptor(reportWrite);
    closeDescriptor(goRead);
    if (pid < 0)
        return failed(forkError);
    // Also here, so that the group exists before the keeper joins it and a cancel can signal it.
    ::setpgid(pid, pid);
    const int keeperError = startKeeper(pid, { m_out, m_err, lifelineRead, lockCopy, releasedWrite });
    closeDescriptor(lifelineRead);
    closeDescriptor(releasedWrite);
    if (keeperError == 0) {
        const char go = 1;
        while (::write(goWrite, &go, 1) < 0 && errno == EINTR) { }
    }
    closeDescriptor(goWrite);

    int childError = 0;
    ssize_t got;
    while ((got = ::read(reportRead, &childError, sizeof childError)) < 0 && errno == EINTR) { }
    if (got == ssize_t(sizeof childError)) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
        return failed(keeperError != 0 ? keeperError : childError);
    }
    m_pid = pid;
    // Through syscall(): glibc 2.36's <sys/pidfd.h> cannot be used from C++. Without it (old
    // kernels) the pump looks for the exit periodically.
    m_pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
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
    closeDescriptor(m_lifeline);
    if (m_reaped)
        return -1;
    int status = 0;
    pid_t waited;
    while ((waited = ::waitpid(m_pid, &status, 0)) < 0 && errno == EINTR) { }
    m_reaped = true;
    // restic has exited, so its keeper lets go of the repository's lock at once: the caller's
    // next run must not find it held by this one. A keeper that does not answer is not waited for.
    // Nothing is ever written to the pipe: it only hangs up.
    pollfd released { m_released, POLLIN, 0 };
    const Clock::time_point giveUp = Clock::now() + drainGrace;
    while (m_released >= 0 && ::poll(&released, 1, milliseconds(giveUp, Clock::now())) < 0 && errno == EINTR) { }
    closeDescriptor(m_released);
    if (waited != m_pid)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace vellmir
