#pragma once

// What a change requested by an agent asks, and who decides it. The dialog approver and the
// policy checks build on these types.

#include <QString>
#include <QStringList>
#include <optional>
#include <stop_token>

namespace vellmir {

enum class ApprovalDecision { approvedByUser, approvedBySetting, denied, timedOut };

// "approved", "approved-by-setting", "denied", "timed-out".
QString toString(ApprovalDecision decision);
std::optional<ApprovalDecision> approvalDecisionFromString(const QString &raw);
// True exactly for the two approvals.
bool allows(ApprovalDecision decision);

// One change an agent asks permission for.
struct ChangeRequest {
    QString command; // the agent command's name; goes into the audit log
    QString title; // one-line question
    QStringList details; // lines describing the change

    friend bool operator==(const ChangeRequest &, const ChangeRequest &) = default;
};

// Decides change requests. Never throws; a stop request ends the wait as a denial.
class AgentApprover {
public:
    virtual ~AgentApprover() = default;
    virtual ApprovalDecision decide(const ChangeRequest &request, std::stop_token stop) = 0;
};

} // namespace vellmir
