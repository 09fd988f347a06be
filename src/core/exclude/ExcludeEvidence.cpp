#include "exclude/ExcludeEvidence.h"

#include <QCryptographicHash>

namespace vellmir {

QString ExcludeEvidence::id() const
{
    return QString::fromLatin1(QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString ExcludeEvidence::pattern() const
{
    QString escaped;
    escaped.reserve(path.size() + 8);
    for (const QChar c : path) {
        if (c == u'\\' || c == u'*' || c == u'?' || c == u'[' || c == u']')
            escaped.append(u'\\');
        escaped.append(c);
    }
    return escaped;
}

} // namespace vellmir
