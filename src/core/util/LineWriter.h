#pragma once

#include <QByteArray>
#include <chrono>
#include <memory>
#include <thread>

namespace vellmir {

// Writes lines to a descriptor on a thread of its own, whole and in the order given, so whoever
// hands them over never waits on a reader that is slow or has stopped reading: the lines wait
// in memory meanwhile. Only this writer may write to the descriptor, or lines could interleave.
class LineWriter {
public:
    explicit LineWriter(int fd);
    // Drops what is still queued and waits for the thread, which never sits in write() for long.
    ~LineWriter();
    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

    // Queues one line, its line feed included. Returns at once.
    void write(QByteArray line);
    // Waits until every queued line has been written and returns true. Returns false, dropping
    // what is left, when the reader has taken nothing for `stall`, or when the descriptor failed
    // (say, the reader closed it).
    bool flush(std::chrono::milliseconds stall);

    struct State; // what the caller and the writing thread share

private:
    std::shared_ptr<State> m_state;
    std::jthread m_thread;
};

} // namespace vellmir
