#pragma once

#include "agent/AgentApproval.h"
#include "util/Date.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace vellmir {

// "agent-audit.jsonl": one compact JSON line per change request an agent made, shared by
// every process of the application. Only ever appended to.
class AgentAuditLog {
public:
    struct Entry {
        Date time; // when the request was decided; whole seconds in the file
        QString command;
        QString summary; // title and details joined with " | "
        ApprovalDecision decision = ApprovalDecision::denied;
        // "succeeded" or "failed: <description>" when the change ran; absent when it did not.
        std::optional<QString> outcome;

        // Keys "command", "decision", "outcome" (when present), "summary", "time" (ISO 8601 UTC).
        QJsonObject toJson() const;
        // Throws JsonError for a missing key, an unknown decision or a time in another form.
        static Entry fromJson(const QJsonObject &object);

        friend bool operator==(const Entry &, const Entry &) = default;
    };

    // The application's own log in its data folder.
    AgentAuditLog();
    explicit AgentAuditLog(QString url);

    const QString &url() const { return m_url; }

    // Adds one whole line at the end of the file. Never throws; failures go to the system log.
    void append(const Entry &entry) const noexcept;
    // The decodable entries among the last `limit` non-empty lines, oldest first. Never throws;
    // a missing or unreadable file is an empty log and a negative limit counts as 0.
    QList<Entry> entries(qint64 limit) const noexcept;

    static QString defaultURL();

private:
    QString m_url;
};

} // namespace vellmir
