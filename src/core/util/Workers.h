#pragma once

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <system_error>
#include <thread>
#include <vector>

namespace vellmir {

// The stop token of the Workers job this thread runs (none on other threads): for deep work with
// no token of its own to watch, such as a folder walk, so that an owner that closes and waits for
// its jobs does not wait that work out.
inline std::stop_token &jobStop()
{
    thread_local std::stop_token token;
    return token;
}

// Runs each(first, last) over slices of [0, count) of at least `smallest` items, on up to four
// threads (this one included), and returns when all are done: for many independent items, such
// as files to read and decode. `each` must not throw. Where no thread can be made, this one does
// the rest.
template <typename Each> void inSlices(qsizetype count, qsizetype smallest, Each each)
{
    const qsizetype threads = std::clamp<qsizetype>(
        std::min<qsizetype>(count / std::max<qsizetype>(smallest, 1), std::thread::hardware_concurrency()), 1, 4);
    const qsizetype size = (count + threads - 1) / threads;
    std::vector<std::jthread> helpers;
    qsizetype first = size;
    for (; first < count; first += size) {
        try {
            helpers.emplace_back([&each, first, last = std::min(count, first + size)] { each(first, last); });
        } catch (const std::system_error &) {
            break;
        }
    }
    each(0, std::min(count, size));
    if (first < count)
        each(first, count);
}

// Starts `work` on a thread of its own while the caller goes on, for two waits on different things
// (the file system and another process, say); the thread returned is joined when it goes. Where no
// thread can be made, `work` runs at once on this one. `work` must not throw, and must outlive the
// thread returned.
template <typename Work> std::jthread alongside(Work &work)
{
    try {
        return std::jthread(std::ref(work));
    } catch (const std::system_error &) {
        work();
        return {};
    }
}

// The background work of one owner. Each job runs on a std::jthread of its own and is handed
// that thread's stop token; threads whose job has ended are joined at the next start(). The
// destructor asks the jobs still running to stop and hands them to beyondViews(), which the
// application waits for before main returns: an owner on the window's thread goes at once,
// however long restic takes to end after its stop. So a job owns copies (or shared pointers)
// of everything it reads, never its owner's members, and reports back through a Receiver,
// which the owner closes first thing in its destructor.
class Workers {
public:
    Workers() = default;
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;
    ~Workers()
    {
        if (m_last) {
            stopAndWait();
            return;
        }
        std::list<Running> running = stopping();
        beyondViews().adopt(running);
    }

    // Runs job(std::stop_token) on a thread of its own; throws std::system_error when none can
    // be made.
    template <typename Job> void start(Job job)
    {
        auto done = std::make_shared<std::atomic_bool>(false);
        const std::lock_guard guard(m_mutex);
        joinEnded();
        m_running.push_back({ std::jthread([job = std::move(job), done](std::stop_token stop) mutable {
                                 jobStop() = stop;
                                 job(stop);
                                 done->store(true);
                             }),
            done });
    }

    // The work that goes on after the view that started it has closed: a backup or restore run
    // ends, and is recorded, on its own. The application stops it and waits for it before main
    // returns, so none of it still runs while the process's statics are destroyed.
    static Workers &beyondViews()
    {
        static Workers workers(Last {});
        return workers;
    }

    // As start(), with a token that is stopped as well when `cancel` is: for work its own
    // owner can cancel while these workers may end it too.
    template <typename Job> void start(std::stop_token cancel, Job job)
    {
        start([cancel = std::move(cancel), job = std::move(job)](std::stop_token ending) mutable {
            std::stop_source either;
            const std::stop_callback cancelled(cancel, [&either] { either.request_stop(); });
            const std::stop_callback ended(ending, [&either] { either.request_stop(); });
            jobStop() = either.get_token();
            job(either.get_token());
        });
    }

    // Asks every job to stop and returns once all have ended.
    void stopAndWait() { stopping().clear(); }

private:
    struct Running {
        std::jthread thread;
        std::shared_ptr<std::atomic_bool> done;
    };
    struct Last { };

    explicit Workers(Last)
        : m_last(true)
    {
    }

    // Takes every job out, asked to stop.
    std::list<Running> stopping()
    {
        std::list<Running> running;
        {
            const std::lock_guard guard(m_mutex);
            running.swap(m_running);
        }
        for (Running &each : running)
            each.thread.request_stop();
        return running;
    }

    void adopt(std::list<Running> &running)
    {
        const std::lock_guard guard(m_mutex);
        joinEnded();
        m_running.splice(m_running.end(), running);
    }

    void joinEnded()
    {
        m_running.remove_if([](const Running &each) { return each.done->load(); });
    }

    std::mutex m_mutex;
    std::list<Running> m_running;
    // The process's own workers: what is left when they go is waited for.
    bool m_last = false;
};

} // namespace vellmir
