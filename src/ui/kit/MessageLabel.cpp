#include "kit/MessageLabel.h"

#include "kit/PlainText.h"

#include <QAbstractTextDocumentLayout>
#include <QEvent>
#include <QScrollBar>
#include <QtMath>

namespace vellmir {

MessageLabel::MessageLabel(QWidget *parent)
    : MessageLabel(QString(), parent)
{
}

MessageLabel::MessageLabel(const QString &message, QWidget *parent)
    : QTextEdit(parent)
{
    setReadOnly(true);
    // Tab moves on, as from any label: a message is no place to type a tab.
    setTabChangesFocus(true);
    setAcceptRichText(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizeAdjustPolicy(QAbstractScrollArea::AdjustIgnored);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    // It reads as a line of the pane, not as a field: the pane's background shows through.
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    document()->setDocumentMargin(0);
    m_measure.setDocumentMargin(0);
    setWordWrap(true);
    setText(message);
    setTone(StatusTone::failure);
}

void MessageLabel::setText(const QString &message)
{
    if (message == m_text && !message.isEmpty())
        return;
    m_text = message;
    // Messages carry what restic, the file system or a file said.
    const QString shown = visibleLines(message);
    setPlainText(shown);
    m_measure.setPlainText(shown);
    updateGeometry();
}

void MessageLabel::setSelectable(bool selectable)
{
    setTextInteractionFlags(
        selectable ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard : Qt::NoTextInteraction);
    // A line that cannot be selected is no stop for Tab.
    setFocusPolicy(selectable ? Qt::StrongFocus : Qt::NoFocus);
    viewport()->setCursor(selectable ? Qt::IBeamCursor : Qt::ArrowCursor);
}

void MessageLabel::setWordWrap(bool wrap)
{
    m_wrap = wrap;
    QTextOption option = document()->defaultTextOption();
    option.setWrapMode(wrap ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
    document()->setDefaultTextOption(option);
    m_measure.setDefaultTextOption(option);
    setLineWrapMode(wrap ? QTextEdit::WidgetWidth : QTextEdit::NoWrap);
    setSizePolicy(wrap ? QSizePolicy::Preferred : QSizePolicy::Minimum, QSizePolicy::Minimum);
    updateGeometry();
}

void MessageLabel::setMaxLines(int lines)
{
    m_maxLines = lines;
    setVerticalScrollBarPolicy(lines > 0 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    updateGeometry();
}

void MessageLabel::setTone(StatusTone tone)
{
    m_tone = tone;
    StatusStyle::applyTone(*this, tone);
}

QSizeF MessageLabel::laidOut(qreal width) const
{
    m_measure.setDefaultFont(font());
    m_measure.setTextWidth(width);
    return m_measure.documentLayout()->documentSize();
}

int MessageLabel::heightForWidth(int width) const
{
    if (m_text.isEmpty())
        return 0;
    const QMargins margins = contentsMargins();
    const int inner = qMax(1, width - margins.left() - margins.right());
    int height = qCeil(laidOut(m_wrap ? inner : -1).height());
    if (m_maxLines > 0)
        height = qMin(height, fontMetrics().lineSpacing() * m_maxLines);
    return height + margins.top() + margins.bottom();
}

QSize MessageLabel::sizeHint() const
{
    const QMargins margins = contentsMargins();
    int width = qCeil(laidOut(-1).width()) + margins.left() + margins.right();
    // A long message asks for a readable line, not for the whole message on one line.
    if (m_wrap)
        width = qMin(width, fontMetrics().averageCharWidth() * 80);
    return QSize(width, heightForWidth(width));
}

QSize MessageLabel::minimumSizeHint() const
{
    if (!m_wrap)
        return sizeHint();
    const QMargins margins = contentsMargins();
    const int width = qMin(sizeHint().width(), fontMetrics().averageCharWidth() * 8 + margins.left() + margins.right());
    return QSize(width, m_text.isEmpty() ? 0 : fontMetrics().height() + margins.top() + margins.bottom());
}

void MessageLabel::changeEvent(QEvent *event)
{
    QTextEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        updateGeometry();
}

void MessageLabel::resizeEvent(QResizeEvent *event)
{
    QTextEdit::resizeEvent(event);
    // The height follows the width: the message starts at its first line.
    verticalScrollBar()->setValue(0);
}

} // namespace vellmir
