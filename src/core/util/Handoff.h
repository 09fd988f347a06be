#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

namespace vellmir {

// A value a worker hands over once, to an owner that may not exist yet when the work begins (a
// read begun at launch, before the window's model is made). The value is kept until asked for;
// an owner that asks before it arrives is called, on the worker's thread, when it does, and
// passes it on through its Receiver.
template <typename T> class Handoff {
public:
    // Called once, by the worker.
    void set(T value)
    {
        std::function<void()> then;
        {
            const std::lock_guard guard(m_mutex);
            m_value = std::move(value);
            then = std::move(m_then);
        }
        m_arrived.notify_all();
        if (then)
            then();
    }

    // nullopt until set() was called.
    std::optional<T> value() const
    {
        const std::lock_guard guard(m_mutex);
        return m_value;
    }

    // Calls `then` once the value is in: at once, on this thread, when it is in already, else on
    // the worker's. A later call replaces an earlier one still waiting.
    void whenSet(std::function<void()> then)
    {
        {
            const std::lock_guard guard(m_mutex);
            if (!m_value) {
                m_then = std::move(then);
                return;
            }
        }
        then();
    }

    // Blocks until the value is in.
    T wait() const
    {
        std::unique_lock lock(m_mutex);
        m_arrived.wait(lock, [this] { return m_value.has_value(); });
        return *m_value;
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::optional<T> m_value;
    std::function<void()> m_then;
};

} // namespace vellmir
