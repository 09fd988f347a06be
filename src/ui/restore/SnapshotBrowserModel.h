#pragma once

#include "config/Destination.h"
#include "engine/Snapshot.h"
#include "engine/SnapshotEntry.h"
#include "operations/RestoreRunner.h"
#include "restore/RestoreServices.h"
#include "util/Receiver.h"
#include "util/Workers.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

// The state of the sheet in which the user walks one snapshot's folders, searches below the
// current one and restores a single file or folder into a new folder.
//
// Every change of snapshot, folder or search text starts a new listing after a short pause,
// so typing does not start one restic run per keystroke; a newer listing cancels the one
// before it, and only the newest may fill the list or report an error.
class SnapshotBrowserModel : public QObject {
    Q_OBJECT

public:
    // One crumb of the path bar.
    struct PathComponent {
        QString name;
        QString fullPath;
        friend bool operator==(const PathComponent &, const PathComponent &) = default;
    };

    static constexpr std::chrono::milliseconds debounce { 200 };
    // The engine keeps no more entries than this; a full list gets a note.
    static constexpr qsizetype resultLimit = 1000;

    // `chosen` is the snapshot the presenter picked; its id is browsed even when `snapshots`
    // does not hold it.
    SnapshotBrowserModel(Destination destination, QList<Snapshot> snapshots, const Snapshot &chosen,
        const RestoreServices &services, QObject *parent = nullptr);
    // Cancels a listing under way; a restore goes on (see RestoreRunner).
    ~SnapshotBrowserModel() override;

    // The folder restores go into at first: the Downloads folder when it exists, else home.
    static QString defaultTargetPath();

    const Destination &destination() const { return m_destination; }
    const QList<Snapshot> &snapshots() const { return m_snapshots; }
    const QString &snapshotID() const { return m_snapshotID; }
    const QString &directory() const { return m_directory; }
    const QString &search() const { return m_search; }
    const QList<SnapshotEntry> &entries() const { return m_entries; }
    bool loading() const { return m_loading; }
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    const std::optional<SnapshotEntry> &selected() const { return m_selected; }
    const std::optional<SnapshotEntry> &confirmingFolderRestore() const { return m_confirming; }
    const QString &targetPath() const { return m_targetPath; }
    RestoreRunner *runner() const { return m_runner; }

    void setFolderChooser(FolderChooser chooser) { m_chooser = std::move(chooser); }
    void setFolderOpener(FolderOpener opener) { m_opener = std::move(opener); }

    // Derived values.
    std::optional<Snapshot> snapshot() const; // the element of snapshots() with snapshotID()
    QString queryID() const; // "<snapshot>|<directory>|<search>": the listing's identity
    QList<PathComponent> pathComponents() const;
    bool canGoUp() const { return m_directory != QLatin1String("/") && m_search.isEmpty(); }
    bool showsRootButton() const { return m_directory != QLatin1String("/") || !m_search.isEmpty(); }
    bool showsResultLimitNote() const { return m_entries.size() == resultLimit; }
    // A row's name: the last path component, or the whole path while searching.
    QString displayName(const SnapshotEntry &entry) const;
    static QString lastComponent(const QString &path);
    // The picker's label of a snapshot: "<time> · <host>".
    static QString snapshotLabel(const Snapshot &snapshot);

    // Starts listing; the sheet calls it when it is shown. Until then changes list nothing.
    void start();
    // Cancels the listing under way and lists nothing more; the sheet calls it when it goes.
    void stop();

    // Navigation. Opening a folder (crumb, "Root", "Open", double-click) clears the search.
    void setSnapshotID(const QString &id);
    void setSearch(const QString &text);
    void openFolder(const QString &path);
    void goUp();
    void goToRoot() { openFolder(QStringLiteral("/")); }
    // The user selects a row (nullopt: none). Clears a finished or failed restore's result.
    void select(const std::optional<QString> &path);
    // A double-click on the selected rows: opens the one folder, ignores anything else.
    void activate(const QStringList &paths);

    // The restore bar.
    bool isRunning() const { return m_runner->phase() == RestoreRunner::Phase::running; }
    bool canPressRestore() const { return !m_loading && !m_targetPath.isEmpty(); }
    static QString restoreButtonTitle(const SnapshotEntry &entry); // "Restore Folder…" / "Restore File"
    // The restore button: a file starts at once, a folder asks first.
    void requestRestore();
    // The confirmation's "Restore Folder" and its dismissal.
    void confirmFolderRestore();
    void dismissFolderConfirmation();
    QString folderConfirmationMessage() const;
    void startRestore(const QString &path);
    void cancelRestore();
    void chooseTargetFolder();
    void setTargetPath(const QString &path);
    void showRestoredFiles();
    QString targetDisplayPath() const; // targetPath() with "~" for home
    QString closeButtonTitle() const;
    bool canClose() const { return !isRunning(); }
    QString progressFilesText() const;
    QString progressBytesText() const;
    QString summaryText() const;

Q_SIGNALS:
    void snapshotIDChanged();
    void directoryChanged();
    void searchChanged();
    void entriesChanged();
    void loadingChanged();
    void errorMessageChanged();
    void selectedChanged();
    void confirmingFolderRestoreChanged();
    void targetPathChanged();

private:
    void restartListing();
    void runListing();
    void finishListing(quint64 generation, const QList<SnapshotEntry> &entries);
    void failListing(quint64 generation, const QString &message);
    void setEntries(const QList<SnapshotEntry> &entries);
    void setLoading(bool loading);
    void setErrorMessage(const std::optional<QString> &message);
    void setSelected(const std::optional<SnapshotEntry> &entry);
    void setConfirming(const std::optional<SnapshotEntry> &entry);

    Destination m_destination;
    QList<Snapshot> m_snapshots;
    ResticEngine m_engine;
    CredentialsStore m_credentials;
    QString m_snapshotID;
    QString m_directory = QStringLiteral("/");
    QString m_search;
    QList<SnapshotEntry> m_entries;
    bool m_loading = false;
    std::optional<QString> m_errorMessage;
    std::optional<SnapshotEntry> m_selected;
    std::optional<SnapshotEntry> m_confirming;
    QString m_targetPath;
    RestoreRunner *m_runner;
    FolderChooser m_chooser;
    FolderOpener m_opener;

    bool m_started = false;
    QTimer m_debounce;
    quint64 m_generation = 0; // of the newest listing; older ones' results are dropped
    std::stop_source m_listingStop;
    std::shared_ptr<Receiver<SnapshotBrowserModel>> m_receiver;
    // Its jobs read copies only: asked to stop when the model goes, they end without holding it.
    Workers m_workers;
};

} // namespace vellmir
