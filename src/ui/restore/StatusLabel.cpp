#include "restore/StatusLabel.h"

#include <QHBoxLayout>
#include <QLabel>

namespace vellmir {

StatusLabel::StatusLabel(const QString &symbol, restorekit::Tone tone, QWidget *parent)
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

QString StatusLabel::text() const
{
    return m_text->text();
}

void StatusLabel::setText(const QString &text)
{
    m_text->setText(text);
}

void StatusLabel::setSelectable(bool selectable)
{
    m_text->setTextInteractionFlags(
        selectable ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard : Qt::NoTextInteraction);
}

void StatusLabel::setCaption()
{
    restorekit::setCaption(m_text);
}

} // namespace vellmir
