#include "kit/PlainText.h"

#include <QLabel>
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

QLabel *plainLabel(const QString &text, QWidget *parent, const char *name)
{
    auto *label = new QLabel(text, parent);
    if (name)
        label->setObjectName(QLatin1StringView(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace vellmir
