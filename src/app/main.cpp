#include "agent/AgentCLI.h"
#include "agent/VellmirMain.h"
#include "config/ConfigSeal.h"
#include "config/DataProtectionSealKeyStore.h"
#include "operations/BackupRequests.h"
#include "operations/ScheduledBackup.h"
#include "platform/SessionBus.h"
#include "util/Date.h"
#include "util/Error.h"
#include "util/Log.h"
#include "util/ShutdownSignals.h"

#include "agent/AgentApproval.h"
#include "agent/ApprovalDialog.h"
#include "shell/VellmirApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace vellmir;

namespace {

int sealProbe()
{
    const SealAccessCheck check = checkSealAccess(DataProtectionSealKeyStore());
    std::fputs(check.output.toUtf8().constData(), stdout);
    std::fflush(stdout);
    return check.exitStatus;
}

int scheduledRun()
{
    // A signal (systemd stopping the unit, the session ending) winds the pass down as it does
    // a command: the backup under way stops restic and records "cancelled", nothing new starts.
    const std::stop_token shutdown = ShutdownSignals::install();
    const auto status = [](bool passed) {
        return ShutdownSignals::received() ? ShutdownSignals::exitStatus() : passed ? 0 : 1;
    };
    try {
        const std::unique_ptr<ScheduledBackup::Services> services = ScheduledBackup::systemServices(shutdown);
        ScheduledBackup pass(*services);
        return status(pass.runDue(Date::now(), BackupRequests()));
    } catch (const std::exception &error) {
        // Nothing may escape the pass: whatever it was, the pass failed.
        logText(QStringLiteral("Vellmir scheduler: ") + errorDescription(error));
        return status(false);
    }
}

} // namespace

int main(int argc, char **argv)
{
    // libsecret would talk to whatever bus name this variable names; the secret store is not
    // something the environment may swap. Removed before any thread exists.
    ::unsetenv("SECRET_SERVICE_BUS_NAME");
    SessionBus::adopt();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const StartMode mode = VellmirMain::selectMode(arguments);

    // System log lines stand as written ("Vellmir scheduler: ..."), without a category prefix.
    qSetMessagePattern(QStringLiteral("%{message}"));
    // The windowed application makes its own QApplication, and only once it knows a display
    // server answers.
    if (mode == StartMode::windowed)
        return VellmirApp::main(argc, argv);
    // Agent commands ask the user on the desktop when there is one; without it nobody can answer
    // and change requests end unanswered at once.
    const bool askOnDesktop = mode == StartMode::commandLine && VellmirApp::desktopReachable();
    // Qt reads options of its own ("--platform", "-style", ...) out of the arguments it is given,
    // and the headless modes' arguments are the agent's words, not Qt's: Qt sees the program
    // name only. Both live as long as the application object, as Qt requires.
    static int qtArgumentCount = 1;
    static char *qtArguments[] = { argv[0], nullptr };
    std::unique_ptr<QCoreApplication> app = askOnDesktop
        ? std::make_unique<QApplication>(qtArgumentCount, qtArguments)
        : std::make_unique<QCoreApplication>(qtArgumentCount, qtArguments);
    QCoreApplication::setOrganizationName(QStringLiteral("Vellmir"));
    QCoreApplication::setApplicationName(QStringLiteral("Vellmir"));
    switch (mode) {
    case StartMode::sealProbe:
        return sealProbe();
    case StartMode::scheduledRun:
        return scheduledRun();
    case StartMode::commandLine:
        AgentCLI::setApproverFactory([askOnDesktop] {
            return std::make_shared<DialogApprover>(
                DialogApprover::defaultTimeout, askOnDesktop ? std::make_shared<ApprovalDialog>() : nullptr);
        });
        return AgentCLI::main(VellmirMain::toolArguments(arguments));
    case StartMode::windowed:
        break; // started above
    }
    return 1;
}
