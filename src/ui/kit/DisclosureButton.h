#pragma once

#include <QToolButton>

namespace vellmir {

// The arrow (and title) that opens and closes what is below it. Checked means open; the arrow
// points down then. Assistive technology hears a button that is expandable and expanded or not,
// not the check box Qt makes of every checkable button.
class DisclosureButton : public QToolButton {
    Q_OBJECT

public:
    explicit DisclosureButton(const QString &title, bool open, QWidget *parent = nullptr);

    // A long title gives way at its end in a narrow pane rather than widening it; the tip
    // holds it whole then.
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
};

} // namespace vellmir
