#pragma once

#include <QString>
#include <memory>

namespace vellmir {

// A held request that the machine stay awake; it lapses when the object is destroyed.
class KeepAwakeHold {
public:
    virtual ~KeepAwakeHold() = default;
    // Whether the system actually granted the request (false when no service was there).
    virtual bool isActive() const = 0;
};

// Keeps the machine from sleeping while a backup runs.
class KeepAwake {
public:
    virtual ~KeepAwake() = default;
    // Never fails: when the system offers no way to stay awake, the hold is inactive.
    virtual std::unique_ptr<KeepAwakeHold> hold(const QString &reason) = 0;
};

} // namespace vellmir
