#pragma once

#include "util/Error.h"

namespace vellmir {

// Errors of running the operations themselves, where restic's answer is not the cause: starting
// the background agent, a recovery test with nothing to test or a sample it could not clean up.
// The message is a complete sentence shown to the user unchanged.
class OperationError : public Error {
public:
    using Error::Error;
};

} // namespace vellmir
