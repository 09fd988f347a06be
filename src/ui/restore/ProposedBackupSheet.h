#pragma once

#include "restore/BackupExplorerModel.h"
#include "restore/ProposedBackupSheetModel.h"

#include <QDialog>
#include <QList>

class QLabel;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace vellmir {

class BackupExplorerView;

// "Proposed Backup": a window-modal sheet in which the user walks the folders a destination
// backs up, sees what the next backup would take from each and how large it is, and excludes
// or re-includes items. Open it with open(). The destination editor hands in its folders and
// its exclude list and reads the list back from model() (excludesChanged() tells it at once);
// "Done" closes the sheet and keeps every change, so there is no Cancel.
class ProposedBackupSheet : public QDialog {
    Q_OBJECT

public:
    ProposedBackupSheet(const QStringList &sources, const QStringList &excludes, QWidget *parent = nullptr);

    ProposedBackupSheetModel *model() const { return m_model; }
    // How every explorer of this sheet lists its folder, from now on; tests hold listings back.
    void setLister(const BackupLister &lister);
    // The explorer on top of the navigation stack; nullptr on the list of folders.
    BackupExplorerView *currentExplorer() const;
    // The explorer of every opened directory, outermost first (the root's, if it is one, first).
    QList<BackupExplorerView *> explorers() const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *folderList();
    void syncPages();
    void showHeader();

    ProposedBackupSheetModel *m_model;
    QToolButton *m_back;
    QLabel *m_title;
    QStackedWidget *m_stack;
    QPushButton *m_done;
    BackupLister m_lister;
    bool m_started = false;
};

} // namespace vellmir
