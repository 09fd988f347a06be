#pragma once

#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "detail/DestinationActions.h"
#include "engine/ResticEngine.h"
#include "engine/Snapshot.h"
#include "operations/BackupHistory.h"
#include "operations/BackupRecord.h"
#include "util/Receiver.h"
#include "util/Workers.h"

#include <QList>
#include <QLocale>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

class QUndoStack;
class QWidget;

namespace vellmir {

class BackupRunner;
class DestinationStore;

// The state of one destination's detail pane and the work it starts: the pane's own backup
// runner, the snapshot list, the connection test, retention with its preview, removal with
// undo, and the history read every 3 seconds while polling. restic and the keyring are
// consulted on worker threads; every result comes back to this object's thread, and results
// that arrive after the model is gone are dropped.
class DestinationDetailModel : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds pollInterval { 3000 };

    struct Services {
        // The store the destination is removed from and restored to.
        QPointer<DestinationStore> store;
        ResticEngine engine;
        CredentialsStore credentials;
        // Shared with the destination's overview row, so the run outlives the pane.
        std::shared_ptr<BackupRunner> runner;
        QString historyDirectory;
        // Asked once, when the model is made.
        std::function<bool()> fullDiskAccessGranted;
        // Asked on every use: the user default "useFullDiskAccess", false when absent.
        std::function<bool()> fullDiskAccessWanted;
        // Brings the scheduler's registration in line with the remaining destinations.
        std::function<std::optional<QString>(const QList<Destination> &)> reconcile;
        // Receives the undo of a removal; none means the removal cannot be undone.
        QPointer<QUndoStack> undoStack;
        // Shows the failure of an undo as a modal alert.
        std::function<void(const QString &)> alert;
    };

    // The application's own: the engine's defaults, the keyring, the default history folder,
    // the systemd scheduler and a message box for a failed undo.
    static Services standardServices(DestinationStore *store, QUndoStack *undoStack, QWidget *alertParent = nullptr);

    DestinationDetailModel(const Destination &destination, Services services, std::function<void()> onEdit = {},
        std::function<void()> onDeleted = {}, QObject *parent = nullptr);
    ~DestinationDetailModel() override;

    const Destination &destination() const { return m_destination; }
    // The stored copy of the same destination (same id) changed: what the pane shows follows it,
    // while its runs, sheets and their progress carry on. Actions started later use the new copy.
    void setDestination(const Destination &destination);
    BackupRunner &runner() const { return *m_runner; }
    bool fullDiskAccessGranted() const { return m_fileAccessGranted; }
    bool fullDiskAccessWanted() const;

    // Connection
    const std::optional<ConnectionStatus> &status() const { return m_status; }
    bool testing() const { return m_testing; }
    void test();

    // Snapshots
    const QList<Snapshot> &snapshots() const { return m_snapshots; }
    bool loadingSnapshots() const { return m_loadingSnapshots; }
    const std::optional<QString> &snapshotError() const { return m_snapshotError; }
    void loadSnapshots();
    // A browse or a restore failed with `message`: when restic says its snapshot is gone, the
    // list no longer holds what the repository does and is read again.
    void snapshotMayBeGone(const QString &message);
    static bool saysSnapshotGone(const QString &message);
    const std::optional<QString> &snapshotSelection() const { return m_snapshotSelection; }
    void setSnapshotSelection(const std::optional<QString> &id);
    // The selected row's snapshot; none when nothing is selected or the row is gone.
    std::optional<Snapshot> selectedSnapshot() const;
    std::optional<Snapshot> snapshot(const QString &id) const;
    bool snapshotsExpanded() const { return m_snapshotsExpanded; }
    void setSnapshotsExpanded(bool expanded);
    const std::optional<Snapshot> &browseTarget() const { return m_browseTarget; }
    const std::optional<Snapshot> &restoreTarget() const { return m_restoreTarget; }
    void setBrowseTarget(const std::optional<Snapshot> &snapshot);
    void setRestoreTarget(const std::optional<Snapshot> &snapshot);
    // "Find and Restore Files…": the selected snapshot, else the newest.
    void findAndRestore();
    // "Restore Everything…": the selected snapshot.
    void restoreEverything();
    // A double-click on a row: the browser on that row's snapshot, none when the id is unknown.
    void openRow(const QString &id);
    // The table's ideal height in points: 34 plus 26 a row, capped at 300.
    static int idealTableHeight(qsizetype rows);
    static constexpr int minimumTableHeight = 140;
    static constexpr int maximumTableHeight = 300;

    // Back up
    bool canBackUp() const { return !m_destination.sources.isEmpty(); }
    void backUpNow();
    void cancelBackup();
    bool isBusy() const;
    // The destination's run that another process records as under way, while its repository
    // is held; none while this window runs one or none runs.
    const std::optional<BackupRecord> &runElsewhere() const { return m_runElsewhere; }

    // Retention
    bool applyingRetention() const { return m_applyingRetention; }
    const std::optional<QString> &retentionMessage() const { return m_retentionMessage; }
    std::optional<int> pendingRetentionRemovals() const
    {
        return m_countedRetention.isEmpty() ? std::nullopt : std::optional(int(m_countedRetention.size()));
    }
    void previewRetention();
    // Removes exactly the snapshots the last preview counted, if retention still removes them all.
    void applyRetentionNow();
    // The confirmation closed without applying.
    void clearPendingRetention();
    QString retentionDialogTitle() const;
    QString retentionDialogMessage() const;

