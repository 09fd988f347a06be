#include "operations/BackupPolicy.h"

#include "config/Destination.h"
#include "platform/NetworkPathMonitor.h"
#include "platform/PowerSource.h"
#include "platform/QtNetworkPathMonitor.h"
#include "platform/SystemPowerSource.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vellmir {

namespace {
// Hands the answer of one network check to the waiting caller.
class Waiter {
public:
    void deliver(std::optional<QString> answer)
    {
        std::lock_guard lock(m_mutex);
        m_answer = std::move(answer);
        if (m_loop)
            QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
        m_changed.notify_all();
    }

    std::optional<QString> wait()
    {
        const QCoreApplication *app = QCoreApplication::instance();
        if (app && QThread::currentThread() == app->thread()) {
            QEventLoop loop;
            {
                std::lock_guard lock(m_mutex);
                if (m_answer)
                    return *m_answer;
                m_loop = &loop;
            }
            loop.exec(QEventLoop::ExcludeUserInputEvents);
            std::lock_guard lock(m_mutex);
            m_loop = nullptr;
            return m_answer.value_or(std::nullopt);
        }
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_answer.has_value(); });
        return *m_answer;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<std::optional<QString>> m_answer;
    QEventLoop *m_loop = nullptr;
};

// Shared by the path handler and the timer of one check: whichever calls finish() first
// decides; the other finds nothing left to do.
class NetworkCompletion {
public:
    using Continuation = std::function<void(std::optional<QString>)>;

    NetworkCompletion(Continuation continuation, NetworkPathMonitor *monitor)
        : m_continuation(std::move(continuation))
        , m_monitor(monitor)
    {
    }

    void finish(std::optional<QString> answer)
    {
        Continuation continuation;
        NetworkPathMonitor *monitor = nullptr;
        {
            std::lock_guard lock(m_lock);
            continuation = std::exchange(m_continuation, {});
            monitor = std::exchange(m_monitor, nullptr);
        }
        if (!continuation)
            return;
        monitor->cancel();
        continuation(std::move(answer));
    }

private:
    std::mutex m_lock;
    Continuation m_continuation;
    NetworkPathMonitor *m_monitor;
};

std::optional<QString> answerFor(const NetworkPath &path, bool avoidMetered)
{
    if (!path.satisfied)
        return BackupPolicy::waitingForNetwork();
    if (!avoidMetered)
        return std::nullopt;
    if (path.expensive || path.constrained)
        return BackupPolicy::waitingForUnrestrictedNetwork();
    return std::nullopt;
}
} // namespace

BackupPolicy::BackupPolicy(
    std::shared_ptr<PowerSource> power, MonitorFactory monitors, std::chrono::milliseconds networkTimeout)
    : m_power(std::move(power))
    , m_monitors(std::move(monitors))
    , m_networkTimeout(networkTimeout)
{
}

const BackupPolicy &BackupPolicy::standard()
{
    static const BackupPolicy policy(
        std::make_shared<SystemPowerSource>(), [] { return std::make_unique<QtNetworkPathMonitor>(); });
    return policy;
}

QString BackupPolicy::waitingForPower()
{
    return QStringLiteral("Waiting for AC power.");
}

QString BackupPolicy::waitingForLocalRepository()
{
    return QStringLiteral("Waiting for the local repository. Reconnect the backup disk.");
}

QString BackupPolicy::waitingForNetwork()
{
    return QStringLiteral("Waiting for a network connection.");
}

QString BackupPolicy::waitingForUnrestrictedNetwork()
{
    return QStringLiteral("Waiting for an unrestricted network connection.");
}

QString BackupPolicy::networkUndetermined()
{
    return QStringLiteral("Could not determine network availability. Will retry.");
}

std::optional<QString> BackupPolicy::deferReason(const Destination &destination, std::stop_token stop) const
{
    const BackupPreferences preferences = destination.effectivePreferences();
    // A power source that cannot be read passes: better a backup on battery than none at all.
    if (preferences.onlyOnAC && m_power && m_power->isOnBattery().value_or(false))
        return waitingForPower();
    if (destination.kind == Destination::Kind::local) {
        if (QFileInfo::exists(Destination::localFolder(destination.repository)))
            return std::nullopt;
        return waitingForLocalRepository();
    }
    return networkAnswer(preferences.avoidMeteredNetworks, std::move(stop));
}

std::optional<QString> BackupPolicy::networkAnswer(bool avoidMetered, std::stop_token stop) const
{
    std::unique_ptr<NetworkPathMonitor> monitor = m_monitors ? m_monitors() : nullptr;
    if (!monitor)
        return networkUndetermined();

    auto waiter = std::make_shared<Waiter>();
    auto completion = std::make_shared<NetworkCompletion>(
        [waiter](std::optional<QString> answer) { waiter->deliver(std::move(answer)); }, monitor.get());

    // The timer is its own thread so that it fires whatever the calling thread does meanwhile.
    std::jthread timer([completion, timeout = m_networkTimeout](std::stop_token timerStop) {
        std::mutex mutex;
        std::condition_variable_any idle;
        std::unique_lock lock(mutex);
        idle.wait_for(lock, timerStop, timeout, [] { return false; });
        if (!timerStop.stop_requested())
            completion->finish(networkUndetermined());
    });
    std::stop_callback onStop(stop, [completion] { completion->finish(networkUndetermined()); });

    monitor->start(
        [completion, avoidMetered](const NetworkPath &path) { completion->finish(answerFor(path, avoidMetered)); });
    std::optional<QString> answer = waiter->wait();
    // Once answered, a late timer has nothing to deliver; stop it rather than let the thread
    // linger for the rest of the time-out.
    timer.request_stop();
    return answer;
}

} // namespace vellmir
