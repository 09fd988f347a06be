#pragma once

#include <QColor>
#include <QStringList>
#include <QWidget>

class QLabel;

namespace vellmir {

// A short list of lines (folders, exclusion patterns) with every other row faintly shaded, the
// first one included, inside rounded corners. Each line is selectable so it can be copied.
class StripedList : public QWidget {
    Q_OBJECT

public:
    explicit StripedList(const QStringList &items = {}, QWidget *parent = nullptr);

    void setItems(const QStringList &items);
    const QStringList &items() const { return m_items; }
    QLabel *row(qsizetype index) const { return m_rows.value(index); }
    // The shading behind row `index`: the text colour at 6% opacity for even rows, none for odd.
    QColor rowBackground(qsizetype index) const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QStringList m_items;
    QList<QLabel *> m_rows;
};

} // namespace vellmir
