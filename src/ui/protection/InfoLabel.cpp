#include "protection/InfoLabel.h"

#include "protection/InfoButton.h"

#include <QHBoxLayout>
#include <QLabel>

namespace vellmir {

namespace {

// A title that asks for one line and wraps only where a narrow pane leaves less; a plain
// word-wrapped label would ask for a width of its own choosing and wrap in a wide pane too.
class TitleLabel : public QLabel {
public:
    using QLabel::QLabel;

    QSize sizeHint() const override
    {
        const int width = fontMetrics().horizontalAdvance(text()) + 1;
        return QSize(width, heightForWidth(width));
    }
};

} // namespace

InfoLabel::InfoLabel(const QString &title, const QString &info, QWidget *parent)
    : QWidget(parent)
    , m_title(title)
    , m_info(info)
    , m_button(new InfoButton(info, this))
{
    auto *label = new TitleLabel(title, this);
    label->setObjectName(QStringLiteral("title"));
    label->setTextFormat(Qt::PlainText);
    // A narrow pane wraps the title rather than widening.
    label->setWordWrap(true);
    m_button->setObjectName(QStringLiteral("info"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(label, 0, Qt::AlignVCenter);
    layout->addWidget(m_button, 0, Qt::AlignVCenter);
    layout->addStretch(1);
}

} // namespace vellmir
