#pragma once

#include "agent/AgentApproval.h"
#include "util/Date.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace vellmir {

// "agent-audit.jsonl": one line for every change request an agent made, however it was
// decided, and for an allowed one a second line with how the change ended. Every process of
// the application appends to the same file, so each line is added whole at the end in one
// write, and nothing is ever rewritten.
class AgentAuditLog {
public:
    struct Entry {
        Date time; // when the request was decided; written to the second
        QString command;
        QString summary;
        // What happened to the request: "not-asked" when it ended before the user could answer.
        ApprovalDecision decision = ApprovalDecision::denied;
        // "started" on the line written as an allowed change begins; "succeeded", "cancelled" or
        // "failed: ..." on the one written when it has ended; nullopt when it did not run.
        std::optional<QString> outcome;
        // The sentence the agent was given when the change did not run; nullopt when it ran.
        std::optional<QString> reason = std::nullopt;

        QJsonObject toJson() const;
        // Throws JsonError when a key is missing, the decision unknown or the time not in the
        // ISO 8601 UTC form with whole seconds.
        static Entry fromJson(const QJsonObject &object);
        // The line as written, without its line feed: compact, sorted keys, "/" escaped.
        QByteArray encoded() const;
        friend bool operator==(const Entry &, const Entry &) = default;
    };

    // The application's own log, in its data folder.
    AgentAuditLog();
    explicit AgentAuditLog(QString url);

    static QString defaultPath();
    const QString &url() const { return m_url; }

    // Adds the entry as one line. Never throws: a failure goes to the system log and the
    // entry is lost.
    void append(const Entry &entry) const noexcept;
    // The entries of the last `limit` non-empty lines, oldest first; lines that do not decode
    // are skipped. A missing or unreadable file, or a limit below 1, gives none.
    QList<Entry> entries(qint64 limit) const noexcept;

private:
    QString m_url;
};

} // namespace vellmir
