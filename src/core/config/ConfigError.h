#pragma once

#include "util/Error.h"

namespace vellmir {

// Errors of the settings and of the credentials kept for them: the destinations store, its seal and
// the keyring items of a destination. The message is a complete sentence shown to the user unchanged.
class ConfigError : public Error {
public:
    using Error::Error;
};

} // namespace vellmir
