#pragma once

#include <QStringList>

namespace vellmir {

// The executable's start modes, chosen from its whole argument list (element 0 is the program)
// before any application object exists. `approvalDialog` is the short-lived process that shows
// one approval question for the agent's process.
enum class StartMode { sealProbe, scheduledRun, commandLine, approvalDialog, windowed };

namespace VellmirMain {
// "cli" as the first argument wins, and everything after it belongs to the tool; otherwise
// "--check-seal-access" anywhere, then "--scheduled-run", then "--approval-dialog"; anything else is the
// windowed application. Matches are exact and case-sensitive.
StartMode selectMode(const QStringList &arguments);
// The arguments handed to the command-line tool: everything after "cli".
QStringList toolArguments(const QStringList &arguments);
} // namespace VellmirMain

} // namespace vellmir
