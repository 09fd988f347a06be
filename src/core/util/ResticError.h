#pragma once

#include "util/Error.h"

namespace vellmir {

// What restic answered, when that is why an operation failed. Other layers raise their own
// (ConfigError, OperationError, EngineRefusal). The message is a complete sentence shown to the
// user unchanged.
class ResticError : public Error {
public:
    using Error::Error;
    static ResticError command(const QString &message) { return ResticError(message); }
};

// The engine's own refusal of what it was given (a path that is not absolute, a policy that keeps
// nothing, a removal counted before the snapshots changed): restic was not asked to do it.
class EngineRefusal : public Error {
public:
    using Error::Error;
};

} // namespace vellmir
