#pragma once

#include <QMetaObject>

#include <memory>
#include <mutex>

namespace vellmir {

// A worker thread's way back to the QObject that started it. The owner makes one with make(),
// hands the shared pointer to its workers and calls close() first thing in its destructor.
// post() runs a function on the owner's thread with the owner as argument; the mutex makes
// close() wait for a post under way, so after close() nothing more is posted, and what was
// posted before is discarded by Qt along with the owner. Workers keep the receiver alive, so
// they may outlive the owner and end harmlessly.
template <typename Owner> class Receiver {
public:
    explicit Receiver(Owner *owner)
        : m_owner(owner)
    {
    }
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    static std::shared_ptr<Receiver> make(Owner *owner) { return std::make_shared<Receiver>(owner); }

    void close()
    {
        const std::lock_guard guard(m_mutex);
        m_owner = nullptr;
    }

    // `function` is called as function(Owner *) on the owner's thread, or never.
    template <typename Function> void post(Function function)
    {
        const std::lock_guard guard(m_mutex);
        Owner *owner = m_owner;
        if (!owner)
            return;
        QMetaObject::invokeMethod(
            owner, [owner, function = std::move(function)] { function(owner); }, Qt::QueuedConnection);
    }

private:
    std::mutex m_mutex;
    Owner *m_owner;
};

} // namespace vellmir
