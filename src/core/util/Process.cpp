#include "util/Process.h"

#include "util/LocalPath.h"
#include "util/ShutdownSignals.h"
#include "util/SystemError.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace vellmir {

namespace {

void closeDescriptor(int &fd) noexcept
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// What the child needs between fork and exec, all made beforehand: after the fork it allocates
// nothing and calls only async-signal-safe functions.
struct Prepared {
    const char *program;
    char *const *argv;
    char *const *envp;
    const int *sources; // ChildSetup::descriptors
    int count;
    int *moved; // room for `count` descriptors
    int *keep; // room for `count` + 2 descriptors
    int report; // write end: the errno of a failure; closes on exec
    int gate; // read end: one byte once the child may exec, -1 when it need not wait
    pid_t group;
    int deathSignal;
    pid_t parent;
    bool signalsBlocked;
    bool detached;
};

[[noreturn]] void fail(int report, int error) noexcept
{
    [[maybe_unused]] const ssize_t written = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// Closes every descriptor from `from` up but those in `keep` (sorted here, in place).
void closeAllBut(int *keep, int count, unsigned from) noexcept
{
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && keep[j - 1] > keep[j]; --j)
            std::swap(keep[j - 1], keep[j]);
    for (int i = 0; i < count; ++i) {
        const unsigned fd = unsigned(keep[i]);
        if (fd < from)
            continue;
        if (fd > from)
            ::close_range(from, fd - 1, 0);
        from = fd + 1;
    }
    ::close_range(from, ~0U, 0);
}

// Moves `fd` to a descriptor at or above `lowest`; fails the start when that cannot be done.
int lift(int report, int fd, int lowest, int flags) noexcept
{
    const int moved = ::fcntl(fd, flags, lowest);
    if (moved < 0)
        fail(report, errno);
    return moved;
}

[[noreturn]] void execChild(const Prepared &p) noexcept
{
    int report = p.report;
    if (p.detached) {
        // The child of this child: the exit of this one right away leaves it to the system.
        const pid_t grandchild = ::_Fork();
        if (grandchild < 0)
            fail(report, errno);
        if (grandchild > 0)
            ::_exit(0);
    }
    if (p.group >= 0 && ::setpgid(0, p.group) != 0)
        fail(report, errno);
    if (p.deathSignal != 0) {
        ::prctl(PR_SET_PDEATHSIG, p.deathSignal);
        // A parent that died before the line above would never send it.
        if (::getppid() != p.parent)
            fail(report, ESRCH);
    }
    // Everything the child keeps goes above the places it is given, and nothing else stays, not
    // even while it waits at the gate: a child another thread started meanwhile would otherwise
    // be held open by this one (its pipes would not end when it does).
    const int lowest = std::max(p.count, 3);
    report = lift(report, report, lowest, F_DUPFD_CLOEXEC);
    const int gate = p.gate >= 0 ? lift(report, p.gate, lowest, F_DUPFD_CLOEXEC) : -1;
    int kept = 0;
    p.keep[kept++] = report;
    if (gate >= 0)
        p.keep[kept++] = gate;
    for (int i = 0; i < p.count; ++i) {
        p.moved[i] = p.sources[i] >= 0 ? lift(report, p.sources[i], lowest, F_DUPFD) : -1;
        if (p.moved[i] >= 0)
            p.keep[kept++] = p.moved[i];
    }
    closeAllBut(p.keep, kept, 0);
    if (gate >= 0) {
        char go = 0;
        ssize_t got;
        while ((got = ::read(gate, &go, 1)) < 0 && errno == EINTR) { }
        if (got != 1)
            fail(report, ECANCELED);
    }
    struct sigaction standard { };
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        if (number != SIGKILL && number != SIGSTOP)
            ::sigaction(number, &standard, nullptr);
    }
    for (int i = 0; i < p.count; ++i) {
        if (p.moved[i] >= 0) {
            if (::dup2(p.moved[i], i) < 0)
                fail(report, errno);
            continue;
        }
        const int null = ::open("/dev/null", i == 0 ? O_RDONLY : O_RDWR);
        if (null < 0 || (null != i && ::dup2(null, i) < 0))
            fail(report, errno);
        if (null != i)
            ::close(null);
    }
    // The report pipe closes on exec by itself.
    int last[1] = { report };
    closeAllBut(last, 1, unsigned(p.count));
    sigset_t mask;
    if (p.signalsBlocked)
        sigfillset(&mask);
    else
        sigemptyset(&mask);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    ::execve(p.program, p.argv, p.envp);
    fail(report, errno);
}

std::vector<char *> pointers(const QByteArrayList &list)
{
    std::vector<char *> result;
    for (const QByteArray &item : list)
        result.push_back(const_cast<char *>(item.constData()));
    result.push_back(nullptr);
    return result;
}

} // namespace

