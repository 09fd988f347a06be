#pragma once

#include <functional>

namespace vellmir {

// The state of the machine's network path as far as a backup cares.
struct NetworkPath {
    bool satisfied = false; // some network can carry traffic
    bool expensive = false; // metered: mobile data, a tethered phone, a connection marked metered
    bool constrained = false; // the user asked to save data on it

    friend bool operator==(const NetworkPath &, const NetworkPath &) = default;
};

// Watches the network path. One monitor serves one watch: start it once, cancel it once.
class NetworkPathMonitor {
public:
    using Handler = std::function<void(const NetworkPath &)>;

    virtual ~NetworkPathMonitor() = default;

    // Calls `handler` with each current path, the first time soon after starting, on any
    // thread, possibly before start() returns.
    virtual void start(Handler handler) = 0;
    // Stops the reports. May be called from inside the handler and from any thread; a report
    // already under way may still arrive, so the handler must tolerate a late call.
    virtual void cancel() = 0;
};

} // namespace vellmir
