#include "util/Log.h"

namespace vellmir {

Q_LOGGING_CATEGORY(lcVellmir, "vellmir")

void logLine(const QString &component, const QString &message)
{
    qCInfo(lcVellmir).noquote() << QStringLiteral("Vellmir %1: %2").arg(component, message);
}

void logText(const QString &line)
{
    qCInfo(lcVellmir).noquote() << line;
}

} // namespace vellmir
