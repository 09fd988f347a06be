#pragma once

#include "config/Destination.h"
#include "detail/DestinationActions.h"
#include "operations/BackupRecord.h"
#include "restore/RestoreServices.h"

#include <QSet>
#include <QWidget>
#include <functional>
#include <memory>

class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QToolBar;
class QUndoStack;
class QVBoxLayout;

namespace vellmir {

class BackupSection;
class ConnectionStatusRow;
class DestinationDetailModel;
class DestinationStore;
class DetailSection;
class MessageLabel;
class PathLabel;
class RestoreRunner;
class SnapshotsSection;

// The pane of one destination: what it is, "Back Up", "Snapshots", the protection details,
// the history of its runs, the connection test and retention, with a toolbar to edit or
// remove it. The shell makes one per selected destination and drops it when the selection
// moves; a new copy of the same destination is handed to setDestination(), so a run, a sheet
// and their progress outlive an edit made meanwhile. The pane renders its DestinationDetailModel and forwards to it; it
// presents the confirmations and the restore sheets the model asks for, and publishes the actions of the "Destination"
// menu through actionsChanged().
class DestinationDetail : public QWidget {
    Q_OBJECT

public:
    // The application's own services over `store`; removals are undone through `undoStack`
    // (none: no undo).
    DestinationDetail(const Destination &destination, std::function<void()> onEdit, std::function<void()> onDeleted,
        DestinationStore *store, QUndoStack *undoStack, QWidget *parent = nullptr);
    // Takes ownership of `model`.
    DestinationDetail(DestinationDetailModel *model, RestoreServices restoreServices, QWidget *parent = nullptr);
    ~DestinationDetail() override;

    DestinationDetailModel *model() const { return m_model; }
    DestinationActions actions() const;
    // The store's copy of the shown destination (same id) changed.
    void setDestination(const Destination &destination);

    // Where the protection details panel goes, between "Snapshots" and the history. The pane
    // takes ownership of `panel`; a later call replaces the earlier panel.
    void setProtectionPanel(QWidget *panel);
    QWidget *protectionSlot() const { return m_protectionSlot; }

    // The confirmations and sheets while they are shown, for the shell's tests.
    QMessageBox *retentionConfirmation() const { return m_retentionConfirmation; }
    QMessageBox *removalConfirmation() const { return m_removalConfirmation; }
    QWidget *sheet() const { return m_sheet; }

Q_SIGNALS:
    // The menu's actions changed (published at once and whenever a flag of them changes).
    void actionsChanged(const DestinationActions &actions);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void build();
    QWidget *buildDestinationSection();
    QWidget *buildHistorySection();
    QWidget *buildConnectionSection();
    QWidget *buildRetentionSection();
    void refresh();
    void renderDestination();
    void renderBackup();
    void renderHistory();
    void showRetentionConfirmation();
    void showRemovalConfirmation();
    void showSheets();
    // A restore of a sheet that fails because its snapshot is gone reads the list again.
    void followFailures(RestoreRunner *runner);
    void publish();

    DestinationDetailModel *m_model;
    RestoreServices m_restoreServices;

    QToolBar *m_toolbar = nullptr;
    PathLabel *m_name = nullptr;
    QLabel *m_type = nullptr;
    MessageLabel *m_repository = nullptr;
    QLabel *m_schedule = nullptr;
    QLabel *m_lastBackup = nullptr;
    QLabel *m_policy = nullptr;
    QLabel *m_prune = nullptr;
    BackupSection *m_backup = nullptr;
    SnapshotsSection *m_snapshots = nullptr;
    QWidget *m_protectionSlot = nullptr;
    QVBoxLayout *m_protectionLayout = nullptr;
    QWidget *m_protectionPanel = nullptr;
    MessageLabel *m_operationError = nullptr;
    DetailSection *m_history = nullptr;
    QLabel *m_historyCount = nullptr;
    QLabel *m_noHistory = nullptr;
    QWidget *m_historyList = nullptr;
    QVBoxLayout *m_historyLayout = nullptr;
    QList<BackupRecord> m_shownRecords;
    // The destination's backup scope the entries were drawn for: their notes of other settings
    // depend on it.
    QString m_shownScope;
    QSet<QUuid> m_openRecords;
    QPushButton *m_test = nullptr;
    QProgressBar *m_testing = nullptr;
    ConnectionStatusRow *m_status = nullptr;
    QPushButton *m_applyRetention = nullptr;
    QProgressBar *m_applying = nullptr;
    QLabel *m_retentionMessage = nullptr;
    QMessageBox *m_retentionConfirmation = nullptr;
    QMessageBox *m_removalConfirmation = nullptr;
    QWidget *m_sheet = nullptr;
};

} // namespace vellmir
