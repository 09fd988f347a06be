// The change commands of AgentControl and perform(), their shared approval and audit step.
// These bodies stand in until the approval flow is built: every change command refuses.

#include "agent/AgentControl.h"

namespace vellmir {

namespace {
[[noreturn]] void unavailable(const QString &command)
{
    throw AgentError::failed(QStringLiteral("The command \"") + command + QStringLiteral("\" is not available."));
}
} // namespace

QJsonObject AgentControl::perform(const ChangeRequest &request, const std::function<QJsonObject()> &, std::stop_token)
{
    unavailable(request.command);
}

QJsonObject AgentControl::addDestination(const AgentParameters &, std::stop_token)
{
    unavailable(QStringLiteral("add-destination"));
}

QJsonObject AgentControl::updateDestination(const Destination &, const AgentParameters &, std::stop_token)
{
    unavailable(QStringLiteral("update-destination"));
}

QJsonObject AgentControl::removeDestination(const Destination &, std::stop_token)
{
    unavailable(QStringLiteral("remove-destination"));
}

QJsonObject AgentControl::restore(const Destination &, const AgentParameters &, std::stop_token)
{
    unavailable(QStringLiteral("restore"));
}

QJsonObject AgentControl::applyRetention(const Destination &, bool, std::stop_token)
{
    unavailable(QStringLiteral("apply-retention"));
}

} // namespace vellmir
