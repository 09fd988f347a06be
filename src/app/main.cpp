#include "agent/AgentCLI.h"
#include "agent/VellmirMain.h"
#include "config/ConfigSeal.h"
#include "config/DataProtectionSealKeyStore.h"
#include "operations/BackupRequests.h"
#include "operations/ScheduledBackup.h"
#include "util/Date.h"
#include "util/Error.h"
#include "util/Log.h"

#include "agent/AgentApproval.h"
#include "agent/ApprovalDialog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <memory>

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

// Whether a display server answers where the environment points: Qt would abort on one that
// does not, so only a Wayland socket or a local X11 socket that exists (or a remote X display)
// counts.
bool desktopReachable()
{
    if (!DialogApprover::desktopSessionAvailable())
        return false;
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (!wayland.isEmpty()) {
        const QString socket
            = wayland.startsWith(u'/') ? wayland : qEnvironmentVariable("XDG_RUNTIME_DIR") + u'/' + wayland;
        if (QFileInfo::exists(socket))
            return true;
    }
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.startsWith(u':')) {
        const QString number = display.mid(1).section(u'.', 0, 0);
        return QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X") + number);
    }
    return !display.isEmpty();
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
    // Agent commands ask the user on the desktop when there is one; without it nobody can answer
    // and change requests end unanswered at once.
    const bool askOnDesktop = mode == StartMode::commandLine && desktopReachable();
    std::unique_ptr<QCoreApplication> app
        = askOnDesktop ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
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
        break;
    }
    std::fputs(usage, stderr);
    return 2;
}
