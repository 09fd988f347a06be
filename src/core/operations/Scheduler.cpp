#include "operations/Scheduler.h"

#include "platform/SystemdAgentService.h"
#include "util/Error.h"
#include "util/Log.h"

#include <algorithm>

namespace vellmir {

QString Scheduler::currentBuild()
{
    return QString::number(VELLMIR_BUILD_NUMBER);
}

Scheduler::Scheduler(UserDefaults &defaults)
    : Scheduler(defaults, [] { return std::make_unique<SystemdAgentService>(); })
{
}

Scheduler::Scheduler(UserDefaults &defaults, ServiceFactory factory, QString build)
    : m_defaults(defaults)
    , m_factory(std::move(factory))
    , m_build(std::move(build))
{
}

void Scheduler::registerAgent()
{
    m_factory()->registerAgent();
    m_defaults.setValue(UserDefaults::schedulerRegisteredBuild, m_build);
}

void Scheduler::unregisterAgent()
{
    m_factory()->unregisterAgent();
    m_defaults.remove(UserDefaults::schedulerRegisteredBuild);
}

bool Scheduler::wanted(const QList<Destination> &destinations)
{
    return std::any_of(destinations.begin(), destinations.end(),
        [](const Destination &d) { return d.schedule != Destination::Schedule::manual; });
}

QString Scheduler::sentence(bool wanted, const QString &failure)
{
    // Said the same at every launch and after every save, so nothing claims what happened to
    // the settings. The command stands on its own line, where the unit name need not wrap.
    const QString problem = wanted
        ? QStringLiteral("Automatic backups are off: the systemd user timer could not be registered (")
        : QStringLiteral("Automatic backups could not be turned off: the systemd user timer could not be "
                         "removed (");
    return problem + failure + QStringLiteral("). Check it with:\nsystemctl --user status ")
        + SystemdAgentService::timerName();
}

std::optional<QString> Scheduler::reconcile(const QList<Destination> &destinations)
{
    const bool wanted = Scheduler::wanted(destinations);
    m_defaults.sync();
    const bool enabled = m_factory()->status() == AgentService::Status::enabled;
    const std::optional<QString> stored = m_defaults.stringValue(UserDefaults::schedulerRegisteredBuild);
    try {
        if (!wanted) {
            if (enabled)
                unregisterAgent();
        } else if (!enabled) {
            registerAgent();
        } else if (!stored || *stored != m_build || !m_factory()->isCurrent()) {
            try {
                m_factory()->unregisterAgent();
            } catch (const Error &) {
                // The registration that follows is what counts.
            }
            registerAgent();
        }
        if (m_defaults.contains(UserDefaults::schedulerRegistrationFailure))
            m_defaults.remove(UserDefaults::schedulerRegistrationFailure);
        return std::nullopt;
    } catch (const Error &error) {
        logText(QStringLiteral("Vellmir scheduler reconcile failed: ") + error.message());
        // Kept for the agents' status and the overview, which otherwise could only say the
        // scheduler is off.
        m_defaults.setValue(UserDefaults::schedulerRegistrationFailure, error.message());
        return sentence(wanted, error.message());
    }
}

std::optional<QString> Scheduler::lastSentence(const QList<Destination> &destinations) const
{
    const std::optional<QString> failure = m_defaults.stringValue(UserDefaults::schedulerRegistrationFailure);
    if (!failure || !wanted(destinations))
        return std::nullopt;
    return sentence(true, *failure);
}

} // namespace vellmir
