#include "agent/AgentError.h"

namespace vellmir {

AgentError AgentError::denied(ApprovalDecision decision)
{
    // The default wait is the one promised: tests give their approvers shorter ones.
    QString message = QStringLiteral("The change was denied in Vellmir's approval dialog.");
    if (decision == ApprovalDecision::timedOut)
        message = QStringLiteral("Nobody answered the approval request within %1, so the change was not made.")
                      .arg(DialogApprover::defaultTimeoutText());
    else if (decision == ApprovalDecision::withdrawn)
        message = QStringLiteral("The request was withdrawn before anyone answered it, so the change was not made.");
    return AgentError(Kind::denied, message, decision);
}

AgentError AgentError::unanswered(Unanswered why, const QString &detail)
{
    QString message;
    switch (why) {
    case Unanswered::noDesktop:
        message = QStringLiteral(
            "No approval dialog can be shown without a desktop session, so the change was not made. To be asked, "
            "run vellmir with DISPLAY or WAYLAND_DISPLAY set to the desktop's display (for the MCP server, in the "
            "\"env\" its client starts it with), or allow changes without approval in Vellmir's settings.");
        break;
    case Unanswered::busy:
        message = QStringLiteral("%1 approval questions of this process already wait for the user, so this change "
                                 "was not made. Retry once one of them is answered.")
                      .arg(DialogApprover::maxQuestions);
        break;
    case Unanswered::closed:
        message = QStringLiteral("The approval dialog closed without an answer, so the change was not made.");
        break;
    case Unanswered::notShown:
        message = QStringLiteral(
            "The approval dialog could not be shown: the display did not answer within %1 seconds, so the change "
            "was not made. Check that DISPLAY or WAYLAND_DISPLAY names the desktop's display.")
                      .arg(static_cast<int>(DialogApprover::defaultShowLimit));
        break;
    case Unanswered::lockUnsafe:
        message = QStringLiteral("No approval question was asked, because the lock that keeps Vellmir's questions "
                                 "one at a time cannot be taken safely (%1), so the change was not made. End the "
                                 "process that holds it, then retry.")
                      .arg(detail.isEmpty() ? QStringLiteral("another user's process holds it") : detail);
        break;
    case Unanswered::turnNeverCame:
        message = QStringLiteral("Other approval questions held the screen for the %1 this request may wait its "
                                 "turn, so it was never asked and the change was not made. Retry once they are "
                                 "answered.")
                      .arg(DialogApprover::defaultTimeoutText());
        break;
    case Unanswered::dialogStopped:
        message = QStringLiteral("The approval dialog's process was stopped before its window came on screen, so "
                                 "the change was not made.");
        break;
    }
    return AgentError(Kind::denied, message, ApprovalDecision::notAsked, why);
}

QString AgentError::code() const
{
    switch (m_kind) {
    case Kind::usage:
        return QStringLiteral("usage");
    case Kind::notFound:
        return QStringLiteral("not-found");
    case Kind::denied:
        if (m_unanswered == Unanswered::busy || m_unanswered == Unanswered::turnNeverCame)
            return QStringLiteral("busy");
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
