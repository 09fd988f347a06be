#include "kit/PlainText.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QLabel>
#include <QTextDocument>

#include <cmath>

namespace vellmir {

namespace {

// A word-wrapped label measures its text by laying it out again for every width a layout asks
// about, and a window of many rows asks often. Most lines fit on one line: their height is the
// one-line height, measured once per text; only a line wider than the label is laid out.
class PlainLabel : public QLabel {
public:
    using QLabel::QLabel;

    int heightForWidth(int width) const override
    {
        if (text() != m_measured || !m_oneLineHeight) {
            m_measured = text();
            m_oneLine = !m_measured.contains(u'\n') && !m_measured.contains(QChar::LineSeparator)
                ? std::ceil(QFontMetricsF(font()).horizontalAdvance(m_measured)) + 1
                : -1;
            m_oneLineHeight = QLabel::heightForWidth(QWIDGETSIZE_MAX);
        }
        const QMargins margins = contentsMargins();
        const int room = width - margins.left() - margins.right() - 2 * margin() - std::max(indent(), 0);
        if (m_oneLine >= 0 && m_oneLine <= room && !(textInteractionFlags() & Qt::TextSelectableByMouse))
            return m_oneLineHeight;
        return QLabel::heightForWidth(width);
    }

protected:
    void changeEvent(QEvent *event) override
    {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            m_oneLineHeight = 0;
        QLabel::changeEvent(event);
    }

private:
    mutable QString m_measured;
    mutable double m_oneLine = -1;
    mutable int m_oneLineHeight = 0;
};

} // namespace

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
    auto *label = new PlainLabel(text, parent);
    if (name)
        label->setObjectName(QLatin1StringView(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace vellmir