int startChild(const ChildSetup &setup, pid_t *pid)
{
    int reportRead = -1;
    int reportWrite = -1;
    int gateRead = -1;
    int gateWrite = -1;
    const auto closeAll = [&] {
        for (int *fd : { &reportRead, &reportWrite, &gateRead, &gateWrite })
            closeDescriptor(*fd);
    };
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    reportRead = fds[0];
    reportWrite = fds[1];
    if (setup.beforeExec) {
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            const int error = errno;
            closeAll();
            return error;
        }
        gateRead = fds[0];
        gateWrite = fds[1];
    }
    const std::vector<char *> argv = pointers(setup.arguments);
    const std::vector<char *> envp = pointers(setup.environment);
    std::vector<int> moved(setup.descriptors.size());
    std::vector<int> keep(setup.descriptors.size() + 2);
    const Prepared prepared { setup.program.constData(), argv.data(), envp.data(), setup.descriptors.data(),
        int(setup.descriptors.size()), moved.data(), keep.data(), reportWrite, gateRead, setup.group, setup.deathSignal,
        ::getpid(), setup.signalsBlocked, setup.detached };

    // No handler of this process may run in the child before its signals are reset.
    sigset_t all;
    sigfillset(&all);
    sigset_t previous;
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = ::fork();
    if (child == 0)
        execChild(prepared);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // Only the child may keep the write end, so that end of file comes once it has exec'd.
    closeDescriptor(reportWrite);
    closeDescriptor(gateRead);
    if (child < 0) {
        closeAll();
        return forkError;
    }
    if (setup.detached)
        reapChild(child); // the go-between, gone at once
    else if (setup.group == 0)
        ::setpgid(child, child); // also here, so that the group exists when this call returns
    int error = 0;
    if (setup.beforeExec) {
        error = setup.beforeExec(child);
        if (error == 0) {
            const char go = 1;
            while (::write(gateWrite, &go, 1) < 0 && errno == EINTR) { }
        }
        closeDescriptor(gateWrite);
    }
    int childError = 0;
    ssize_t got;
    while ((got = ::read(reportRead, &childError, sizeof childError)) < 0 && errno == EINTR) { }
    closeAll();
    if (got == ssize_t(sizeof childError) || error != 0) {
        if (!setup.detached)
            reapChild(child);
        return error != 0 ? error : childError;
    }
    if (pid)
        *pid = setup.detached ? -1 : child;
    return 0;
}

int childExit(pid_t pid)
{
    // Through syscall(): glibc 2.36's <sys/pidfd.h> cannot be used from C++. Closes on exec.
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

int reapChild(pid_t pid)
{
    int status = 0;
    pid_t waited;
    while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) { }
    return waited == pid ? status : -1;
}

int exitStatusOf(int waitStatus)
{
    if (waitStatus < 0)
        return -1;
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

namespace {

// Reads the tool's output (at most 64 KiB kept) until it exits, `timeoutMs` has passed or this
// process is asked to stop. True when it exited.
bool collect(pid_t pid, int fd, int timeoutMs, QByteArray *output)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::stop_token shutdown = ShutdownSignals::token();
    int exit = childExit(pid);
    const auto closeExit = qScopeGuard([&exit] { closeDescriptor(exit); });
    bool pipeOpen = true;
    auto drain = [&] {
        char buffer[4096];
        while (pipeOpen) {
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count > 0) {
                if (output->size() < 65536)
                    output->append(buffer, count);
                continue;
            }
            if (count < 0 && errno == EINTR)
                continue;
            if (count == 0 || errno != EAGAIN)
                pipeOpen = false;
            return;
        }
    };
    // Seen without reaping it; gone already (ECHILD) only where someone else reaps children.
    const auto exited = [&] {
        siginfo_t info {};
        const int waited = ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        return (waited == 0 && info.si_pid == pid) || (waited < 0 && errno == ECHILD);
    };
    QElapsedTimer clock;
    clock.start();
    while (true) {
        drain();
        if (exited()) {
            drain(); // whatever the tool wrote before it exited is in the pipe now
            return true;
        }
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0 || shutdown.stop_requested())
            return false;
        // Slices short enough to notice a stop signal soon.
        pollfd descriptors[2] = { { exit, POLLIN, 0 }, { pipeOpen ? fd : -1, POLLIN, 0 } };
        ::poll(descriptors, 2, int(std::min<qint64>(left, 20)));
    }
}

} // namespace

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ToolResult result;
    const QString path = program.contains(u'/') ? program : QStandardPaths::findExecutable(program);
    if (path.isEmpty()) {
        result.output = QStringLiteral("%1: %2").arg(program, systemErrorText(ENOENT));
        return result;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.output = systemErrorText(errno);
        return result;
    }
    ChildSetup setup;
    setup.program = LocalPath::encode(path);
    setup.arguments.append(LocalPath::encode(program));
    for (const QString &argument : arguments)
        setup.arguments.append(argument.toUtf8());
    for (char **entry = environ; *entry; ++entry)
        setup.environment.append(QByteArray(*entry));
    setup.descriptors = { -1, pipeFds[1], pipeFds[1] };
    pid_t pid = -1;
    const int started = startChild(setup, &pid);
    ::close(pipeFds[1]);
    if (started != 0) {
        ::close(pipeFds[0]);
        result.output = QStringLiteral("%1: %2").arg(program, systemErrorText(started));
        return result;
    }
    result.started = true;

    QByteArray output;
    const bool exited = collect(pid, pipeFds[0], timeoutMs, &output);
    ::close(pipeFds[0]);
    // Not reaped yet, so the pid is still the tool's own.
    if (!exited)
        ::kill(pid, SIGKILL);
    result.timedOut = !exited;
    const int status = reapChild(pid);
    result.output = QString::fromUtf8(output).trimmed();
    if (status >= 0 && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (status >= 0 && WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

} // namespace vellmir
