#include "exclude/ExcludeEvidence.h"

#include "config/Destination.h"

#include <QCryptographicHash>

namespace vellmir {

QString ExcludeEvidence::id() const
{
    return QString::fromLatin1(QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString ExcludeEvidence::pattern() const
{
    return Destination::literalPattern(path);
}

} // namespace vellmir
