#pragma once

#include "protection/RecoveryKit.h"

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vellmir {

// "Recover on Another Computer": a destination's recovery instructions and the export of its kit.
// A window-modal sheet (open it with open()); it renders the RecoveryKit model and forwards
// the two buttons. It does not close by itself after an export.
class RecoveryKitSheet : public QDialog {
    Q_OBJECT

public:
    // Without a chooser or revealer the platform's folder panel and file manager are used.
    explicit RecoveryKitSheet(const Destination &destination, QWidget *parent = nullptr,
        RecoveryKit::FolderChooser chooser = {}, RecoveryKit::FolderRevealer revealer = {});

    RecoveryKit &model() { return *m_model; }

private:
    void showMessage();

    RecoveryKit *m_model;
    QLabel *m_message;
};

} // namespace vellmir
