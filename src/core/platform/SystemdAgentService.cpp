#include "platform/SystemdAgentService.h"

#include "platform/SchedulerUnit.h"

#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/Process.h"
#include "util/StopTiming.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace vellmir {

namespace {
QString ownExecutable()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

// ExecStart takes a quoted word; systemd expands "%" specifiers and "$" variables even
// inside quotes, so those are doubled, and quotes and backslashes are escaped.
QString quoteForExec(const QString &path)
{
    QString quoted;
    for (const QChar c : path) {
        if (c == u'\\' || c == u'"')
            quoted += u'\\';
        else if (c == u'%' || c == u'$')
            quoted += c;
        quoted += c;
    }
    return u'"' + quoted + u'"';
}
} // namespace

SystemdAgentService::SystemdAgentService()
    : SystemdAgentService(Options {})
{
}

SystemdAgentService::SystemdAgentService(Options options)
    : m_options(std::move(options))
{
    if (m_options.executable.isEmpty())
        m_options.executable = ownExecutable();
    if (m_options.unitDirectory.isEmpty())
        m_options.unitDirectory = AppPaths::configDirectory() + QStringLiteral("/systemd/user");
    if (m_options.build.isEmpty())
        m_options.build = QString::number(VELLMIR_BUILD_NUMBER);
}

QString SystemdAgentService::serviceName()
{
    return SchedulerUnit::service;
}
QString SystemdAgentService::timerName()
{
    return SchedulerUnit::timer;
}

// The pass stops restic alone, so that restic can remove its lock from the repository through
// its ssh, and gives it StopTiming::killDelay for that; then come the record and its
// notification. systemd must leave the stopping to it and wait for it.
static_assert(StopTiming::killDelay + StopTiming::drainGrace <= SystemdAgentService::stopTimeout / 2);

QString SystemdAgentService::serviceUnit() const
{
    return QStringLiteral("# Written by Vellmir build %1; changes are overwritten.\n"
                          "[Unit]\n"
                          "Description=Vellmir scheduled backups\n"
                          "\n"
                          "[Service]\n"
                          "Type=oneshot\n"
                          "ExecStart=%2 --scheduled-run\n"
                          "KillMode=mixed\n"
                          "TimeoutStopSec=%3\n"
                          "Nice=10\n"
                          "IOSchedulingClass=idle\n")
        .arg(m_options.build, quoteForExec(m_options.executable), QString::number(stopTimeout.count()));
}

QString SystemdAgentService::timerUnit() const
{
    // The pass itself decides what is due, so the timer only has to look often enough: a
    // backup falls due at any minute (an hour or a day after the last one finished), and
    // the first pass at or after that minute runs it.
    return QStringLiteral("# Written by Vellmir build %1; changes are overwritten.\n"
                          "[Unit]\n"
                          "Description=Start Vellmir scheduled backups when they are due\n"
                          "\n"
                          "[Timer]\n"
                          "OnCalendar=*:0/%2\n"
                          "Persistent=true\n"
                          "RandomizedDelaySec=%3\n"
                          "AccuracySec=%4\n"
                          "Unit=%5\n"
                          "\n"
                          "[Install]\n"
                          "WantedBy=timers.target\n")
        .arg(m_options.build, QString::number(passInterval.count() / 60), QString::number(randomDelay.count()),
            QString::number(accuracy.count()), serviceName());
}

QString SystemdAgentService::systemctl(const QStringList &arguments, bool *ok) const
{
    const ToolResult result = runTool(m_options.systemctl, QStringList { QStringLiteral("--user") } + arguments);
    *ok = result.succeeded();
    if (result.output.isEmpty())
        return result.started ? QStringLiteral("systemctl exited with code %1").arg(result.exitCode)
                              : QStringLiteral("systemctl could not be started");
    return result.output;
}

AgentService::Status SystemdAgentService::status()
{
    const QString servicePath = m_options.unitDirectory + u'/' + serviceName();
    const QString timerPath = m_options.unitDirectory + u'/' + timerName();
    std::optional<QByteArray> service;
    std::optional<QByteArray> timer;
    try {
        service = readFileIfExists(servicePath);
        timer = readFileIfExists(timerPath);
    } catch (const Error &) {
        return Status::notFound;
    }
    if (!service || !timer)
        return Status::notRegistered;
    bool ok = false;
    const QString answer = systemctl({ QStringLiteral("is-enabled"), timerName() }, &ok);
    if (!ok || answer != QStringLiteral("enabled"))
        return Status::notRegistered;
    // Enabled even when the files are another build's: the timer runs them all the same, so a
    // registration that is no longer wanted must still be taken down.
    return Status::enabled;
}

bool SystemdAgentService::isCurrent()
{
    try {
        const std::optional<QByteArray> service = readFileIfExists(m_options.unitDirectory + u'/' + serviceName());
        const std::optional<QByteArray> timer = readFileIfExists(m_options.unitDirectory + u'/' + timerName());
        return service == serviceUnit().toUtf8() && timer == timerUnit().toUtf8();
    } catch (const Error &) {
        return false;
    }
}

void SystemdAgentService::registerAgent()
{
    // A line break would split ExecStart into lines of their own, and systemd refuses any
    // control character in a program path: say so rather than enable a timer that never starts.
    if (std::any_of(m_options.executable.begin(), m_options.executable.end(),
            [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; }))
        throw Error(QStringLiteral("systemd cannot start a program whose path holds control characters"));
    writeFileAtomically(m_options.unitDirectory + u'/' + serviceName(), serviceUnit().toUtf8());
    writeFileAtomically(m_options.unitDirectory + u'/' + timerName(), timerUnit().toUtf8());
    bool ok = false;
    QString output = systemctl({ QStringLiteral("daemon-reload") }, &ok);
    if (ok)
        output = systemctl({ QStringLiteral("enable"), QStringLiteral("--now"), timerName() }, &ok);
    if (!ok)
        throw Error(output);
}

void SystemdAgentService::unregisterAgent()
{
    bool ok = false;
    const QString output = systemctl({ QStringLiteral("disable"), QStringLiteral("--now"), timerName() }, &ok);
    if (!ok)
        throw Error(output);
    QFile::remove(m_options.unitDirectory + u'/' + timerName());
    QFile::remove(m_options.unitDirectory + u'/' + serviceName());
    bool reloaded = false;
    systemctl({ QStringLiteral("daemon-reload") }, &reloaded);
}

} // namespace vellmir
