#include "agent/AgentAuditLog.h"

#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/Log.h"

#include <QFile>
#include <QFileInfo>

namespace vellmir {

namespace {
const QString kTime = QStringLiteral("time");
const QString kCommand = QStringLiteral("command");
const QString kSummary = QStringLiteral("summary");
const QString kDecision = QStringLiteral("decision");
const QString kOutcome = QStringLiteral("outcome");
} // namespace

QJsonObject AgentAuditLog::Entry::toJson() const
{
    QJsonObject object {
        { kTime, time.iso8601() },
        { kCommand, command },
        { kSummary, summary },
        { kDecision, toString(decision) },
    };
    if (outcome)
        object.insert(kOutcome, *outcome);
    return object;
}

AgentAuditLog::Entry AgentAuditLog::Entry::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object);
    Entry entry;
    entry.time = reader.isoDate(kTime);
    entry.command = reader.string(kCommand);
    entry.summary = reader.string(kSummary);
    entry.decision = reader.enumeration<ApprovalDecision>(kDecision, approvalDecisionFromString);
    entry.outcome = reader.optionalString(kOutcome);
    return entry;
}

AgentAuditLog::AgentAuditLog()
    : AgentAuditLog(defaultURL())
{
}

AgentAuditLog::AgentAuditLog(QString url)
    : m_url(std::move(url))
{
}

QString AgentAuditLog::defaultURL()
{
    return AppPaths::dataDirectory() + QStringLiteral("/agent-audit.jsonl");
}

void AgentAuditLog::append(const Entry &entry) const noexcept
{
    QByteArray line;
    try {
        line = json::write(entry.toJson(), { json::Style::Compact, true });
    } catch (...) {
        return;
    }
    line.append('\n');
    try {
        ensureDirectory(QFileInfo(m_url).absolutePath());
        // Append mode puts each line at the true end even while other processes write.
        QFile file(m_url);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            throw Error(file.errorString());
        if (file.write(line) != line.size())
            throw Error(file.errorString());
        file.close();
    } catch (const std::exception &error) {
        logText(QStringLiteral("Vellmir could not write the agent audit log: %1").arg(errorDescription(error)));
    }
}

QList<AgentAuditLog::Entry> AgentAuditLog::entries(qint64 limit) const noexcept
{
    QList<Entry> entries;
    try {
        QFile file(m_url);
        if (limit <= 0 || !file.open(QIODevice::ReadOnly))
            return entries;
        const QList<QByteArray> lines = file.readAll().split('\n');
        QList<QByteArray> kept;
        for (auto it = lines.crbegin(); it != lines.crend() && kept.size() < limit; ++it)
            if (!it->isEmpty())
                kept.prepend(*it);
        for (const QByteArray &line : kept) {
            try {
                entries.append(Entry::fromJson(json::parseObject(line, QStringLiteral("The audit line"))));
            } catch (const Error &) {
                // A damaged line is skipped, not replaced by an older one.
            }
        }
    } catch (...) {
        entries.clear();
    }
    return entries;
}

} // namespace vellmir
