#pragma once

#include <QToolButton>

class QLabel;

namespace vellmir {

class InfoPopover;

// A small information button for a form row: hovering shows the explanation as a tooltip,
// pressing opens it in a popover beside the button on its trailing side, pressing again (or
// clicking elsewhere) closes it. The text is shown as given, not translated.
class InfoButton : public QToolButton {
    Q_OBJECT

public:
    // The width of the popover's text; longer explanations wrap and the popover grows in height.
    static constexpr int textWidth = 300;

    explicit InfoButton(const QString &text, QWidget *parent = nullptr);
    ~InfoButton() override;

    const QString &text() const { return m_text; }
    bool isShowing() const { return m_showing; }
    // The popover while it exists (it is made on first opening), for tests.
    QWidget *popover() const;

Q_SIGNALS:
    void showingChanged();

protected:
    void changeEvent(QEvent *event) override;

private:
    void toggle();
    void setShowing(bool showing);
    void refreshIcon();

    QString m_text;
    bool m_showing = false;
    InfoPopover *m_popover = nullptr;
};

} // namespace vellmir
