#include "agent/AgentAuditLog.h"

#include "util/AppPaths.h"
#include "util/Json.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/SystemError.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellmir {

namespace {
const QString keyCommand = QStringLiteral("command");
const QString keyDecision = QStringLiteral("decision");
const QString keyOutcome = QStringLiteral("outcome");
const QString keySummary = QStringLiteral("summary");
const QString keyTime = QStringLiteral("time");

// Appends `line` at the true end of the file with one write. Returns an error text on failure.
std::optional<QString> appendLine(const QString &path, QByteArray line)
{
    const QByteArray native = LocalPath::encode(path);
    const int fd = ::open(native.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return systemErrorText(errno);

    // A line cut short earlier (a full disk, a crash) has no line feed; ending it first keeps
    // this entry readable. Two writers doing this at once only leave an empty line, which
    // readers skip.
    struct stat info { };
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n')
            line.prepend('\n');
    }

    std::optional<QString> failure;
    ssize_t written = -1;
    do {
        written = ::write(fd, line.constData(), static_cast<size_t>(line.size()));
    } while (written < 0 && errno == EINTR);
    if (written < 0)
        failure = systemErrorText(errno);
    else if (written != line.size())
        failure = QStringLiteral("Only part of the line was written.");
    ::close(fd);
    return failure;
}
} // namespace

QJsonObject AgentAuditLog::Entry::toJson() const
{
    QJsonObject object { { keyCommand, command }, { keyDecision, toString(decision) }, { keySummary, summary },
        { keyTime, time.iso8601() } };
    if (outcome)
        object.insert(keyOutcome, *outcome);
    return object;
}

AgentAuditLog::Entry AgentAuditLog::Entry::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object);
    Entry entry;
    entry.time = reader.isoDate(keyTime);
    entry.command = reader.string(keyCommand);
    entry.summary = reader.string(keySummary);
    entry.decision = reader.enumeration<ApprovalDecision>(keyDecision, approvalDecisionFromString);
    entry.outcome = reader.optionalString(keyOutcome);
    return entry;
}

QByteArray AgentAuditLog::Entry::encoded() const
{
    return json::write(toJson(), { json::Style::Compact, true });
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
        line = entry.encoded();
    } catch (const std::exception &) {
        return; // nothing JSON can hold; not worth a log line
    }
    line += '\n';

    std::optional<QString> failure;
    const QString folder = QFileInfo(m_url).absolutePath();
    if (!QDir().mkpath(folder))
        failure = QStringLiteral("The folder %1 could not be created.").arg(folder);
    else
        failure = appendLine(m_url, std::move(line));
    if (failure)
        logText(QStringLiteral("Vellmir could not write the agent audit log: %1").arg(*failure));
}

QList<AgentAuditLog::Entry> AgentAuditLog::entries(qint64 limit) const noexcept
{
    if (limit <= 0)
        return {};
    QFile file(m_url);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};

    QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    if (lines.size() > limit)
        lines = lines.mid(lines.size() - limit);

    QList<Entry> result;
    for (const QString &line : std::as_const(lines)) {
        try {
            result.append(Entry::fromJson(json::parseObject(line.toUtf8())));
        } catch (const std::exception &) {
            // A damaged or foreign line: skip it and keep the rest.
        }
    }
    return result;
}

} // namespace vellmir
