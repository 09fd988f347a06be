#include "kit/DisclosureButton.h"

#include "kit/PlainText.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QStyleOptionToolButton>
#include <QStylePainter>

namespace vellmir {

namespace {

class AccessibleDisclosure : public QAccessibleWidget {
public:
    explicit AccessibleDisclosure(QWidget *widget)
        : QAccessibleWidget(widget, QAccessible::Button)
    {
    }

    QString text(QAccessible::Text kind) const override
    {
        const auto *button = static_cast<const QToolButton *>(widget());
        if (kind == QAccessible::Name && button->accessibleName().isEmpty())
            return button->text();
        return QAccessibleWidget::text(kind);
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.expandable = true;
        state.expanded = static_cast<const QToolButton *>(widget())->isChecked();
        return state;
    }

    QStringList actionNames() const override
    {
        return QStringList { pressAction() } + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &action) override
    {
        if (action == pressAction())
            static_cast<QToolButton *>(widget())->click();
        else
            QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface *disclosureFactory(const QString &className, QObject *object)
{
    if (className == QLatin1StringView(DisclosureButton::staticMetaObject.className()) && object->isWidgetType())
        return new AccessibleDisclosure(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

QSize DisclosureButton::minimumSizeHint() const
{
    const QSize whole = sizeHint();
    const int shortest = whole.width() - fontMetrics().horizontalAdvance(text()) + 8 * fontMetrics().averageCharWidth();
    return QSize(qMin(whole.width(), shortest), whole.height());
}

void DisclosureButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionToolButton option;
    initStyleOption(&option);
    const int room = width() - (sizeHint().width() - fontMetrics().horizontalAdvance(text()));
    option.text = fontMetrics().elidedText(text(), Qt::ElideRight, qMax(0, room));
    painter.drawComplexControl(QStyle::CC_ToolButton, option);
}

void DisclosureButton::resizeEvent(QResizeEvent *event)
{
    QToolButton::resizeEvent(event);
    const bool cut = width() < sizeHint().width() && !text().isEmpty();
    setToolTip(cut ? plainAutoText(text()) : QString());
}

DisclosureButton::DisclosureButton(const QString &title, bool open, QWidget *parent)
    : QToolButton(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(disclosureFactory);
        return true;
    }();
    Q_UNUSED(installed);
    setText(title);
    setToolButtonStyle(title.isEmpty() ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextBesideIcon);
    setAutoRaise(true);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setCheckable(true);
    setChecked(open);
    setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    connect(this, &QToolButton::toggled, this, [this](bool on) {
        setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
        // Screen readers learn that it opened or closed.
        QAccessible::State changed;
        changed.expanded = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    });
}

} // namespace vellmir
