#include "kit/MessageLabel.h"

namespace vellmir {

MessageLabel::MessageLabel(QWidget *parent)
    : MessageLabel(QString(), parent)
{
}

MessageLabel::MessageLabel(const QString &message, QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setText(message);
    setTone(StatusTone::failure);
}

void MessageLabel::setTone(StatusTone tone)
{
    m_tone = tone;
    StatusStyle::applyTone(*this, tone);
}

} // namespace vellmir
