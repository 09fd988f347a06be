#include "kit/StatusLabel.h"

#include "kit/MessageLabel.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>

namespace vellmir {

StatusLabel::StatusLabel(QWidget *parent)
    : QWidget(parent)
    , m_icon(new QLabel(this))
    , m_text(new MessageLabel(this))
{
    m_icon->setObjectName(QStringLiteral("symbol"));
    m_text->setObjectName(QStringLiteral("text"));
    setSelectable(false);
    m_icon->setAlignment(Qt::AlignTop);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(m_icon, 0, Qt::AlignTop);
    layout->addWidget(m_text, 1);
    m_icon->hide();
}

void StatusLabel::setStatus(StatusTone tone, const QString &symbol, const QString &text)
{
    m_tone = tone;
    m_symbol = symbol;
    m_text->setText(text);
    refresh();
}

void StatusLabel::setSelectable(bool selectable)
{
    m_text->setSelectable(selectable);
}

QString StatusLabel::text() const
{
    return m_text->text();
}

bool StatusLabel::isSelectable() const
{
    return m_text->textInteractionFlags().testFlag(Qt::TextSelectableByMouse);
}

void StatusLabel::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        refresh();
}

void StatusLabel::refresh()
{
    m_text->setFont(font());
    m_text->setTone(m_tone);
    if (m_symbol.isEmpty()) {
        m_icon->hide();
        return;
    }
    const int size = QFontMetrics(font()).height();
    m_icon->setPixmap(StatusStyle::symbolIcon(m_symbol, StatusStyle::color(m_tone, palette()), size)
                          .pixmap(size, size, QIcon::Normal));
    m_icon->show();
}

} // namespace vellmir
