#include "detail/SnapshotsSection.h"

#include "detail/DestinationDetailModel.h"
#include "kit/Format.h"
#include "kit/PlainText.h"
#include "kit/StatusLabel.h"
#include "kit/StatusStyle.h"
#include "util/TextRules.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace vellmir {

namespace {

constexpr int idRole = Qt::UserRole;

} // namespace

SnapshotsSection::SnapshotsSection(DestinationDetailModel *model, QWidget *parent)
    : DetailSection(tr("Snapshots"), true, parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("snapshotsSection"));
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("snapshotCount"));
    StatusStyle::applyTone(*m_count, StatusTone::secondary);
    header()->addWidget(m_count);
    header()->addStretch(1);

    QVBoxLayout *layout = body();
    QWidget *frame = layout->parentWidget();

    m_loading = new QWidget(frame);
    m_loading->setObjectName(QStringLiteral("loadingRow"));
    {
        auto *h = new QHBoxLayout(m_loading);
        h->setContentsMargins(0, 0, 0, 0);
        h->addWidget(StatusStyle::spinner(m_loading));
        auto *text = new QLabel(tr("Loading…"), m_loading);
        StatusStyle::applyTone(*text, StatusTone::secondary);
        h->addWidget(text);
        h->addStretch(1);
    }
    layout->addWidget(m_loading);

    m_error = new StatusLabel(frame);
    m_error->setObjectName(QStringLiteral("snapshotError"));
    m_error->setSelectable(true);
    layout->addWidget(m_error);

    m_empty = new QLabel(tr("No snapshots yet. Run a backup to create one."), frame);
    m_empty->setObjectName(QStringLiteral("noSnapshots"));
    StatusStyle::applyTone(*m_empty, StatusTone::secondary);
    layout->addWidget(m_empty);

    m_table = new QTreeWidget(frame);
    m_table->setObjectName(QStringLiteral("snapshotTable"));
    m_table->setRootIsDecorated(false);
    m_table->setUniformRowHeights(true);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    m_table->setHeaderLabels({ tr("Date"), tr("Computer"), tr("Size"), tr("ID") });
    m_table->header()->setStretchLastSection(false);
    // The date, the size and the id are read whole; a long computer name gives way, its cell's
    // tooltip holding it all.
    m_table->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    m_table->header()->setMinimumSectionSize(40);
    layout->addWidget(m_table);

    auto *actions = new QHBoxLayout;
    m_actions = actions;
    m_find = new QPushButton(tr("Find and Restore Files…"), frame);
    m_find->setObjectName(QStringLiteral("findButton"));
    m_find->setDefault(true);
    m_restore = new QPushButton(tr("Restore Everything…"), frame);
    m_restore->setObjectName(QStringLiteral("restoreButton"));
    m_refresh = new QPushButton(tr("Refresh"), frame);
    m_refresh->setObjectName(QStringLiteral("refreshButton"));
    actions->addWidget(m_find);
    actions->addWidget(m_restore);
    actions->addStretch(1);
    actions->addWidget(m_refresh);
    layout->addLayout(actions);

    connect(m_find, &QPushButton::clicked, m_model, &DestinationDetailModel::findAndRestore);
    connect(m_restore, &QPushButton::clicked, m_model, &DestinationDetailModel::restoreEverything);
    connect(m_refresh, &QPushButton::clicked, m_model, qOverload<>(&DestinationDetailModel::loadSnapshots));
    connect(m_table, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (m_filling)
            return;
        const QList<QTreeWidgetItem *> items = m_table->selectedItems();
        m_model->setSnapshotSelection(
            items.isEmpty() ? std::nullopt : std::optional<QString>(items.first()->data(0, idRole).toString()));
    });
    connect(m_table, &QTreeWidget::itemDoubleClicked, this,
        [this](QTreeWidgetItem *item) { m_model->openRow(item->data(0, idRole).toString()); });
    connect(m_table, &QWidget::customContextMenuRequested, this, &SnapshotsSection::showContextMenu);
    connect(this, &DetailSection::expandedChanged, m_model, &DestinationDetailModel::setSnapshotsExpanded);
    connect(m_model, &DestinationDetailModel::changed, this, &SnapshotsSection::refresh);
    refresh();
}

void SnapshotsSection::fitActions(int paneWidth)
{
    // The pane's and the frame's margins on both sides, and room between the buttons.
    int row = 4 * body()->contentsMargins().left() + 3 * qMax(0, m_actions->spacing()) + 16;
    for (const QPushButton *button : { m_find, m_restore, m_refresh })
        row += button->sizeHint().width();
    const auto direction = paneWidth < row ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight;
    if (m_actions->direction() != direction) {
        m_actions->setDirection(direction);
        for (QPushButton *button : { m_find, m_restore, m_refresh })
            m_actions->setAlignment(button, direction == QBoxLayout::TopToBottom ? Qt::AlignLeft : Qt::Alignment());
    }
}

