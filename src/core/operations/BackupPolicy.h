#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

class NetworkPathMonitor;
class PowerSource;
struct Destination;

// Whether a scheduled backup must wait, and for what. Checks, in order: AC power (when the
// destination asks for it), the presence of a local repository (local destinations), the
// network (every other kind). The first check that fails gives the answer.
class BackupPolicy {
public:
    using MonitorFactory = std::function<std::unique_ptr<NetworkPathMonitor>()>;

    BackupPolicy(std::shared_ptr<PowerSource> power, MonitorFactory monitors,
        std::chrono::milliseconds networkTimeout = std::chrono::seconds(5));

    // nullopt: the backup may run. Otherwise the sentence saying what it waits for. Never
    // fails. A local destination is answered at once; any other waits for the first network
    // report, at most the network time-out. While it waits on the application's main thread it
    // keeps that thread's event loop turning, since the network backend reports there; called
    // from another thread it relies on that loop running. A stop
    // request ends the wait with the time-out's answer: the backup waits.
    std::optional<QString> deferReason(const Destination &destination, std::stop_token stop = {}) const;

    // The system's power source and network monitor with the 5-second time-out.
    static const BackupPolicy &standard();

    static QString waitingForPower();
    static QString waitingForLocalRepository();
    static QString waitingForNetwork();
    static QString waitingForUnrestrictedNetwork();
    static QString networkUndetermined();

private:
    std::optional<QString> networkAnswer(bool avoidMetered, std::stop_token stop) const;

    std::shared_ptr<PowerSource> m_power;
    MonitorFactory m_monitors;
    std::chrono::milliseconds m_networkTimeout;
};

} // namespace vellmir
