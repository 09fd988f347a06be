#include "util/ShutdownSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace vellmir::ShutdownSignals {

namespace {

int wakePipe[2] = { -1, -1 };
std::atomic<int> first { 0 };
constexpr int handled[] = { SIGINT, SIGTERM, SIGHUP };
// Which of `handled` have the handler below; one inherited ignored stays ignored.
volatile sig_atomic_t installed[std::size(handled)] = {};

// Async-signal-safe: one byte into the pipe, read by the watcher below. Every one of the
// signals is back at its default from here on, not only the one that came: a second request
// to stop, of whichever kind, ends the process at once. The others are blocked while this runs,
// so one that arrives meanwhile waits for the defaults and then ends it.
void handle(int number)
{
    const int saved = errno;
    struct sigaction standard { };
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (size_t i = 0; i < std::size(handled); ++i) {
        if (installed[i])
            ::sigaction(handled[i], &standard, nullptr);
    }
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
    errno = saved;
}

struct Watcher {
    std::jthread thread;
    ~Watcher()
    {
        // The pipe holds at most the signals' few bytes, so there is room for this one.
        const unsigned char none = 0;
        if (thread.joinable()) {
            [[maybe_unused]] const auto written = ::write(wakePipe[1], &none, 1);
        }
    } // the thread is joined here
};

// Never destroyed: stop tokens handed out may outlive the watcher.
std::stop_source &source()
{
    static auto *stop = new std::stop_source;
    return *stop;
}

} // namespace

std::stop_token install()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (::pipe2(wakePipe, O_CLOEXEC) != 0)
            return; // the signals keep their default action: the process ends as before
        // Reads until the first signal; the stop callbacks then run on this thread, never in
        // the handler. At exit a zero byte, which no signal sends, ends it and it is joined.
        static Watcher watcher;
        watcher.thread = std::jthread([] {
            unsigned char byte = 0;
            ssize_t count = 0;
            do
                count = ::read(wakePipe[0], &byte, 1);
            while (count < 0 && errno == EINTR);
            if (count == 1 && byte != 0) {
                first = byte;
                source().request_stop();
            }
        });
        struct sigaction action { };
        action.sa_handler = handle;
        sigemptyset(&action.sa_mask);
        for (const int number : handled)
            sigaddset(&action.sa_mask, number);
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        // One arriving meanwhile waits until all are in place, so that it resets all of them.
        sigset_t previous;
        ::pthread_sigmask(SIG_BLOCK, &action.sa_mask, &previous);
        for (size_t i = 0; i < std::size(handled); ++i) {
            // A signal inherited ignored stays ignored: nohup's SIGHUP, and the SIGINT a shell
            // ignores in its background jobs so that Ctrl+C in the terminal does not reach them.
            struct sigaction current { };
            const int number = handled[i];
            if (number != SIGTERM && ::sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
                continue;
            installed[i] = 1;
            ::sigaction(number, &action, nullptr);
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    });
    return source().get_token();
}

std::stop_token token()
{
    return source().get_token();
}

int received()
{
    return first;
}

int exitStatus()
{
    return 128 + first;
}

} // namespace vellmir::ShutdownSignals
