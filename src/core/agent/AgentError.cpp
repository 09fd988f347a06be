#include "agent/AgentError.h"

namespace vellmir {

AgentError AgentError::denied(ApprovalDecision decision)
{
    // The five minutes are the dialog's fixed wait, not derived from the approver.
    QString message = QStringLiteral("The change was denied in Vellmir's approval dialog.");
    if (decision == ApprovalDecision::timedOut)
        message = QStringLiteral("Nobody answered the approval request within 5 minutes, so the change was not made.");
    else if (decision == ApprovalDecision::withdrawn)
        message = QStringLiteral("The request was withdrawn before anyone answered it, so the change was not made.");
    return AgentError(Kind::denied, message, decision);
}

AgentError AgentError::noApprovalDialog()
{
    return AgentError(Kind::denied,
        QStringLiteral("No approval dialog can be shown without a desktop session, so the change was not made. "
                       "Changes without approval can be allowed in Vellmir's settings."),
        ApprovalDecision::timedOut);
}

QString AgentError::code() const
{
    switch (m_kind) {
    case Kind::usage:
        return QStringLiteral("usage");
    case Kind::notFound:
        return QStringLiteral("not-found");
    case Kind::denied:
        return toString(m_decision.value_or(ApprovalDecision::denied));
    case Kind::failed:
        break;
    }
    return QStringLiteral("failed");
}

int AgentError::exitStatus() const
{
    switch (m_kind) {
    case Kind::usage:
        return 2;
    case Kind::notFound:
        return 3;
    case Kind::denied:
        return 4;
    case Kind::failed:
        break;
    }
    return 1;
}

QString AgentError::code(const std::exception &error)
{
    if (const auto *agentError = dynamic_cast<const AgentError *>(&error))
        return agentError->code();
    if (dynamic_cast<const CancellationError *>(&error))
        return QStringLiteral("cancelled");
    return QStringLiteral("failed");
}

int AgentError::exitStatus(const std::exception &error)
{
    if (const auto *agentError = dynamic_cast<const AgentError *>(&error))
        return agentError->exitStatus();
    return 1;
}

QJsonObject AgentError::reply(const std::exception &error)
{
    return QJsonObject { { QStringLiteral("error"), errorDescription(error) },
        { QStringLiteral("code"), code(error) } };
}

} // namespace vellmir
