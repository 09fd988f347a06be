#include "agent/AgentCLI.h"
#include "agent/AgentControl.h"
#include "agent/VellmirMain.h"
#include "config/ConfigSeal.h"
#include "operations/BackupRequests.h"
#include "operations/ScheduledBackup.h"
#include "platform/DataProtectionSealKeyStore.h"
#include "platform/DesktopSession.h"
#include "platform/KeyringSession.h"
#include "platform/SessionBus.h"
#include "util/AppPaths.h"
#include "util/Date.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/ShutdownSignals.h"

#include "agent/AgentApproval.h"
#include "agent/ApprovalDialog.h"
#include "shell/VellmirApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <unistd.h>
#include <utility>

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
    // One Secret Service session for the pass: its configuration check and the credentials of
    // the backups it runs here read through it.
    const KeyringSession keyringSession;
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

// The alert the agent's process writes: one line on standard input, as long as a question whose
// values keep within the command table's bounds can be.
std::optional<ApprovalPrompt::Alert> readAlert()
{
    const qsizetype longest = ApprovalPrompt::Alert::longestJson();
    QByteArray line;
    std::array<char, 64 * 1024> buffer {};
    while (line.size() <= longest) {
        const ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        const auto *end = static_cast<const char *>(std::memchr(buffer.data(), '\n', static_cast<size_t>(count)));
        line.append(buffer.data(), end ? end - buffer.data() : count);
        if (end)
            break;
    }
    if (line.size() > longest)
        return std::nullopt;
    return ApprovalPrompt::Alert::fromJson(line);
}

// Shows one approval question on the display the environment names, when the process that started
// this one holds the question lock. Writes "shown" on standard
// output once the window is on screen, then the index of the chosen button (-1: closed
// otherwise). Ends without an answer when standard input ends (the agent's process is gone or
// took the question back) or the display goes away, with ProcessPrompt::noDisplayStatus when no
// display answers and ProcessPrompt::stalledStatus when the display takes the connection but never
// answers.
int approvalDialog(int &argc, char **argv)
{
    // Only the question that holds the screen, asked by the process that started this one, is
    // shown: a look-alike started by hand could lend its clicks to the real question under it.
    const int question = DialogApprover::connectToParentsQuestion();
    if (question < 0) {
        std::fputs("vellmir-app: --approval-dialog shows only the questions vellmir itself asks.\n", stderr);
        return 1;
    }
    const std::optional<ApprovalPrompt::Alert> alert = readAlert();
    if (!alert)
        return 1;
    if (!DesktopSession::reachable(QProcessEnvironment::systemEnvironment()))
        return ProcessPrompt::noDisplayStatus;
    std::optional<VellmirApp::ConnectingToDisplay> connecting(
        std::in_place, QString(), ProcessPrompt::noDisplayStatus, QString(), ProcessPrompt::stalledStatus);
    QApplication application(argc, argv);
    connecting.reset();
    // The question let go of its lock (answered elsewhere, withdrawn, its process gone).
    QSocketNotifier lock(question, QSocketNotifier::Read);
    QObject::connect(&lock, &QSocketNotifier::activated, &application, [&lock] {
        lock.setEnabled(false);
        QCoreApplication::exit(1);
    });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::exit(1);
        }
    });
    ApprovalDialog dialog;
    dialog.show(
        *alert,
        [](int button) {
            std::printf("%d\n", button);
            std::fflush(stdout);
            QCoreApplication::exit(0);
        },
        [shown = false]() mutable {
            if (std::exchange(shown, true))
                return;
            std::puts("shown");
            std::fflush(stdout);
        });
    return QApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    // A large buffer (a long history read or merged) goes back to the system when it is freed, in
    // every thread: glibc's threshold would otherwise rise after the first such free and keep the
    // next ones in the heap of the thread that used them, which a long-running window or MCP
    // server never gives back. Set before any thread exists.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    // libsecret would talk to whatever bus name this variable names; the secret store is not
    // something the environment may swap. Removed before any thread exists.
    ::unsetenv("SECRET_SERVICE_BUS_NAME");
    // Each child is reaped by the wait of whoever started it. Inherited ignored, SIGCHLD would have
    // the system reap them instead, and a pid reaped unseen may be another process's by the time a
    // signal is sent to it.
    ::signal(SIGCHLD, SIG_DFL);
    SessionBus::adopt();
    QStringList arguments;
    // A folder named on the command line may not be UTF-8; its bytes must reach restic unchanged.
    for (int i = 0; i < argc; ++i)
        arguments.append(LocalPath::decode(argv[i]));
    const StartMode mode = VellmirMain::selectMode(arguments);
    AppPaths::tightenFolders();

    // System log lines stand as written ("Vellmir scheduler: ..."), without a category prefix.
    qSetMessagePattern(QStringLiteral("%{message}"));
    // The windowed application makes its own QApplication, and only once it knows a display
    // server answers.
    if (mode == StartMode::windowed)
        return VellmirApp::main(argc, argv);
    // Both live as long as the application object, as Qt requires.
    static int qtArgumentCount = 1;
    static char *qtArguments[] = { argv[0], nullptr };
    if (mode == StartMode::approvalDialog)
        return approvalDialog(qtArgumentCount, qtArguments);
    // Agent commands ask the user in a dialog of a process of their own (ProcessPrompt), so this
    // process never connects to a display. Qt reads options of its own ("--platform",
    // "-style", ...) out of the arguments it is given, and the headless modes' arguments are the
    // agent's words, not Qt's: Qt sees the program name only.
    QCoreApplication app(qtArgumentCount, qtArguments);
    QCoreApplication::setOrganizationName(QStringLiteral("Vellmir"));
    QCoreApplication::setApplicationName(QStringLiteral("Vellmir"));
    switch (mode) {
    case StartMode::sealProbe:
        return sealProbe();
    case StartMode::scheduledRun:
        return scheduledRun();
    case StartMode::commandLine:
        AgentControl::setApproverFactory([] {
            return std::make_shared<DialogApprover>(DialogApprover::defaultTimeout,
                std::make_shared<ProcessPrompt>(
                    QCoreApplication::applicationFilePath(), QStringList { QStringLiteral("--approval-dialog") }));
        });
        return AgentCLI::main(VellmirMain::toolArguments(arguments));
    case StartMode::approvalDialog:
    case StartMode::windowed:
        break; // started above
    }
    return 1;
}
