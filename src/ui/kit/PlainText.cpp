#include "kit/PlainText.h"

#include "util/TextRules.h"

#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <QLabel>
#include <QTextDocument>

#include <cmath>
#include <limits>

namespace vellmir {

namespace {

// A word-wrapped label measures its text by laying it out again for every width a layout asks
// about, and a window of many rows asks often, each row with lines the others show too (every
// "Last verified restore: Not yet tested"). What a label measures depends only on its text, its
// font and a few settings, so labels that agree on those take one measurement: the first label
// to ask lays the text out, the others read the result. A line that fits on one line is as
// tall as that line, whatever the width. Labels with other settings (a margin, a frame,
// selectable text...) or a long text measure for themselves.
class PlainLabel : public QLabel {
public:
    using QLabel::QLabel;

    QSize sizeHint() const override
    {
        return measured(sizeHintKind, [this] { return QLabel::sizeHint(); });
    }

    QSize minimumSizeHint() const override
    {
        return measured(minimumSizeHintKind, [this] { return QLabel::minimumSizeHint(); });
    }

    int heightForWidth(int width) const override
    {
        if (!shared())
            return QLabel::heightForWidth(width);
        const QString &shown = text();
        const bool oneLineText = !shown.contains(u'\n') && !shown.contains(QChar::LineSeparator);
        if (oneLineText) {
            const int advance = measured(oneLineKind, [&] {
                return QSize(int(std::ceil(QFontMetricsF(font()).horizontalAdvance(shown))) + 1, 0);
            }).width();
            if (advance <= width)
                return measured(QWIDGETSIZE_MAX, [this] {
                    return QSize(0, QLabel::heightForWidth(QWIDGETSIZE_MAX));
                }).height();
        }
        return measured(width, [&] { return QSize(0, QLabel::heightForWidth(width)); }).height();
    }

private:
    // Beside the widths heightForWidth is asked about.
    static constexpr int sizeHintKind = std::numeric_limits<int>::min();
    static constexpr int minimumSizeHintKind = sizeHintKind + 1;
    static constexpr int oneLineKind = sizeHintKind + 2;

    // Whether nothing but the text, the font, the alignment and word wrap decides the sizes. A
    // long text (a whole error message) is rarely shown twice and would swell the shared store.
    bool shared() const
    {
        constexpr qsizetype longestShared = 1000;
        return text().size() <= longestShared && margin() == 0 && indent() < 0 && frameWidth() == 0
            && contentsMargins().isNull() && minimumWidth() == 0 && maximumWidth() == QWIDGETSIZE_MAX && !buddy()
            && !(
                textInteractionFlags() & (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard | Qt::TextEditable));
    }

    // What decides a measurement of a label that shared() holds for.
    struct Measure {
        QString text;
        QFont font;
        int dpi; // a font's sizes follow its screen's
        int kind;
        int alignment;
        bool wrap;
        friend bool operator==(const Measure &, const Measure &) = default;
        friend size_t qHash(const Measure &measure, size_t seed = 0)
        {
            return qHashMulti(
                seed, measure.text, measure.font, measure.dpi, measure.kind, measure.alignment, measure.wrap);
        }
    };

    // `kind` of this label's text and font: from an earlier label when one measured it, else by
    // `measure`, kept for the next.
    template <typename Function> QSize measured(int kind, Function measure) const
    {
        // The style may set the font.
        ensurePolished();
        if (!shared())
            return measure();
        // Bounded (at most about 8 MB of text): a window that shows ever new texts (a clock in
        // every row) starts afresh.
        static QHash<Measure, QSize> measures;
        constexpr qsizetype most = 4096;
        const Measure key { text(), font(), logicalDpiY(), kind, int(alignment()), wordWrap() };
        const auto found = measures.constFind(key);
        if (found != measures.constEnd())
            return *found;
        const QSize size = measure();
        if (measures.size() >= most)
            measures.clear();
        measures.insert(key, size);
        return size;
    }
};

} // namespace

QString plainAutoText(const QString &text)
{
    // Most texts are not mistaken for HTML and stay as they are.
    if (text.isEmpty() || !Qt::mightBeRichText(text))
        return text;
    return Qt::convertFromPlainText(text, Qt::WhiteSpacePre);
}

QString visibleLines(const QString &text)
{
    QStringList lines = text.split(u'\n');
    for (QString &line : lines)
        line = TextRules::visible(line);
    return lines.join(u'\n');
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
