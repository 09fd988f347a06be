#pragma once

#include "engine/Snapshot.h"
#include "kit/DetailSection.h"

#include <QSet>

class QBoxLayout;
class QLabel;
class QMenu;
class QPoint;
class QPushButton;
class QTreeWidget;

namespace vellmir {

class DestinationDetailModel;
class StatusLabel;

// "Snapshots": the repository's snapshots in a table, with the buttons that open the snapshot
// browser and the restore sheet (by setting the model's targets) and reload the list. It
// shows and selects; loading and the sheets belong to the pane.
class SnapshotsSection : public DetailSection {
    Q_OBJECT

public:
    explicit SnapshotsSection(DestinationDetailModel *model, QWidget *parent = nullptr);

    QTreeWidget *table() const { return m_table; }
    // The context menu for the row with this id; nullptr when no snapshot has it. The caller owns it.
    QMenu *contextMenu(const QString &id);
    // Puts the full id on the clipboard as its only text.
    static void copySnapshotID(const QString &id);

    // Stands the buttons one under the other where a pane of this width has no room for them
    // side by side, rather than widening the pane.
    void fitActions(int paneWidth);

private:
    void refresh();
    void fillTable();
    void showContextMenu(const QPoint &position);

    DestinationDetailModel *m_model;
    QLabel *m_count;
    QWidget *m_loading;
    StatusLabel *m_error;
    QLabel *m_empty;
    QTreeWidget *m_table;
    QPushButton *m_find;
    QPushButton *m_restore;
    QPushButton *m_refresh;
    QBoxLayout *m_actions;
    QList<Snapshot> m_shown;
    QSet<QString> m_shownIncomplete;
    bool m_filling = false;
};

} // namespace vellmir
