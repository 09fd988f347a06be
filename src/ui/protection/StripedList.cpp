#include "protection/StripedList.h"

#include "kit/PathLabel.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace vellmir {

namespace {

constexpr qreal cornerRadius = 6;

} // namespace

StripedList::StripedList(const QStringList &items, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setItems(items);
}

void StripedList::setItems(const QStringList &items)
{
    m_items = items;
    qDeleteAll(m_rows);
    m_rows.clear();
    for (qsizetype index = 0; index < items.size(); ++index) {
        // Folders and patterns may come from a hand-edited file and be one long word: written out
        // and cut in the middle rather than widen the pane, whole in their tips.
        auto *row = new PathLabel(items[index], this);
        row->setObjectName(QStringLiteral("row%1").arg(index));
        row->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        row->setContentsMargins(8, 3, 8, 3);
        row->setAlignment(Qt::AlignLeading | Qt::AlignVCenter);
        layout()->addWidget(row);
        row->show(); // the list may be on screen already
        m_rows.append(row);
    }
    update();
}

QColor StripedList::rowBackground(qsizetype index) const
{
    if (index % 2 != 0)
        return Qt::transparent;
    QColor color = palette().color(QPalette::WindowText);
    color.setAlphaF(0.06f);
    return color;
}

void StripedList::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
    painter.setClipPath(clip);
    for (qsizetype index = 0; index < m_rows.size(); index += 2) {
        const QLabel *row = m_rows[index];
        painter.fillRect(QRect(0, row->y(), width(), row->height()), rowBackground(index));
    }
}

} // namespace vellmir
