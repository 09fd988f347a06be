#pragma once

#include <QString>
#include <cstring>

namespace vellmir {

// The C library's sentence for an errno value. It comes in the locale's encoding, like every
// other text the C library hands back.
inline QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace vellmir
