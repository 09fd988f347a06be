#include "util/Log.h"

namespace vellmir {

Q_LOGGING_CATEGORY(lcVellmir, "vellmir")

void logLine(const QString &component, const QString &message)
{
    qCInfo(lcVellmir).noquote() << QStringLiteral("Vellmir %1: %2").arg(component, message);
}

} // namespace vellmir
