#pragma once

#include "agent/AgentApproval.h"
#include "util/Error.h"

#include <QJsonObject>
#include <exception>
#include <optional>

namespace vellmir {

// The one error of agent commands. The message is the sentence the agent sees; code() is the
// value of "code" in error replies and exitStatus() the command-line tool's status.
class AgentError : public Error {
public:
    enum class Kind { usage, notFound, denied, failed };

    static AgentError usage(const QString &message) { return AgentError(Kind::usage, message); }
    static AgentError notFound(const QString &message) { return AgentError(Kind::notFound, message); }
    static AgentError denied(ApprovalDecision decision);
    // A change request that never reached the user, with the reason and what the agent or the
    // user can do about it: "busy" while other questions hold this process's places or the
    // screen (retrying later may be asked), otherwise "not-asked", the audit log's word.
    // `detail`: what stood in the way, when known.
    static AgentError unanswered(Unanswered why, const QString &detail = {});
    static AgentError failed(const QString &message) { return AgentError(Kind::failed, message); }

    Kind kind() const { return m_kind; }
    // The decision of a denial; nullopt for the other kinds.
    std::optional<ApprovalDecision> decision() const { return m_decision; }

    // "usage", "not-found", the decision's raw value, "busy", or "failed".
    QString code() const;
    // 2, 3, 4 or 1.
    int exitStatus() const;

    // The same for any error a command may end with: other errors are "failed" with status 1.
    static QString code(const std::exception &error);
    static int exitStatus(const std::exception &error);
    // {"error": sentence, "code": wire code}, the shape both front ends send.
    static QJsonObject reply(const std::exception &error);

    friend bool operator==(const AgentError &a, const AgentError &b)
    {
        return a.m_kind == b.m_kind && a.m_decision == b.m_decision && a.message() == b.message();
    }

private:
    AgentError(Kind kind, const QString &message, std::optional<ApprovalDecision> decision = std::nullopt,
        std::optional<Unanswered> unanswered = std::nullopt)
        : Error(message)
        , m_kind(kind)
        , m_decision(decision)
        , m_unanswered(unanswered)
    {
    }

    Kind m_kind;
    std::optional<ApprovalDecision> m_decision;
    std::optional<Unanswered> m_unanswered;
};

} // namespace vellmir
