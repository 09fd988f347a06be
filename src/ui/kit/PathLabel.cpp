#include "kit/PathLabel.h"

#include "kit/PlainText.h"
#include "util/TextRules.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QtMath>

namespace vellmir {

PathLabel::PathLabel(QWidget *parent)
    : PathLabel(QString(), parent)
{
}

PathLabel::PathLabel(const QString &path, QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setPath(path);
}

void PathLabel::setPath(const QString &path)
{
    m_path = path;
    // A path comes from a disk, a snapshot or a file anyone may edit: a line break in it would
    // start a second line, and a bidirectional control would reorder it. Written out once here,
    // not on every resize and size hint.
    m_line = TextRules::visible(path);
    setToolTip(plainAutoText(m_line));
    // What is read out is the whole line, not what fits.
    setAccessibleName(m_line);
    updateGeometry();
    elide();
}

void PathLabel::setElideMode(Qt::TextElideMode mode)
{
    m_elideMode = mode;
    elide();
}

QSize PathLabel::minimumSizeHint() const
{
    const QFontMetrics metrics(font());
    return QSize(metrics.horizontalAdvance(QStringLiteral("/…/")), metrics.height());
}

QSize PathLabel::sizeHint() const
{
    // Eliding measures in fractions of a pixel: a width rounded down would cut the last
    // fraction off and elide a name that has all the room it asked for.
    const QFontMetricsF metrics(font());
    const QMargins margins = contentsMargins();
    return QSize(qCeil(metrics.horizontalAdvance(m_line)) + margins.left() + margins.right() + 2 * margin(),
        QFontMetrics(font()).height() + margins.top() + margins.bottom());
}

void PathLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

void PathLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        elide();
}

void PathLabel::elide()
{
    const int width = contentsRect().width() - 2 * margin();
    setText(fontMetrics().elidedText(m_line, m_elideMode, qMax(0, width)));
}

} // namespace vellmir
