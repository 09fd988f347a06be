#include "agent/VellmirMain.h"

namespace vellmir::VellmirMain {

StartMode selectMode(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--check-seal-access")))
        return StartMode::sealProbe;
    if (arguments.contains(QStringLiteral("--scheduled-run")))
        return StartMode::scheduledRun;
    if (arguments.size() > 1 && arguments.at(1) == QStringLiteral("cli"))
        return StartMode::commandLine;
    return StartMode::windowed;
}

QStringList toolArguments(const QStringList &arguments)
{
    return arguments.mid(2);
}

} // namespace vellmir::VellmirMain
