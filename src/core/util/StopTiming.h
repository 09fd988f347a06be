#pragma once

#include <chrono>

namespace vellmir::StopTiming {

// How long a cancelled child gets between SIGTERM and SIGKILL: time to remove its lock from a
// remote repository. The engine stops restic with it; the scheduler's unit must wait for it.
inline constexpr std::chrono::milliseconds killDelay { 10000 };
// How long output is still read after the child exited while something else holds its pipes.
inline constexpr std::chrono::milliseconds drainGrace { 2000 };

} // namespace vellmir::StopTiming
