#include "operations/BackupOutput.h"

#include "engine/ResticEngine.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace vellmir {

namespace {

// A JSON number as a whole number: integral values exactly, others cut towards zero, the way
// restic's numbers are read elsewhere. Not a number: nullopt.
std::optional<qint64> wholeNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    constexpr qint64 notIntegral = std::numeric_limits<qint64>::min();
    const qint64 exact = value.toInteger(notIntegral);
    if (exact != notIntegral)
        return exact;
    const double number = value.toDouble();
    if (std::isnan(number))
        return 0;
    if (number >= 9.2e18)
        return std::numeric_limits<qint64>::max();
    if (number <= -9.2e18)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(std::trunc(number));
}

qint64 wholeNumberOrZero(const QJsonObject &object, const QString &key)
{
    return wholeNumber(object.value(key)).value_or(0);
}

void setIfNumber(qint64 &property, const QJsonObject &object, const QString &key)
{
    if (const std::optional<qint64> number = wholeNumber(object.value(key)))
        property = *number;
}

// The problem text of an "error" or "warning" message.
QString problemText(const QJsonObject &object)
{
    QString message = BackupOutput::unreadableItemMessage;
    const QJsonValue error = object.value(QStringLiteral("error"));
    const QJsonValue nested = error.toObject().value(QStringLiteral("message"));
    const QJsonValue topLevel = object.value(QStringLiteral("message"));
    if (error.isObject() && nested.isString())
        message = nested.toString();
    else if (error.isString())
        message = error.toString();
    else if (topLevel.isString())
        message = topLevel.toString();

    const QJsonValue item = object.value(QStringLiteral("item"));
    if (item.isString())
        message += QStringLiteral(" (") + item.toString() + QLatin1Char(')');
    return message;
}

} // namespace

QString toString(BackupRunState::Phase phase)
{
    switch (phase) {
    case BackupRunState::Phase::idle:
        return QStringLiteral("idle");
    case BackupRunState::Phase::scanning:
        return QStringLiteral("scanning");
    case BackupRunState::Phase::running:
        return QStringLiteral("running");
    case BackupRunState::Phase::pruning:
        return QStringLiteral("pruning");
    case BackupRunState::Phase::finished:
        return QStringLiteral("finished");
    case BackupRunState::Phase::failed:
        return QStringLiteral("failed");
    }
    return {};
}

BackupOutput::BackupOutput(BackupRunState &state)
    : m_state(state)
{
}

void BackupOutput::parseStdout(const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    parseStdout(QByteArrayView(bytes));
}

void BackupOutput::parseStdout(QByteArrayView line)
{
    QJsonParseError parseError {};
    const QJsonDocument document = json::parseLine(line, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return;
    const QJsonObject object = document.object();
    const QJsonValue type = object.value(QStringLiteral("message_type"));
    if (!type.isString())
        return;
    const QString messageType = type.toString();

    if (messageType == QLatin1String("status")) {
        m_state.phase = BackupRunState::Phase::running;
        const QJsonValue percent = object.value(QStringLiteral("percent_done"));
        if (percent.isDouble())
            m_state.percent = percent.toDouble();
        setIfNumber(m_state.filesDone, object, QStringLiteral("files_done"));
        setIfNumber(m_state.totalFiles, object, QStringLiteral("total_files"));
        setIfNumber(m_state.bytesDone, object, QStringLiteral("bytes_done"));
        setIfNumber(m_state.totalBytes, object, QStringLiteral("total_bytes"));
        const QJsonValue current = object.value(QStringLiteral("current_files"));
        if (current.isArray()) {
            const QJsonArray files = current.toArray();
            bool allText = !files.isEmpty();
            for (const QJsonValue &file : files)
                allText = allText && file.isString();
            if (allText)
                m_state.currentFile = files.first().toString();
        }
    } else if (messageType == QLatin1String("summary")) {
        BackupSummary summary;
        summary.filesNew = wholeNumberOrZero(object, QStringLiteral("files_new"));
        summary.filesChanged = wholeNumberOrZero(object, QStringLiteral("files_changed"));
        summary.filesUnmodified = wholeNumberOrZero(object, QStringLiteral("files_unmodified"));
        summary.dataAdded = wholeNumberOrZero(object, QStringLiteral("data_added"));
        summary.totalBytesProcessed = wholeNumberOrZero(object, QStringLiteral("total_bytes_processed"));
        summary.snapshotID = object.value(QStringLiteral("snapshot_id")).toString();
        m_state.summary = summary;
    } else if (messageType == QLatin1String("error") || messageType == QLatin1String("warning")) {
        report(problemText(object));
    } else if (messageType == QLatin1String("exit_error")) {
        const QJsonValue message = object.value(QStringLiteral("message"));
        // ssh says why it could not reach the server; restic only that the connection ended.
        if (message.isString())
            m_state.failureMessage
                = m_sshReasons.isEmpty() ? message.toString() : m_sshReasons.join(u'\n') + u'\n' + message.toString();
        else
            m_state.failureMessage = std::nullopt;
    }
}

void BackupOutput::parseStderr(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    // restic 0.17 and later write their error messages as JSON on standard error.
    if (trimmed.startsWith(QLatin1Char('{'))) {
        parseStdout(trimmed);
        return;
    }

    // ssh's own words belong to the failure, not to the items: "No such file" there is its config.
    if (trimmed.startsWith(QLatin1String("subprocess ssh:"))) {
        if (trimmed.contains(QLatin1String("ssh_askpass: "))) // no graphical prompt: what follows says why
            return;
        const QString reason = ResticEngine::errorText(trimmed);
        if (m_sshReasons.size() < maximumSshReasons)
            m_sshReasons.append(reason);
        if (!m_state.failureMessage)
            m_state.failureMessage = reason;
        return;
    }
    const QString lower = trimmed.toLower();
    // Unreadable or vanished items first: restic words some of them as "error: ...", and they
    // are problems of single files, not why the run failed.
    static const char *const problemMarks[] = { "permission denied", "operation not permitted", "no such file",
        "does not exist, skipping", "output read failed" };
    for (const char *mark : problemMarks) {
        if (lower.contains(QLatin1String(mark))) {
            report(trimmed);
            return;
        }
    }

    if (lower.startsWith(QLatin1String("fatal")) || lower.contains(QLatin1String("error:"))) {
        m_state.failureMessage = trimmed;
        return;
    }
    // restic's first words are usually the reason; what follows tends to be detail.
    if (!m_state.failureMessage)
        m_state.failureMessage = trimmed;
}

void BackupOutput::report(const QString &message)
{
    m_state.issues.append(message);
}

} // namespace vellmir
