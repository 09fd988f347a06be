#pragma once

#include <QString>

namespace vellmir {

// The system's registration of the background scheduler: on Linux a systemd user service that
// runs this executable with "--scheduled-run", started hourly by a timer.
class AgentService {
public:
    enum class Status { notRegistered, enabled, notFound };

    virtual ~AgentService() = default;
    virtual Status status() = 0;
    // Whether an enabled registration starts what this build would register. Asked only while
    // status() is enabled: a registration left by another build or another copy of the
    // executable still counts as registered, so that it can be removed, but is replaced when kept.
    virtual bool isCurrent() { return true; }
    // Both throw Error with the system's own description on failure.
    virtual void registerAgent() = 0;
    virtual void unregisterAgent() = 0;
};

} // namespace vellmir
