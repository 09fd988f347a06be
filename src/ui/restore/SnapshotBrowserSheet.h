#pragma once

#include "restore/SnapshotBrowserModel.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;

class QProgressBar;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QTreeWidget;
class QVBoxLayout;

namespace vellmir {

class MessageLabel;
class PathLabel;
class StatusLabel;

// "Find and Restore Files": a window-modal sheet in which the user walks a snapshot's folders,
// searches below the current one and restores one file or folder into a new folder. Open it
// with open(). It renders its SnapshotBrowserModel and forwards the user's actions to it; the
// listing starts when the sheet is first shown and stops when it closes.
class SnapshotBrowserSheet : public QDialog {
    Q_OBJECT

public:
    SnapshotBrowserSheet(const Destination &destination, const QList<Snapshot> &snapshots, const Snapshot &chosen,
        const RestoreServices &services, QWidget *parent = nullptr);

    SnapshotBrowserModel *model() const { return m_model; }
    // The folder confirmation while it is shown.
    QMessageBox *folderConfirmation() const { return m_confirmation; }

    // Escape and the close button do nothing while a restore runs.
    void reject() override;
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildNavigation(QVBoxLayout *layout, const QList<Snapshot> &snapshots);
    void buildListing(QVBoxLayout *layout);
    void buildRestoreBar(QVBoxLayout *layout);
    void buildPhases(QVBoxLayout *selectedColumn);
    void connectControls();
    void refresh();
    void rebuildCrumbs();
    void fitCrumbs();
    bool eventFilter(QObject *watched, QEvent *event) override;
    void rebuildEntries();
    void showSelection();
    void showConfirmation();

    SnapshotBrowserModel *m_model;
    QComboBox *m_picker;
    QToolButton *m_up;
    QHBoxLayout *m_crumbs;
    QWidget *m_crumbArea;
    // Each folder's crumb with the separator after it (none after the current folder's), and
    // the ellipsis that stands for the middle ones a deep folder leaves no room for.
    QList<std::pair<QWidget *, QWidget *>> m_crumbParts;
    QWidget *m_crumbEllipsis = nullptr;
    QToolButton *m_root;
    QLineEdit *m_search;
    QWidget *m_loading;
    MessageLabel *m_error;
    QTreeWidget *m_list;
    QLabel *m_limitNote;
    QStackedWidget *m_bar;
    QLabel *m_selectedIcon;
    QLabel *m_selectedName;
    QLabel *m_selectedSize;
    PathLabel *m_target;
    QPushButton *m_choose;
    QStackedWidget *m_phase;
    QProgressBar *m_progressBar;
    QLabel *m_files;
    QLabel *m_bytes;
    StatusLabel *m_success;
    QPushButton *m_show;
    QLabel *m_readyHint;
    StatusLabel *m_failure;
    QPushButton *m_restore;
    QPushButton *m_close;
    QPointer<QMessageBox> m_confirmation;
    bool m_rebuilding = false;
};

} // namespace vellmir
