#include "protection/InfoButton.h"

#include "kit/StatusStyle.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>

namespace vellmir {

// The popover: a popup window that closes on a click anywhere else. A click on its own button
// closes it without reaching the button, so that the press closes rather than reopens it.
class InfoPopover : public QFrame {
public:
    InfoPopover(const QString &text, QWidget *button)
        : QFrame(button, Qt::Popup)
        , m_button(button)
    {
        setObjectName(QStringLiteral("popover"));
        setFrameShape(QFrame::StyledPanel);
        auto *label = new QLabel(text, this);
        label->setObjectName(QStringLiteral("popoverText"));
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setFixedWidth(InfoButton::textWidth);
        label->setAlignment(Qt::AlignLeading | Qt::AlignTop);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        auto *layout = new QVBoxLayout(this);
        const int padding = style()->pixelMetric(QStyle::PM_LayoutLeftMargin);
        layout->setContentsMargins(padding, padding, padding, padding);
        layout->addWidget(label);
        layout->setSizeConstraint(QLayout::SetFixedSize);
    }

    std::function<void()> onHidden;

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        if (!rect().contains(event->position().toPoint())) {
            const QRect buttonArea(m_button->mapToGlobal(QPoint(0, 0)), m_button->size());
            if (buttonArea.contains(event->globalPosition().toPoint()))
                setAttribute(Qt::WA_NoMouseReplay);
            close();
            return;
        }
        QFrame::mousePressEvent(event);
    }

    void hideEvent(QHideEvent *event) override
    {
        QFrame::hideEvent(event);
        setAttribute(Qt::WA_NoMouseReplay, false);
        if (onHidden)
            onHidden();
    }

private:
    QWidget *m_button;
};

InfoButton::InfoButton(const QString &text, QWidget *parent)
    : QToolButton(parent)
    , m_text(text)
{
    setAutoRaise(true);
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    // As rich text, which Qt wraps at a readable width; plain text would stay one line
    // however long the explanation is.
    setToolTip(text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
    setAccessibleName(tr("More information"));
    // Screen readers would otherwise read the rich-text tooltip's markup.
    setAccessibleDescription(text);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    refreshIcon();
    connect(this, &QToolButton::clicked, this, &InfoButton::toggle);
}

InfoButton::~InfoButton() = default;

QWidget *InfoButton::popover() const
{
    return m_popover;
}

void InfoButton::changeEvent(QEvent *event)
{
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        refreshIcon();
}

void InfoButton::refreshIcon()
{
    const int size = QFontMetrics(font()).height();
    setIconSize(QSize(size, size));
    setIcon(StatusStyle::symbolIcon(
        QStringLiteral("info.circle"), StatusStyle::color(StatusTone::secondary, palette()), size));
}

void InfoButton::toggle()
{
    if (m_showing) {
        if (m_popover)
            m_popover->close();
        setShowing(false);
        return;
    }
    if (!m_popover) {
        m_popover = new InfoPopover(m_text, this);
        m_popover->onHidden = [this] { setShowing(false); };
    }
    m_popover->adjustSize();
    const QSize size = m_popover->sizeHint();
    // Beside the button on its trailing side, centred on it; flipped to the leading side when
    // the screen has no room there.
    const QRect button(mapToGlobal(QPoint(0, 0)), this->size());
    const bool rightToLeft = layoutDirection() == Qt::RightToLeft;
    QPoint at(rightToLeft ? button.left() - size.width() : button.right() + 1, button.center().y() - size.height() / 2);
    if (const QScreen *screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        if (!rightToLeft && at.x() + size.width() > area.right())
            at.setX(button.left() - size.width());
        else if (rightToLeft && at.x() < area.left())
            at.setX(button.right() + 1);
        at.setY(qBound(area.top(), at.y(), qMax(area.top(), area.bottom() - size.height())));
    }
    m_popover->move(at);
    m_popover->show();
    setShowing(true);
}

void InfoButton::setShowing(bool showing)
{
    if (m_showing == showing)
        return;
    m_showing = showing;
    Q_EMIT showingChanged();
}

} // namespace vellmir
