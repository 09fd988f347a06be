#include "util/Log.h"

namespace vellmir {

Q_LOGGING_CATEGORY(lcVellmir, "vellmir")

namespace {

// One message is one line of the journal, whatever restic or a file put into it.
QString oneLine(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" / "));
    text.replace(u'\n', QStringLiteral(" / "));
    text.replace(u'\r', QStringLiteral(" / "));
    return text;
}

} // namespace

void logLine(const QString &component, const QString &message)
{
    qCInfo(lcVellmir).noquote() << QStringLiteral("Vellmir %1: %2").arg(component, oneLine(message));
}

void logText(const QString &line)
{
    qCInfo(lcVellmir).noquote() << oneLine(line);
}

} // namespace vellmir
