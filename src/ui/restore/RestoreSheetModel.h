#pragma once

#include "config/Destination.h"
#include "engine/Snapshot.h"
#include "operations/RestoreRunner.h"
#include "restore/RestoreServices.h"

#include <QObject>
#include <QString>
#include <optional>

namespace vellmir {

// The state of the sheet that restores one snapshot, whole or one path of it, into a new
// folder inside a folder the user chooses. The work and its progress belong to the sheet's
// own RestoreRunner; this model adds the chosen folder and the texts the sheet shows.
class RestoreSheetModel : public QObject {
    Q_OBJECT

public:
    RestoreSheetModel(Snapshot snapshot, Destination destination, std::optional<QString> include,
        const RestoreServices &services, QObject *parent = nullptr);

    const Snapshot &snapshot() const { return m_snapshot; }
    const Destination &destination() const { return m_destination; }
    const std::optional<QString> &include() const { return m_include; }
    // The folder that receives the restore; empty until the user chose one.
    const QString &targetPath() const { return m_targetPath; }
    RestoreRunner *runner() const { return m_runner; }

    void setFolderChooser(FolderChooser chooser) { m_chooser = std::move(chooser); }
    void setFolderOpener(FolderOpener opener) { m_opener = std::move(opener); }

    // The rows of the "Snapshot" section.
    QString whenText() const;
    QString contentsText() const; // `include`, or "Whole snapshot", saying when it is incomplete
    // Whether the snapshot was saved by a backup recorded as incomplete.
    void setIncomplete(bool incomplete) { m_incomplete = incomplete; }

    // Whether "Restore" may be pressed: a folder is chosen and no restore runs.
    bool canRestore() const;
    bool isRunning() const { return m_runner->phase() == RestoreRunner::Phase::running; }
    // The toolbar button: "Done" after a finished restore, "Close" otherwise, disabled while
    // a restore runs.
    QString closeButtonTitle() const;
    bool canClose() const { return !isRunning(); }

    QString progressFilesText() const; // "<done> / <total> files"
    QString progressBytesText() const; // "<done> / <total>" as byte counts
    // "Restored <n> file(s), <bytes>." when the runner has a summary, else empty.
    QString summaryText() const;

    // Asks for a folder; a cancelled chooser leaves the current one. Allowed during a run:
    // the new folder applies to the next restore.
    void chooseFolder();
    void setTargetPath(const QString &path);
    // Starts a restore into the chosen folder; ignored while one runs or none is chosen.
    void restore();
    void cancel();
    // Opens the folder the last restore created, when there is one.
    void showRestoredFiles();

Q_SIGNALS:
    void targetPathChanged();

private:
    Snapshot m_snapshot;
    Destination m_destination;
    std::optional<QString> m_include;
    bool m_incomplete = false;
    QString m_targetPath;
    RestoreRunner *m_runner;
    FolderChooser m_chooser;
    FolderOpener m_opener;
};

} // namespace vellmir
