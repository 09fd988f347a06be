#include "kit/PlainText.h"

#include <QTextDocument>

namespace vellmir {

QString plainToolTip(const QString &text)
{
    // Most texts are not mistaken for HTML and stay as they are.
    if (text.isEmpty() || !Qt::mightBeRichText(text))
        return text;
    return Qt::convertFromPlainText(text, Qt::WhiteSpacePre);
}

QString plainButtonText(const QString &text)
{
    QString escaped = text;
    escaped.replace(u'&', QStringLiteral("&&"));
    return escaped;
}

} // namespace vellmir
