#include "util/ShutdownSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace vellmir::ShutdownSignals {

namespace {

int wakePipe[2] = { -1, -1 };
std::atomic<int> first { 0 };

// Async-signal-safe: one byte into the pipe, read by the watcher below.
void handle(int number)
{
    const int saved = errno;
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
        // Once handled, the signal is back at its default: a second one ends the process.
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        for (const int number : { SIGINT, SIGTERM, SIGHUP }) {
            // A signal inherited ignored stays ignored: nohup's SIGHUP, and the SIGINT a shell
            // ignores in its background jobs so that Ctrl+C in the terminal does not reach them.
            struct sigaction current { };
            if (number != SIGTERM && ::sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
                continue;
            ::sigaction(number, &action, nullptr);
        }
    });
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
