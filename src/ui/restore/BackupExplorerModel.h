#pragma once

#include "restore/BackupEntry.h"
#include "util/Receiver.h"
#include "util/Workers.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace vellmir {

class ProposedBackupSheetModel;

// Lists one folder as the next backup would see it; ProposedBackup::children unless a test
// hands in another.
using BackupLister = std::function<QList<BackupEntry>(const QString &directory, const QStringList &excludes)>;

// The state of one folder's listing in the proposed-backup sheet: its rows, whether the
// listing shown on opening is still running, the row under the pointer, and what the row's
// buttons do to the sheet's exclude list and path.
//
// Listings walk every child folder, so they run on a worker thread and cannot be stopped; one
// that ends after its explorer has gone is dropped. Only the newest listing may fill the rows,
// and a listing made with an exclude list that has changed since is made again, so the rows
// never contradict the list the user sees in the editor.
class BackupExplorerModel : public QObject {
    Q_OBJECT

public:
    BackupExplorerModel(QString directory, ProposedBackupSheetModel *sheet, QObject *parent = nullptr);
    ~BackupExplorerModel() override;

    void setLister(BackupLister lister) { m_lister = std::move(lister); }

    const QString &directory() const { return m_directory; }
    const QString &title() const { return m_title; }
    const QList<BackupEntry> &entries() const { return m_entries; }
    bool loading() const { return m_loading; }
    const std::optional<QString> &hoveredID() const { return m_hoveredID; }

    // The explorer is shown (first or again, after the user came back to it): lists the folder,
    // with loading() true until the listing lands.
    void appear();
    // Lists the folder again with the sheet's current excludes; the rows stay until it lands.
    void refresh();

    // The pointer enters a row (its id) or leaves it (nullopt).
    void setHoveredID(const std::optional<QString> &id);

    // A row's open button: goes one level down into an included folder.
    static bool canOpen(const BackupEntry &entry) { return entry.isDirectory && !entry.isExcluded; }
    void open(const BackupEntry &entry);

    // A row's toggle button. It can undo only the sheet's own rule, the entry's path in its
    // "~" form; an entry another rule drops has to be changed in the editor's rules. An entry whose
    // path is not valid UTF-8 has no toggle: no pattern can name it.
    bool isToggleable(const BackupEntry &entry) const;
    // Excludes an included entry (no new listing: the row is marked and moved in memory) or
    // re-includes an excluded one (every copy of its pattern goes, then the folder is listed
    // again, since another rule may still drop it).
    void toggleExclusion(const BackupEntry &entry);

    // What the row shows.
    static QString sizeText(const BackupEntry &entry);
    static QString toggleSymbol(const BackupEntry &entry);
    QString toggleHelp(const BackupEntry &entry) const;
    static QString toggleAccessibleName(const BackupEntry &entry);
    // The minus buttons stay faint until the pointer is over their row; plus buttons never are.
    double toggleOpacity(const BackupEntry &entry) const;

Q_SIGNALS:
    void entriesChanged();
    void loadingChanged();
    void hoveredIDChanged();

private:
    void land(quint64 generation, const QStringList &excludes, const QList<BackupEntry> &entries);
    void setEntries(const QList<BackupEntry> &entries);
    void setLoading(bool loading);
    QStringList currentExcludes() const;

    QString m_directory;
    QString m_title;
    QPointer<ProposedBackupSheetModel> m_sheet;
    BackupLister m_lister;
    QList<BackupEntry> m_entries;
    bool m_loading = true;
    std::optional<QString> m_hoveredID;
    quint64 m_generation = 0; // of the newest listing started
    std::shared_ptr<Receiver<BackupExplorerModel>> m_receiver;
    // Its jobs read copies only: asked to stop when the model goes, they end without holding it.
    Workers m_workers;
};

} // namespace vellmir
