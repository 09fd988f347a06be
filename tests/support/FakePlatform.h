#pragma once

#include "platform/KeepAwake.h"
#include "platform/NetworkPathMonitor.h"
#include "platform/Notifier.h"
#include "platform/PowerSource.h"
#include "util/Error.h"

#include <QList>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

namespace vellmir::test {

// A notification server in memory: records what it is asked to show.
class FakeNotifier final : public Notifier {
public:
    struct Call {
        quint32 replaces;
        QString title;
        QString body;
        quint32 id;
    };

    std::optional<NotificationServerInfo> serverInformation() override
    {
        if (!available)
            return std::nullopt;
        return NotificationServerInfo { QStringLiteral("fake"), QStringLiteral("tests"), QStringLiteral("1"),
            QStringLiteral("1.2") };
    }

    quint32 notify(quint32 replaces, const QString &title, const QString &body) override
    {
        std::lock_guard lock(mutex);
        if (!failure.isEmpty())
            throw Error(failure);
        const quint32 id = replaces != 0 ? replaces : ++lastId;
        calls.append({ replaces, title, body, id });
        return id;
    }

    QString serverInstance() override { return available ? instance : QString(); }

    std::mutex mutex;
    QList<Call> calls;
    quint32 lastId = 0;
    bool available = true;
    QString instance = QStringLiteral("fake-bus/:1.1");
    QString failure; // non-empty: notify() throws this sentence
};

class FakePowerSource final : public PowerSource {
public:
    explicit FakePowerSource(std::optional<bool> battery = false)
        : onBattery(battery)
    {
    }
    std::optional<bool> isOnBattery() override
    {
        ++reads;
        return onBattery;
    }
    std::optional<bool> onBattery;
    std::atomic<int> reads = 0;
};

// What the fake monitors of one test share: the reports they give on start, and a count of
// what happened to them. The test keeps it while the policy owns the monitors.
struct FakeNetwork {
    QList<NetworkPath> reportsOnStart;
    std::mutex mutex;
    int started = 0;
    int cancelled = 0;
    NetworkPathMonitor::Handler handler; // of the latest monitor started

    // Sends a report through the latest monitor, as a late or asynchronous one would come.
    void report(const NetworkPath &path)
    {
        NetworkPathMonitor::Handler copy;
        {
            std::lock_guard lock(mutex);
            copy = handler;
        }
        if (copy)
            copy(path);
    }
};

class FakeNetworkPathMonitor final : public NetworkPathMonitor {
public:
    explicit FakeNetworkPathMonitor(std::shared_ptr<FakeNetwork> network)
        : m_network(std::move(network))
    {
    }
    void start(Handler handler) override
    {
        QList<NetworkPath> reports;
        {
            std::lock_guard lock(m_network->mutex);
            ++m_network->started;
            m_network->handler = handler;
            reports = m_network->reportsOnStart;
        }
        for (const NetworkPath &path : reports)
            handler(path);
    }
    void cancel() override
    {
        std::lock_guard lock(m_network->mutex);
        ++m_network->cancelled;
    }

private:
    std::shared_ptr<FakeNetwork> m_network;
};

class FakeKeepAwake final : public KeepAwake {
public:
    class Hold final : public KeepAwakeHold {
    public:
        explicit Hold(std::shared_ptr<std::atomic<int>> held)
            : m_held(std::move(held))
        {
            ++*m_held;
        }
        ~Hold() override { --*m_held; }
        bool isActive() const override { return true; }

    private:
        std::shared_ptr<std::atomic<int>> m_held;
    };

    std::unique_ptr<KeepAwakeHold> hold(const QString &reason) override
    {
        lastReason = reason;
        return std::make_unique<Hold>(held);
    }

    // How many holds are alive right now.
    std::shared_ptr<std::atomic<int>> held = std::make_shared<std::atomic<int>>(0);
    QString lastReason;
};

} // namespace vellmir::test
