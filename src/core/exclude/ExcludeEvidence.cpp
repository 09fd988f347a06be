#include "exclude/ExcludeEvidence.h"

#include "exclude/ExcludeMatcher.h"

#include <QCryptographicHash>

namespace vellmir {

QString ExcludeEvidence::id() const
{
    return QString::fromLatin1(QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString ExcludeEvidence::pattern() const
{
    return ExcludeMatcher::escaped(path);
}

} // namespace vellmir
