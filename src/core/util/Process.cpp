#include "util/Process.h"

#include "util/LocalPath.h"
#include "util/SystemError.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace vellmir {

namespace {

// Starts the tool with stdin from /dev/null and stdout and stderr into `output`, the default
// SIGPIPE and no signal blocked. Returns posix_spawnp's error, 0 on success.
int spawn(const QString &program, const QStringList &arguments, int output, pid_t *pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const QByteArray path = LocalPath::encode(program);
    QList<QByteArray> storage { path };
    for (const QString &argument : arguments)
        storage.append(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    const int spawned = ::posix_spawnp(pid, path.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return spawned;
}

// Reads the tool's output (at most 64 KiB kept) until it exits or `timeoutMs` has passed. True
// when it exited, with its wait status in `status`.
bool collect(pid_t pid, int fd, int timeoutMs, QByteArray *output, int *status)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
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
    QElapsedTimer clock;
    clock.start();
    while (true) {
        drain();
        const pid_t done = ::waitpid(pid, status, WNOHANG);
        if (done == pid) {
            drain(); // whatever the tool wrote before it exited is in the pipe now
            return true;
        }
        if (done < 0 && errno != EINTR)
            return false;
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return false;
        pollfd descriptor { fd, POLLIN, 0 };
        ::poll(&descriptor, pipeOpen ? 1 : 0, int(std::min<qint64>(left, 20)));
    }
}

} // namespace

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ToolResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.output = systemErrorText(errno);
        return result;
    }
    pid_t pid = -1;
    const int spawned = spawn(program, arguments, pipeFds[1], &pid);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        result.output = QStringLiteral("%1: %2").arg(program, systemErrorText(spawned));
        return result;
    }
    result.started = true;

    QByteArray output;
    int status = 0;
    const bool exited = collect(pid, pipeFds[0], timeoutMs, &output, &status);
    ::close(pipeFds[0]);
    if (!exited) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
        result.timedOut = true;
    }
    result.output = QString::fromUtf8(output).trimmed();
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

} // namespace vellmir
