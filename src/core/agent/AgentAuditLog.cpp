#include "agent/AgentAuditLog.h"

#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/SystemError.h"

#include <QDir>
#include <QFileInfo>
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
const QString keyReason = QStringLiteral("reason");
const QString keySummary = QStringLiteral("summary");
const QString keyTime = QStringLiteral("time");

// The most of the log's end that is read; far more lines than any caller asks for.
constexpr qsizetype auditLogBound = 64 * 1024 * 1024;

// Appends `line` at the true end of the file with one write. Returns an error text on failure.
std::optional<QString> appendLine(const QString &path, QByteArray line)
{
    const QByteArray native = LocalPath::encode(path);
    // Only into a regular file of our own: a link or a FIFO in its place is set aside, once, and
    // a new log begins.
    auto openLog = [&] {
        const int fd
            = ::open(native.constData(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0)
            return errno == ELOOP ? -ELOOP : -1;
        struct stat info { };
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
            return fd;
        ::close(fd);
        return -ELOOP;
    };
    int fd = openLog();
    if (fd == -ELOOP) {
        const QByteArray moved = setAsideAt(AT_FDCWD, native, ".unreadable");
        if (moved.isEmpty())
            return QStringLiteral("%1 is not a regular file.").arg(QFileInfo(path).fileName());
        logText(QStringLiteral("The agent audit log was not a regular file; it was set aside as %1.")
                    .arg(LocalPath::decode(moved)));
        fd = openLog();
    }
    if (fd < 0)
        return fd == -ELOOP ? QStringLiteral("%1 is not a regular file.").arg(QFileInfo(path).fileName())
                            : systemErrorText(errno);

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
    if (reason)
        object.insert(keyReason, *reason);
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
    entry.reason = reader.optionalString(keyReason);
    return entry;
}

QByteArray AgentAuditLog::Entry::encoded() const
{
    return json::write(toJson(), { json::Style::Compact, true });
}

AgentAuditLog::AgentAuditLog()
    : AgentAuditLog(defaultPath())
{
}

AgentAuditLog::AgentAuditLog(QString url)
    : m_url(std::move(url))
{
}

QString AgentAuditLog::defaultPath()
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
    try {
        ensureDirectory(QFileInfo(m_url).absolutePath());
        failure = appendLine(m_url, std::move(line));
    } catch (const Error &error) {
        failure = error.message();
    }
    if (failure)
        logText(QStringLiteral("Vellmir could not write the agent audit log: %1").arg(*failure));
}

QList<AgentAuditLog::Entry> AgentAuditLog::entries(qint64 limit) const noexcept
{
    if (limit <= 0)
        return {};
    // The last `limit` non-empty lines, read as a stream: however long the log, only they are held.
    QList<QByteArray> lines;
    bool text = true;
    try {
        readFileTail(m_url, auditLogBound, [&](QByteArrayView line) {
            // A log that is not text is unreadable as a whole, wherever the bad bytes are.
            text = text && line.isValidUtf8();
            if (!text || line.isEmpty())
                return;
            if (lines.size() == limit)
                lines.removeFirst();
            lines.append(line.toByteArray());
        });
    } catch (const Error &) {
        return {};
    }
    if (!text)
        return {};

    QList<Entry> result;
    for (const QByteArray &line : std::as_const(lines)) {
        try {
            result.append(Entry::fromJson(json::parseObject(line)));
        } catch (const std::exception &) {
            // A damaged or foreign line: skip it and keep the rest.
        }
    }
    return result;
}

} // namespace vellmir
