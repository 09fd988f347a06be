#pragma once

#include <QStringList>

namespace vellmir {

// The executable's four start modes, chosen from its whole argument list (element 0 is the
// program) before any application object exists.
enum class StartMode { sealProbe, scheduledRun, commandLine, windowed };

namespace VellmirMain {
// "cli" as the first argument wins, and everything after it belongs to the tool; otherwise
// "--check-seal-access" anywhere, then "--scheduled-run" anywhere; anything else is the
// windowed application. Matches are exact and case-sensitive.
StartMode selectMode(const QStringList &arguments);
// The arguments handed to the command-line tool: everything after "cli".
QStringList toolArguments(const QStringList &arguments);
} // namespace VellmirMain

} // namespace vellmir
