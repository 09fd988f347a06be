#include "kit/WrappedText.h"

#include <QTextDocument>
#include <QtMath>
#include <memory>

namespace vellmir {

WrappedText::WrappedText(const QString &text, QWidget *parent)
    : QTextEdit(parent)
{
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::NoFocus);
    // Reads as a label: the window's own background, no margin of its own.
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    document()->setDocumentMargin(0);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setText(text);
}

void WrappedText::setText(const QString &text)
{
    setPlainText(text);
    updateGeometry();
}

int WrappedText::heightForWidth(int width) const
{
    const std::unique_ptr<QTextDocument> measured(document()->clone());
    measured->setDefaultFont(font());
    QTextOption option = measured->defaultTextOption();
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    measured->setDefaultTextOption(option);
    measured->setDocumentMargin(0);
    measured->setTextWidth(std::max(1, width - 2 * frameWidth()));
    return qCeil(measured->size().height()) + 2 * frameWidth();
}

QSize WrappedText::sizeHint() const
{
    // A line's worth of width; the layout decides the rest.
    const int width = std::max(this->width(), fontMetrics().averageCharWidth() * 40);
    return { width, heightForWidth(width) };
}

QSize WrappedText::minimumSizeHint() const
{
    // Layouts ask heightForWidth() for the height.
    return { fontMetrics().averageCharWidth() * 4, fontMetrics().lineSpacing() };
}

} // namespace vellmir
