#pragma once

#include <QString>

namespace vellmir {

// The system's registration of the background scheduler: on Linux a systemd user service that
// runs this executable with "--scheduled-run", started hourly by a timer.
class AgentService {
public:
    enum class Status { notRegistered, enabled, requiresApproval, notFound };

    virtual ~AgentService() = default;
    virtual Status status() = 0;
    // Both throw Error with the system's own description on failure.
    virtual void registerAgent() = 0;
    virtual void unregisterAgent() = 0;
};

} // namespace vellmir
