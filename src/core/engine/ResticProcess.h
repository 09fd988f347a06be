#pragma once

#include "util/StopTiming.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <chrono>
#include <functional>
#include <sys/types.h>
#include <vector>

namespace vellmir {

// One child process of the engine and the POSIX work around it: spawning it as the leader
// of its own process group with stdin from /dev/null, set to get SIGTERM when this process
// dies, reading its stdout and stderr pipes, cancelling it and reaping it. A keeper process in
// its group holds the pipes' read ends too: once this process is gone, for whatever reason, it
// reads and drops restic's output (so restic neither blocks on a full pipe nor dies of a broken
// one before removing its lock) and kills the group killDelay later; it also holds the run's
// repository lock until restic has exited. The keeper is its own small program (vellmir-keeper)
// started by exec, never a copy of this process. Used by ResticEngine only,
// which turns the bytes into lines on its caller's thread.
//
// pump() runs on one thread and makes every signal and reaping decision there. The child is
// reaped only after the pump ends, so its pid, which is also its process group's id, cannot
// be reused by another process while a signal may still be sent to that group.
class ResticProcess {
public:
    // What the pump read from one of the pipes, in the order it was read.
    struct Chunk {
        enum class Kind { data, end, failed };
        Kind kind = Kind::data;
        bool isStderr = false;
        QByteArray bytes; // data
        int error = 0; // failed: the errno of the read
    };
    using Sink = std::function<void(std::vector<Chunk> &batch)>;

    static constexpr std::chrono::milliseconds killDelay = StopTiming::killDelay;
    static constexpr std::chrono::milliseconds drainGrace = StopTiming::drainGrace;

    // Throws Error when the wake-up descriptor cannot be made.
    ResticProcess();
    // Kills and reaps a child that pump() did not see to its end.
    ~ResticProcess();
    ResticProcess(const ResticProcess &) = delete;
    ResticProcess &operator=(const ResticProcess &) = delete;

    // Starts `program` with `arguments` (argv[0] included) and exactly `environment`. The keeper
    // keeps a copy of `lock`, the descriptor of a repository lock, until the child has exited: the
    // lock outlasts this process while restic still runs, and no longer.
    // Returns 0, or the errno of the failure (nothing then runs). The calling thread must
    // outlive the child: the child's death signal is tied to it.
    int start(
        const QByteArray &program, const QByteArrayList &arguments, const QByteArrayList &environment, int lock = -1);

    // Asks the pump to stop the child. Safe from any thread, also before the pump runs.
    void cancel() noexcept;

    // Reads both pipes until the child has exited and its output is drained, handing what it
    // read to `sink` in batches (the vector is cleared afterwards; the sink may take its
    // contents). Each pipe ends with one `end` or `failed` chunk. Cancellation sends SIGTERM to the child alone,
    // whose helpers (ssh) it may still need to remove its repository lock, and SIGKILL to the whole group once the
    // child has exited, or after killDelay while it still runs. Once the child has exited, output is
    // still read until end of file, but at most drainGrace when something else (a descendant) keeps the
    // pipes open. Reaps the child and returns its status, 128 + signal for a death by signal.
    int pump(const Sink &sink);

private:
    using Clock = std::chrono::steady_clock;
    struct Ending;

    void signalGroup(int signal) const noexcept;
    // A cancel arrived: SIGTERM to the child, or SIGKILL to the group once the child has exited.
    void stop(Ending &ending, Clock::time_point now) const noexcept;
    // Looks for the child's exit without reaping it; ends the rest of the group of a cancelled run.
    void noteExit(Ending &ending, Clock::time_point now) noexcept;
    // Reaps the child: its status, 128 + signal for a death by signal, or -1.
    int reap() noexcept;

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_pidfd = -1;
    int m_lifeline = -1; // write end of the keeper's lifeline (see start())
    int m_wake = -1;
    int m_out = -1;
    int m_err = -1;
};

} // namespace vellmir
