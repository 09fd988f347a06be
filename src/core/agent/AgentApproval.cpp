#include "agent/AgentApproval.h"

namespace vellmir {

QString toString(ApprovalDecision decision)
{
    switch (decision) {
    case ApprovalDecision::approvedByUser:
        return QStringLiteral("approved");
    case ApprovalDecision::approvedBySetting:
        return QStringLiteral("approved-by-setting");
    case ApprovalDecision::denied:
        return QStringLiteral("denied");
    case ApprovalDecision::timedOut:
        break;
    }
    return QStringLiteral("timed-out");
}

std::optional<ApprovalDecision> approvalDecisionFromString(const QString &raw)
{
    for (ApprovalDecision decision : { ApprovalDecision::approvedByUser, ApprovalDecision::approvedBySetting,
             ApprovalDecision::denied, ApprovalDecision::timedOut })
        if (toString(decision) == raw)
            return decision;
    return std::nullopt;
}

bool allows(ApprovalDecision decision)
{
    return decision == ApprovalDecision::approvedByUser || decision == ApprovalDecision::approvedBySetting;
}

} // namespace vellmir
