#include "kit/PathLabel.h"

#include "kit/PlainText.h"

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
    setToolTip(plainAutoText(path));
    updateGeometry();
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
    QString line = m_path;
    line.replace(u'\n', u' ');
    const QMargins margins = contentsMargins();
    return QSize(qCeil(metrics.horizontalAdvance(line)) + margins.left() + margins.right() + 2 * margin(),
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
    // A line break in a name would otherwise start a second line.
    QString line = m_path;
    line.replace(u'\n', u' ');
    const int width = contentsRect().width() - 2 * margin();
    setText(fontMetrics().elidedText(line, Qt::ElideMiddle, qMax(0, width)));
}

} // namespace vellmir
