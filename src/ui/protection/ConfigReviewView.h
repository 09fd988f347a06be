#pragma once

#include "protection/ConfigReview.h"

#include <QDialog>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace vellmir {

class DestinationStore;
class MessageLabel;

// A label laid out as a small bullet symbol in the secondary colour followed by its title,
// 8 pixels apart, the symbol centred on the title's first line.
struct BulletLabelStyle {
    // `title` is shown as plain, selectable text that wraps, inside long words too, in the
    // returned widget's child named "changeText" (a MessageLabel).
    static QWidget *makeLabel(const QString &symbol, const QString &title, QWidget *parent);
};

// The sheet in which the user settles settings changed outside the application, or settings
// brought from another computer: the differences from the last sealed configuration, and the
// buttons to keep them or go back. A window-modal dialog (open it with open()); it renders the
// ConfigReview model and forwards its buttons. Its variant follows the store's flag for
// settings from another computer.
class ConfigReviewView : public QDialog {
    Q_OBJECT

public:
    explicit ConfigReviewView(DestinationStore &store, QWidget *parent = nullptr);

    ConfigReview &model() { return *m_model; }

    static constexpr int sheetWidth = 520;

protected:
    void showEvent(QShowEvent *event) override;

private:
    // The warning symbol beside the title, which showVariant fills in.
    QLayout *buildTitleRow();
    void showVariant();
    void showChanges();
    void showResult();
    void showError();
    void showKeepAlert();
    void fitHeight();

    ConfigReview *m_model;
    bool m_loaded = false;
    QScrollArea *m_scroll;
    QVBoxLayout *m_layout; // the scrolling content
    QLabel *m_title;
    QLabel *m_explanation;
    QWidget *m_changesBox;
    QVBoxLayout *m_changesLayout;
    MessageLabel *m_result;
    MessageLabel *m_error;
    QHBoxLayout *m_buttons;
    QPushButton *m_keepButton;
    QPushButton *m_useButton;
    QPushButton *m_laterButton;
    QPushButton *m_undoButton;
};

} // namespace vellmir
