#pragma once

#include <optional>

namespace vellmir {

// Which kind of source powers the machine right now.
class PowerSource {
public:
    virtual ~PowerSource() = default;

    // True when the battery provides power, false when an external supply does, nullopt when
    // the system cannot tell (callers then treat the machine as not on battery).
    virtual std::optional<bool> isOnBattery() = 0;
};

} // namespace vellmir
