#include "util/LineWriter.h"

#include "util/Log.h"

#include <QList>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace vellmir {

using Clock = std::chrono::steady_clock;

struct LineWriter::State {
    std::mutex mutex;
    std::condition_variable changed;
    QList<QByteArray> queue;
    bool writing = false; // a line has left the queue but is not all written yet
    bool closing = false;
    bool failed = false; // the descriptor refused a write; everything after is dropped
    bool abandoned = false; // flush() gave up on the reader
    Clock::time_point lastProgress = Clock::now();

    bool idle() const { return queue.isEmpty() && !writing; }
    bool givenUp() const { return failed || abandoned || closing; }
};

namespace {

// Writes `line` in pieces no larger than the pipe's atomic size, each once poll() says there is
// room for it, so a write never blocks and a writer that has been given up on stops within one
// poll interval. Returns false when the descriptor failed.
bool writeWhole(int fd, const QByteArray &line, const std::shared_ptr<LineWriter::State> &state)
{
    qsizetype done = 0;
    while (done < line.size()) {
        {
            std::lock_guard guard(state->mutex);
            if (state->givenUp())
                return true;
        }
        pollfd ready { fd, POLLOUT, 0 };
        const int polled = ::poll(&ready, 1, 200);
        if (polled < 0 && errno != EINTR)
            return false;
        if (polled <= 0)
            continue;
        if (ready.revents & POLLNVAL)
            return false;
        const size_t piece = size_t(std::min<qsizetype>(line.size() - done, PIPE_BUF));
        const ssize_t count = ::write(fd, line.constData() + done, piece);
        if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (count <= 0)
            return false;
        done += count;
        std::lock_guard guard(state->mutex);
        state->lastProgress = Clock::now();
    }
    return true;
}

void writeLoop(int fd, const std::shared_ptr<LineWriter::State> &state)
{
    // A reader that went away makes write() fail with EPIPE here instead of killing the process
    // with SIGPIPE: the signal is raised for this thread, which never takes it.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    for (;;) {
        QByteArray line;
        {
            std::unique_lock lock(state->mutex);
            state->changed.wait(lock, [&] { return !state->queue.isEmpty() || state->closing; });
            if (state->closing)
                return;
            line = state->queue.takeFirst();
            state->writing = true;
        }
        const bool written = writeWhole(fd, line, state);
        std::lock_guard guard(state->mutex);
        state->writing = false;
        if (!written && !state->failed) {
            state->failed = true;
            state->queue.clear();
            logLine(QStringLiteral("MCP"), QStringLiteral("Could not write a response to standard output."));
        }
        state->changed.notify_all();
    }
}

} // namespace

LineWriter::LineWriter(int fd)
    : m_state(std::make_shared<State>())
{
    m_thread = std::jthread([fd, state = m_state] { writeLoop(fd, state); });
}

LineWriter::~LineWriter()
{
    {
        std::lock_guard guard(m_state->mutex);
        m_state->closing = true;
        m_state->queue.clear();
    }
    m_state->changed.notify_all();
    m_thread.join();
}

void LineWriter::write(QByteArray line)
{
    {
        std::lock_guard guard(m_state->mutex);
        if (m_state->givenUp())
            return;
        m_state->queue.append(std::move(line));
    }
    m_state->changed.notify_all();
}

bool LineWriter::flush(std::chrono::milliseconds stall)
{
    std::unique_lock lock(m_state->mutex);
    // The reader's patience is measured from now at the earliest: lines written long ago say
    // nothing about whether it still reads.
    Clock::time_point since = std::max(m_state->lastProgress, Clock::now());
    for (;;) {
        if (m_state->changed.wait_until(lock, since + stall, [&] { return m_state->idle() || m_state->givenUp(); }))
            return m_state->idle() && !m_state->failed && !m_state->abandoned;
        if (m_state->lastProgress > since) {
            since = m_state->lastProgress;
            continue;
        }
        const qsizetype left = m_state->queue.size() + (m_state->writing ? 1 : 0);
        m_state->abandoned = true;
        m_state->queue.clear();
        logLine(QStringLiteral("MCP"),
            QStringLiteral("The client has not read for %1 ms, so %2 message(s) were not sent.")
                .arg(stall.count())
                .arg(left));
        return false;
    }
}

} // namespace vellmir
