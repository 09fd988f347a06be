#pragma once

#include <QFrame>
#include <QString>

namespace vellmir {

// One line of text that shortens itself in the middle when space is short, so both ends of a
// long path stay readable. It never asks for more width than a few characters.
class ElidedLabel : public QFrame {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    // What fits into the current width.
    QString displayedText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
};

} // namespace vellmir
