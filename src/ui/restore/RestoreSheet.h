#pragma once

#include "restore/RestoreSheetModel.h"

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace vellmir {

class PathLabel;
class StatusLabel;

// "Restore Snapshot": a window-modal sheet that restores one snapshot, whole or one path of
// it, into a new folder inside a folder the user chooses. Open it with open(). It renders its
// RestoreSheetModel and forwards the user's actions to it.
class RestoreSheet : public QDialog {
    Q_OBJECT

public:
    RestoreSheet(const Snapshot &snapshot, const Destination &destination, const std::optional<QString> &include,
        const RestoreServices &services, QWidget *parent = nullptr);

    RestoreSheetModel *model() const { return m_model; }
    // Says that the snapshot was saved by an incomplete backup.
    void setIncomplete(bool incomplete);

    // Escape and the close button do nothing while a restore runs.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildSnapshotSection(QVBoxLayout *layout, const Snapshot &snapshot);
    void buildTargetSection(QVBoxLayout *layout);
    void buildActionSection(QVBoxLayout *layout);
    void refresh();

    RestoreSheetModel *m_model;
    QLabel *m_contents;
    PathLabel *m_target;
    QPushButton *m_restore;
    QWidget *m_progress;
    QProgressBar *m_bar;
    QLabel *m_files;
    QLabel *m_bytes;
    StatusLabel *m_success;
    QPushButton *m_show;
    StatusLabel *m_failure;
    QPushButton *m_close;
};

} // namespace vellmir
