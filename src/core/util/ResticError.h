#pragma once

#include "util/Error.h"

namespace vellmir {

// Errors of the restic engine: what restic answered, or why the engine could not ask it (no
// restic, a run it refuses to start). Other layers raise their own (ConfigError, OperationError).
// The message is a complete sentence shown to the user unchanged.
class ResticError : public Error {
public:
    using Error::Error;
    static ResticError command(const QString &message) { return ResticError(message); }
    static ResticError binaryNotFound() { return ResticError(QStringLiteral("restic not found")); }
};

} // namespace vellmir
