#include "agent/AgentCLI.h"
#include "agent/VellmirMain.h"
#include "config/ConfigSeal.h"
#include "config/DataProtectionSealKeyStore.h"
#include "operations/BackupRequests.h"
#include "operations/ScheduledBackup.h"
#include "util/Date.h"
#include "util/Error.h"
#include "util/Log.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

using namespace vellmir;

namespace {

const char usage[] = "usage: vellmir-app --scheduled-run | --check-seal-access | cli <command> ...\n"
                     "The windowed application is not available in this build.\n";

int sealProbe()
{
    const SealAccessCheck check = checkSealAccess(DataProtectionSealKeyStore());
    std::fputs(check.output.toUtf8().constData(), stdout);
    std::fflush(stdout);
    return check.exitStatus;
}

int scheduledRun()
{
    try {
        const std::unique_ptr<ScheduledBackup::Services> services = ScheduledBackup::systemServices();
        ScheduledBackup pass(*services);
        return pass.runDue(Date::now(), BackupRequests()) ? 0 : 1;
    } catch (const std::exception &error) {
        // Nothing may escape the pass: whatever it was, the pass failed.
        logText(QStringLiteral("Vellmir scheduler: ") + errorDescription(error));
        return 1;
    }
}

} // namespace

int main(int argc, char **argv)
{
    // libsecret would talk to whatever bus name this variable names; the secret store is not
    // something the environment may swap. Removed before any thread exists.
    ::unsetenv("SECRET_SERVICE_BUS_NAME");
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const StartMode mode = VellmirMain::selectMode(arguments);

    // System log lines stand as written ("Vellmir scheduler: ..."), without a category prefix.
    qSetMessagePattern(QStringLiteral("%{message}"));
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Vellmir"));
    QCoreApplication::setApplicationName(QStringLiteral("Vellmir"));
    switch (mode) {
    case StartMode::sealProbe:
        return sealProbe();
    case StartMode::scheduledRun:
        return scheduledRun();
    case StartMode::commandLine:
        return AgentCLI::main(VellmirMain::toolArguments(arguments));
    case StartMode::windowed:
        break;
    }
    std::fputs(usage, stderr);
    return 2;
}
