#pragma once

#include "util/Error.h"

namespace vellmir {

// Errors of the restic engine and of building a restic environment. The
// message is a complete sentence shown to the user unchanged.
class ResticError : public Error {
public:
    using Error::Error;
    static ResticError command(const QString &message) { return ResticError(message); }
    static ResticError binaryNotFound() { return ResticError(QStringLiteral("restic not found")); }
};

} // namespace vellmir
