#pragma once

#include <QString>
#include <QTextDocument>

namespace vellmir::test {

// What a tooltip shows: Qt renders text that looks like HTML as rich text.
inline QString shownToolTip(const QString &tip)
{
    if (!Qt::mightBeRichText(tip))
        return tip;
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
}

} // namespace vellmir::test
