#include "agent/VellmirMain.h"

namespace vellmir::VellmirMain {

StartMode selectMode(const QStringList &arguments)
{
    // After "cli" every argument is the tool's: a switch among them is a word the tool
    // rejects, never a mode of its own.
    if (arguments.size() > 1 && arguments.at(1) == QStringLiteral("cli"))
        return StartMode::commandLine;
    if (arguments.contains(QStringLiteral("--check-seal-access")))
        return StartMode::sealProbe;
    if (arguments.contains(QStringLiteral("--scheduled-run")))
        return StartMode::scheduledRun;
    if (arguments.contains(QStringLiteral("--approval-dialog")))
        return StartMode::approvalDialog;
    return StartMode::windowed;
}

QStringList toolArguments(const QStringList &arguments)
{
    return arguments.mid(2);
}

} // namespace vellmir::VellmirMain
