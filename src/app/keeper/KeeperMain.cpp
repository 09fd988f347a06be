// vellmir-keeper: the keeper of one restic run, a program of its own so that it holds none of
// the application's memory. ResticProcess starts it into restic's process group, as nobody's
// child in the application (so nobody there has to reap it), with restic's standard output and
// error pipes as its descriptors 0 and 1, the read end of the run's lifeline as 2 and a copy of
// the run's repository lock as 3 (when it has one).
//
// The keeper waits, every signal blocked, until the lifeline hangs up: the run is over, or the
// application died however it died. From then on it reads restic's output and throws it away,
// so that restic, told by its death signal to remove its repository lock, is neither stopped
// by a full pipe nor killed by a broken one before it has done so; and after the delay it was
// given it kills the whole group, itself included, unless the pipes reached their end first:
// a restic that goes on working after the signal (an upload held back by a limit) never
// outlives its run by more than that. Only a group that is its own is ever signalled.
//
// The lock is held until restic has exited, whatever became of the application: a run whose
// process died is not taken for over while its restic still works. Nothing restic starts
// (ssh, which may linger as a connection master) ever holds it. While the application lives, its
// own unlock frees the lock for this copy too: they share one open file description.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int outputPipe = 0;
constexpr int errorPipe = 1;
constexpr int lifeline = 2;
constexpr int lockCopy = 3; // a copy of the repository's lock, when the run has one

bool positive(const char *text, long long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value > 0;
}

long long millisecondsSince(const timespec &start)
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Lets go of the repository's lock: restic has exited, or the keeper is done.
void release()
{
    ::close(lockCopy);
}

int keep(pid_t group, long long delay)
{
    if (::getpgrp() != group)
        return 3;
    // restic is the group's leader. Without a descriptor for it (an old kernel) the lock is let
    // go once the run is over for the application, or the output has ended.
    int restic = int(::syscall(SYS_pidfd_open, group, 0));

    // While the application lives: until the lifeline hangs up, or restic exits first.
    pollfd waits[2] = { { lifeline, POLLIN, 0 }, { restic, POLLIN, 0 } };
    while (true) {
        if (::poll(waits, restic >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (restic >= 0 && waits[1].revents != 0) {
            release();
            ::close(restic);
            restic = -1;
        }
        if (waits[0].revents != 0)
            break;
    }
    if (restic < 0)
        release();
    // The application is done with the run or gone, and restic has (or is about to have) its
    // signal to stop: one that was stopped would sit on it until the kill below left its lock in
    // the repository, so the group is woken to act on it.
    if (::getpgrp() == group)
        ::kill(-group, SIGCONT);

    timespec start {};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    pollfd output[3] = { { outputPipe, POLLIN, 0 }, { errorPipe, POLLIN, 0 }, { restic, POLLIN, 0 } };
    char buffer[16384];
    while (output[0].fd >= 0 || output[1].fd >= 0) {
        const long long left = delay - millisecondsSince(start);
        if (left <= 0) {
            // The group it was started into, and never the one of whoever started it.
            if (::getpgrp() == group)
                ::kill(-group, SIGKILL);
            return 0;
        }
        if (::poll(output, 3, int(left < 3600000 ? left : 3600000)) < 0 && errno != EINTR)
            return 1;
        if (output[2].fd >= 0 && output[2].revents != 0) {
            release();
            output[2].fd = -1;
        }
        for (int i = 0; i < 2; ++i) {
            pollfd &pipe = output[i];
            if (pipe.fd < 0 || pipe.revents == 0)
                continue;
            const ssize_t count = ::read(pipe.fd, buffer, sizeof buffer);
            if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN))
                pipe.fd = -1; // poll passes over a negative descriptor
        }
    }
    return 0;
}

} // namespace

// vellmir-keeper GROUP DELAY-MILLISECONDS
int main(int argc, char **argv)
{
    long long group = 0;
    long long delay = 0;
    if (argc != 3 || !positive(argv[1], group) || group <= 1 || !positive(argv[2], delay))
        return 2;
    return keep(pid_t(group), delay);
}
