#include "kit/DetailSection.h"

#include "kit/DisclosureButton.h"
#include "kit/StatusStyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace vellmir {

DetailSection::DetailSection(const QString &title, bool collapsible, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    m_header = new QHBoxLayout;
    m_header->setSpacing(6);
    if (collapsible) {
        m_arrow = new DisclosureButton(QString(), true, this);
        m_arrow->setObjectName(QStringLiteral("disclosure"));
        m_arrow->setAccessibleName(title);
        m_header->addWidget(m_arrow);
        connect(m_arrow, &QToolButton::toggled, this, &DetailSection::setExpanded);
    }
    m_title = new QLabel(title, this);
    m_title->setObjectName(QStringLiteral("sectionTitle"));
    m_title->setTextFormat(Qt::PlainText);
    m_title->setFont(StatusStyle::headlineFont(font()));
    m_header->addWidget(m_title);
    layout->addLayout(m_header);

    m_frame = new QFrame(this);
    m_frame->setObjectName(QStringLiteral("sectionBody"));
    static_cast<QFrame *>(m_frame)->setFrameShape(QFrame::StyledPanel);
    m_body = new QVBoxLayout(m_frame);
    m_body->setSpacing(6);
    layout->addWidget(m_frame);
}

void DetailSection::setExpanded(bool expanded)
{
    if (m_expanded == expanded)
        return;
    m_expanded = expanded;
    if (m_arrow)
        m_arrow->setChecked(expanded);
    m_frame->setVisible(expanded);
    Q_EMIT expandedChanged(expanded);
}

} // namespace vellmir