    // Removal
    bool confirmingDelete() const { return m_confirmingDelete; }
    void setConfirmingDelete(bool confirming);
    // `fitted`, when given, shortens the name as shown where the room for it is known.
    QString removalDialogTitle(const std::function<QString(const QString &)> &fitted = {}) const;
    void removeDestination();

    // History: the newest historyLimit records, and how many there are in all.
    const QList<BackupRecord> &records() const { return m_records; }
    qsizetype recordCount() const { return m_history ? m_history->count : 0; }
    const std::optional<QString> &operationError() const { return m_operationError; }
    bool historyExpanded() const { return m_historyExpanded; }
    void setHistoryExpanded(bool expanded);
    // The newest complete run of the current settings, if it has a finish time.
    std::optional<Date> lastCompleteBackup() const;
    QString lastCompleteBackupText(const QLocale &locale = QLocale()) const;
    // The snapshots saved by runs recorded as incomplete: some items are not in them.
    QSet<QString> incompleteSnapshots() const;
    bool snapshotIncomplete(const QString &id) const { return incompleteSnapshots().contains(id); }
    // The history lists the newest this many runs; its header counts them all.
    static constexpr int historyLimit = 30;
    // "<start> · <outcome>" for a run's entry.
    static QString historyTitle(const BackupRecord &record, const QLocale &locale = QLocale());
    // The first line of a run's entry.
    static QString resultNote(const BackupRecord &record);
    // Whether a run used settings other than the destination's current ones (or predates scopes).
    bool usedOtherSettings(const BackupRecord &record) const;
    // The title of a run's list of protected items skipped.
    static QString protectedTitle(qsizetype items);
    // Starts the history poll with an immediate pass and, the first time, the snapshot load.
    void start();
    void stop();
    bool isPolling() const { return m_timer.isActive(); }
    // Reads the history on a worker: when it changed since the last read, records() and what
    // follows from them are replaced and changed() is emitted. A poll while a read is under way
    // reads again once that one is in.
    void poll();
    bool readingHistory() const { return m_readingHistory; }

    DestinationActions actions();

Q_SIGNALS:
    // Any state of the pane changed.
    void changed();
    // setDestination() brought another copy.
    void destinationChanged();
    // isBusy() may have changed (runner or retention).
    void busyChanged();
    void confirmingDeleteChanged();
    void pendingRetentionRemovalsChanged();
    void browseTargetChanged();
    void restoreTargetChanged();

private:
    template <typename Work, typename Deliver> void background(std::stop_token stop, Work work, Deliver deliver);
    void readRecords();
    // What the records just read mean beyond the history: a run or retention that ended since
    // the list was read changed the repository; a record "running" may be another process's run.
    void followHistory();
    void finishLeftovers();
    void loadSnapshots(std::stop_token stop, std::function<void()> then);
    void finishLoad(quint64 generation, std::optional<QList<Snapshot>> snapshots, std::optional<QString> error);
    void setApplyingRetention(bool on);
    void finishRetention(const std::optional<int> &count, const QString &error);
    // From the worker that applied retention: the panes made anew for `id` since hear how it ended.
    static void tellRetentionEnded(const QUuid &id, quint64 starter, std::optional<int> count, const QString &error);

    Destination m_destination;
    QPointer<DestinationStore> m_store;
    ResticEngine m_engine;
    CredentialsStore m_credentials;
    std::shared_ptr<BackupRunner> m_runner;
    QString m_historyDirectory;
    std::function<bool()> m_fileAccessWanted;
    std::function<std::optional<QString>(const QList<Destination> &)> m_reconcile;
    QPointer<QUndoStack> m_undoStack;
    std::function<void(const QString &)> m_alert;
    std::function<void()> m_onEdit;
    std::function<void()> m_onDeleted;
    bool m_fileAccessGranted = false;
    quint64 m_serial = 0; // tells this model from others made later for the destination

    std::optional<ConnectionStatus> m_status;
    bool m_testing = false;
    bool m_confirmingDelete = false;
    QStringList m_countedRetention; // the snapshots the confirmation counts, by id
    QList<Snapshot> m_snapshots;
    bool m_loadingSnapshots = false;
    std::optional<QString> m_snapshotError;
    std::optional<Date> m_snapshotsReadAt; // when the last load started
    std::optional<BackupRecord> m_runElsewhere;
    std::optional<Snapshot> m_restoreTarget;
    bool m_applyingRetention = false;
    std::optional<QString> m_retentionMessage;
    QList<BackupRecord> m_records;
    // The last read of the history, without the newest records (they are m_records).
    std::optional<BackupHistory::Glance> m_history;
    bool m_readingHistory = false;
    bool m_readAgain = false;
    std::optional<QString> m_operationError;
    std::optional<Snapshot> m_browseTarget;
    bool m_snapshotsExpanded = true;
    std::optional<QString> m_snapshotSelection;
    bool m_historyExpanded = false;

    QTimer m_timer;
    bool m_loadedOnce = false;
    bool m_finishingLeftovers = false; // a worker finishes records a dead process left running
    quint64 m_loadGeneration = 0;
    // Ends the pane's reads (snapshots, the connection test, the retention preview) when the pane
    // goes; applying retention is left to finish beyond the pane (Workers::beyondViews).
    std::stop_source m_viewStop;
    std::shared_ptr<Receiver<DestinationDetailModel>> m_receiver;
    // Its jobs read copies only: asked to stop when the model goes, they end without holding it.
    Workers m_workers;
};

} // namespace vellmir