void SnapshotsSection::fillTable()
{
    const QList<Snapshot> &snapshots = m_model->snapshots();
    // One pass over the history for the whole list: it is read again at every poll.
    const QSet<QString> incomplete = m_model->incompleteSnapshots();
    if (snapshots != m_shown || incomplete != m_shownIncomplete) {
        m_shown = snapshots;
        m_shownIncomplete = incomplete;
        m_filling = true;
        m_table->clear();
        const QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        for (const Snapshot &snapshot : snapshots) {
            auto *item = new QTreeWidgetItem(m_table);
            item->setData(0, idRole, snapshot.id);
            item->setText(0, Format::dateTime(snapshot.time));
            item->setToolTip(0, item->text(0));
            if (incomplete.contains(snapshot.id)) {
                const QColor warning = StatusStyle::color(StatusTone::warning, palette());
                item->setIcon(0, StatusStyle::symbolIcon(QStringLiteral("exclamationmark.triangle.fill"), warning, 16));
                item->setData(0, Qt::AccessibleTextRole, tr("%1, incomplete").arg(item->text(0)));
                item->setToolTip(0, tr("Saved by an incomplete backup: some items are not in this snapshot."));
                item->setForeground(0, warning);
            }
            // Any computer sharing the repository names itself: a line break or markup in the
            // name is shown as written.
            item->setText(1, TextRules::visible(snapshot.hostname));
            item->setToolTip(1, plainAutoText(item->text(1)));
            item->setText(2, Format::bytes(snapshot.sizeBytes));
            item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
            item->setText(3, snapshot.shortID);
            item->setFont(3, mono);
            item->setForeground(3, StatusStyle::color(StatusTone::secondary, palette()));
        }
        m_filling = false;
        m_table->setFixedHeight(std::max(
            DestinationDetailModel::minimumTableHeight, DestinationDetailModel::idealTableHeight(snapshots.size())));
    }
    // The selection follows the model's, which survives a reload while its row comes back.
    m_filling = true;
    const std::optional<Snapshot> selected = m_model->selectedSnapshot();
    for (int row = 0; row < m_table->topLevelItemCount(); ++row) {
        QTreeWidgetItem *item = m_table->topLevelItem(row);
        item->setSelected(selected && item->data(0, idRole).toString() == selected->id);
    }
    m_filling = false;
}

void SnapshotsSection::refresh()
{
    const DestinationDetailModel &model = *m_model;
    setExpanded(model.snapshotsExpanded());
    const bool loading = model.loadingSnapshots();
    const bool failed = !loading && model.snapshotError().has_value();
    m_count->setVisible(!loading && !failed);
    m_count->setText(Format::count(model.snapshots().size()));

    m_loading->setVisible(loading);
    m_error->setVisible(failed);
    if (failed)
        m_error->setStatus(StatusTone::failure, QStringLiteral("xmark.circle.fill"), *model.snapshotError());
    const bool table = !loading && !failed && !model.snapshots().isEmpty();
    m_table->setVisible(table);
    m_empty->setVisible(!loading && !failed && model.snapshots().isEmpty());
    fillTable();

    m_find->setEnabled(!model.snapshots().isEmpty());
    m_restore->setEnabled(model.selectedSnapshot().has_value());
    m_refresh->setEnabled(!loading);
}

QMenu *SnapshotsSection::contextMenu(const QString &id)
{
    const std::optional<Snapshot> snapshot = m_model->snapshot(id);
    if (!snapshot)
        return nullptr;
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("snapshotMenu"));
    QPointer<DestinationDetailModel> model(m_model);
    const Snapshot chosen = *snapshot;
    menu->addAction(tr("Find and Restore Files…"), this, [model, chosen] {
        if (model)
            model->setBrowseTarget(chosen);
    });
    menu->addAction(tr("Restore Everything…"), this, [model, chosen] {
        if (model)
            model->setRestoreTarget(chosen);
    });
    menu->addSeparator();
    menu->addAction(tr("Copy Snapshot ID"), this, [id = chosen.id] { copySnapshotID(id); });
    return menu;
}

void SnapshotsSection::showContextMenu(const QPoint &position)
{
    QTreeWidgetItem *item = m_table->itemAt(position);
    if (!item)
        return;
    QMenu *menu = contextMenu(item->data(0, idRole).toString());
    if (!menu)
        return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(m_table->viewport()->mapToGlobal(position));
}

void SnapshotsSection::copySnapshotID(const QString &id)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(id);
}

} // namespace vellmir
