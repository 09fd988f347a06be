#include "restore/SymbolLabel.h"

#include <QHBoxLayout>
#include <QLabel>

namespace vellmir {

SymbolLabel::SymbolLabel(const QString &symbol, restorekit::Tone tone, QWidget *parent)
    : QWidget(parent)
    , m_icon(new QLabel(this))
    , m_text(new QLabel(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    const int side = fontMetrics().height();
    m_icon->setPixmap(restorekit::icon(symbol).pixmap(side, side));
    m_icon->setAlignment(Qt::AlignTop);
    m_text->setWordWrap(true);
    m_text->setTextFormat(Qt::PlainText);
    restorekit::setTone(m_text, tone);
    layout->addWidget(m_icon);
    layout->addWidget(m_text, 1);
}

QString SymbolLabel::text() const
{
    return m_text->text();
}

void SymbolLabel::setText(const QString &text)
{
    m_text->setText(text);
}

void SymbolLabel::setSelectable(bool selectable)
{
    m_text->setTextInteractionFlags(
        selectable ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard : Qt::NoTextInteraction);
}

void SymbolLabel::setCaption()
{
    restorekit::setCaption(m_text);
}

} // namespace vellmir
