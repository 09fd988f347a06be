#include "detail/DestinationDetail.h"

#include "detail/BackupSection.h"
#include "detail/ConnectionStatusRow.h"
#include "detail/DestinationDetailModel.h"
#include "detail/SnapshotsSection.h"
#include "kit/DetailSection.h"
#include "kit/DisclosureButton.h"
#include "kit/Format.h"
#include "kit/MessageLabel.h"
#include "kit/PathLabel.h"
#include "kit/PlainText.h"
#include "kit/StatusStyle.h"
#include "operations/BackupRunner.h"
#include "operations/RestoreRunner.h"
#include "protection/InfoLabel.h"
#include "protection/ProtectionDetails.h"
#include "restore/RestoreSheet.h"
#include "restore/RestoreSheetModel.h"
#include "restore/SnapshotBrowserModel.h"
#include "restore/SnapshotBrowserSheet.h"
#include "util/TextRules.h"

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace vellmir {

namespace {

void collectFocusable(const QLayout &layout, QList<QWidget *> &found)
{
    for (int index = 0; index < layout.count(); ++index) {
        QLayoutItem *item = layout.itemAt(index);
        if (QWidget *widget = item->widget()) {
            if (widget->focusPolicy() & Qt::TabFocus)
                found.append(widget);
            if (widget->layout())
                collectFocusable(*widget->layout(), found);
        } else if (item->layout()) {
            collectFocusable(*item->layout(), found);
        }
    }
}

// Qt chains focus in the order widgets are made, and the pane fills some in later (the
// protection panel, the history entries): Tab follows the layout, as the pane is drawn.
void followLayoutWithTab(const QWidget *root)
{
    QList<QWidget *> chain;
    if (root && root->layout())
        collectFocusable(*root->layout(), chain);
    for (qsizetype index = 1; index < chain.size(); ++index)
        QWidget::setTabOrder(chain.at(index - 1), chain.at(index));
}

// The pane's scroll area, which keeps an action's result in view. A running action disables
// its buttons, and Qt hands the focus of a disabled button on as Tab would; a plain scroll
// area then scrolls to the widget that got it, far from the action. Here the focus rests on
// the scroll area instead (where the keys still scroll the pane), and the pane stays where it
// was, scrolling only as far as a result that appears below the visible part needs.
class PaneScrollArea : public QScrollArea {
public:
    using QScrollArea::QScrollArea;

    std::function<void(int width)> onResize;

    void keepInView(QWidget *result)
    {
        m_results.append(result);
        result->installEventFilter(this);
    }

protected:
    // QScrollArea filters the pane's form too, which shows with the pane: only the results
    // move the pane, else every pane would open scrolled down to the end of its form.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()
            && m_results.contains(static_cast<QWidget *>(watched))) {
            QMetaObject::invokeMethod(
                this,
                [this, result = QPointer<QWidget>(static_cast<QWidget *>(watched))] {
                    if (!result || !result->isVisible())
                        return;
                    // The pane's layout and then the scroll range make room for it first.
                    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
                    ensureWidgetVisible(result, 0, 12);
                },
                Qt::QueuedConnection);
        }
        return QScrollArea::eventFilter(watched, event);
    }

    void resizeEvent(QResizeEvent *event) override
    {
        QScrollArea::resizeEvent(event);
        if (onResize)
            onResize(viewport()->width());
    }

    bool focusNextPrevChild(bool next) override
    {
        const QWidget *focused = window()->focusWidget();
        if (focused && !focused->isEnabled() && isAncestorOf(focused)) {
            setFocus(Qt::OtherFocusReason);
            return true;
        }
        return QScrollArea::focusNextPrevChild(next);
    }

private:
    QList<QPointer<QWidget>> m_results; // a replaced panel's message is gone, never matched
};

void selectable(QLabel *label)
{
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

// A title that opens and closes the widget below it.
QWidget *disclosure(const QString &title, QWidget *parent, bool open, std::function<void(bool)> onToggle,
    QVBoxLayout **content, const char *name)
{
    auto *group = new QWidget(parent);
    group->setObjectName(QLatin1StringView(name));
    auto *layout = new QVBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto *toggle = new DisclosureButton(title, open, group);
    toggle->setObjectName(QStringLiteral("disclosureTitle"));
    layout->addWidget(toggle, 0, Qt::AlignLeft);
    auto *body = new QWidget(group);
    body->setObjectName(QStringLiteral("disclosureBody"));
    *content = new QVBoxLayout(body);
    (*content)->setContentsMargins(18, 0, 0, 0);
    body->setVisible(open);
    layout->addWidget(body);
    QObject::connect(toggle, &QToolButton::toggled, group, [body, onToggle](bool on) {
        body->setVisible(on);
        if (onToggle)
            onToggle(on);
    });
    return group;
}

BackupRunState stateOf(const BackupRunner &runner)
{
    BackupRunState state;
    state.phase = runner.phase();
    state.percent = runner.percent();
    state.filesDone = runner.filesDone();
    state.totalFiles = runner.totalFiles();
    state.bytesDone = runner.bytesDone();
    state.totalBytes = runner.totalBytes();
    state.currentFile = runner.currentFile();
    state.issues = runner.issues();
    state.skippedProtected = runner.skippedProtected();
    state.summary = runner.summary();
    state.failureMessage = runner.failureMessage();
    state.pruneMessage = runner.pruneMessage();
    return state;
}

} // namespace

DestinationDetail::DestinationDetail(const Destination &destination, std::function<void()> onEdit,
    std::function<void()> onDeleted, DestinationStore *store, QUndoStack *undoStack, QWidget *parent)
    : DestinationDetail(
        new DestinationDetailModel(destination, DestinationDetailModel::standardServices(store, undoStack),
            std::move(onEdit), std::move(onDeleted)),
        RestoreServices::standard(), parent)
{
}

DestinationDetail::DestinationDetail(DestinationDetailModel *model, RestoreServices restoreServices, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_restoreServices(std::move(restoreServices))
{
    m_model->setParent(this);
    build();

    connect(m_model, &DestinationDetailModel::destinationChanged, this, &DestinationDetail::renderDestination);
    connect(m_model, &DestinationDetailModel::changed, this, &DestinationDetail::refresh);
    connect(m_model, &DestinationDetailModel::busyChanged, this, &DestinationDetail::refresh);
    connect(m_model, &DestinationDetailModel::busyChanged, this, &DestinationDetail::publish);
    connect(m_model, &DestinationDetailModel::pendingRetentionRemovalsChanged, this,
        &DestinationDetail::showRetentionConfirmation);
    connect(
        m_model, &DestinationDetailModel::confirmingDeleteChanged, this, &DestinationDetail::showRemovalConfirmation);
    connect(m_model, &DestinationDetailModel::browseTargetChanged, this, &DestinationDetail::showSheets);
    connect(m_model, &DestinationDetailModel::restoreTargetChanged, this, &DestinationDetail::showSheets);

    BackupRunner *runner = &m_model->runner();
    for (auto signal : { &BackupRunner::phaseChanged, &BackupRunner::percentChanged, &BackupRunner::filesDoneChanged,
             &BackupRunner::totalFilesChanged, &BackupRunner::bytesDoneChanged, &BackupRunner::totalBytesChanged,
             &BackupRunner::currentFileChanged, &BackupRunner::issuesChanged, &BackupRunner::skippedProtectedChanged,
             &BackupRunner::summaryChanged, &BackupRunner::failureMessageChanged, &BackupRunner::pruneMessageChanged })
        connect(runner, signal, this, &DestinationDetail::renderBackup);
    connect(m_backup, &BackupSection::backUpRequested, m_model, &DestinationDetailModel::backUpNow);
    connect(m_backup, &BackupSection::cancelRequested, m_model, &DestinationDetailModel::cancelBackup);

    renderDestination();
    refresh();
}

DestinationDetail::~DestinationDetail() = default;

void DestinationDetail::build()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    m_toolbar = new QToolBar(this);
    m_toolbar->setObjectName(QStringLiteral("toolbar"));
    m_toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    QAction *edit = m_toolbar->addAction(
        QIcon::fromTheme(QStringLiteral("document-edit"), style()->standardIcon(QStyle::SP_FileDialogDetailedView)),
        tr("Edit Destination"));
    edit->setObjectName(QStringLiteral("editAction"));
    // The window has no destination editor: the tip says where a change is made instead.
    edit->setEnabled(false);
    edit->setToolTip(tr("Change this destination with vellmir update-destination"));
    QAction *remove = m_toolbar->addAction(
        QIcon::fromTheme(QStringLiteral("user-trash"), style()->standardIcon(QStyle::SP_TrashIcon)),
        tr("Remove Destination"));
    remove->setObjectName(QStringLiteral("removeAction"));
    remove->setToolTip(tr("Remove Destination"));
    connect(remove, &QAction::triggered, m_model, [this] { m_model->setConfirmingDelete(true); });
    outer->addWidget(m_toolbar);

    auto *scroll = new PaneScrollArea(this);
    scroll->setObjectName(QStringLiteral("scroll"));
    scroll->setAccessibleName(tr("Destination details"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *content = new QWidget(scroll);
    content->setObjectName(QStringLiteral("content"));
    auto *layout = new QVBoxLayout(content);
    layout->setSpacing(14);

    layout->addWidget(buildDestinationSection());
    m_backup = new BackupSection(content);
    layout->addWidget(m_backup);
    m_snapshots = new SnapshotsSection(m_model, content);
    layout->addWidget(m_snapshots);

    // The protection details panel is made by its own code and handed in by the shell.
    m_protectionSlot = new QWidget(content);
    m_protectionSlot->setObjectName(QStringLiteral("protectionSlot"));
    m_protectionLayout = new QVBoxLayout(m_protectionSlot);
    m_protectionLayout->setContentsMargins(0, 0, 0, 0);
    m_protectionSlot->setVisible(false);
    layout->addWidget(m_protectionSlot);

    m_operationError = new MessageLabel(content);
    m_operationError->setObjectName(QStringLiteral("operationError"));
    layout->addWidget(m_operationError);

    layout->addWidget(buildHistorySection());
    layout->addWidget(buildConnectionSection());
    layout->addWidget(buildRetentionSection());
    layout->addStretch(1);
    scroll->setWidget(content);
    scroll->keepInView(m_status);
    scroll->keepInView(m_retentionMessage);
    scroll->onResize = [this](int width) { m_snapshots->fitActions(width); };
    outer->addWidget(scroll, 1);
}

QWidget *DestinationDetail::buildDestinationSection()
{
    auto *section = new DetailSection(tr("Destination"), false, this);
    section->setObjectName(QStringLiteral("destinationSection"));
    QWidget *frame = section->body()->parentWidget();
    auto *form = new QFormLayout;
    // A narrow pane puts a value under its label rather than beside it.
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    // Cut at its end rather than widen the pane; whole in its tip.
    m_name = new PathLabel(frame);
    m_name->setObjectName(QStringLiteral("nameValue"));
    m_name->setElideMode(Qt::ElideRight);
    form->addRow(tr("Name"), m_name);
    m_type = plainLabel(QString(), frame, "typeValue");
    form->addRow(tr("Type"), m_type);
    // A repository is a path or an address without spaces: it wraps anywhere, whole.
    m_repository = new MessageLabel(frame);
    m_repository->setObjectName(QStringLiteral("repositoryValue"));
    m_repository->setTone(StatusTone::normal);
    form->addRow(tr("Repository"), m_repository);
    m_schedule = plainLabel(QString(), frame, "scheduleValue");
    form->addRow(tr("Schedule"), m_schedule);
    m_lastBackup = plainLabel(QString(), frame, "lastBackupValue");
    form->addRow(tr("Last complete backup"), m_lastBackup);
    section->body()->addLayout(form);
    return section;
}

QWidget *DestinationDetail::buildHistorySection()
{
    m_history = new DetailSection(tr("Backup history"), true, this);
    m_history->setObjectName(QStringLiteral("historySection"));
    m_history->setExpanded(m_model->historyExpanded());
    m_historyCount = new QLabel(m_history);
    m_historyCount->setObjectName(QStringLiteral("historyCount"));
    StatusStyle::applyTone(*m_historyCount, StatusTone::secondary);
    m_history->header()->addWidget(m_historyCount);
    m_history->header()->addStretch(1);
    QWidget *frame = m_history->body()->parentWidget();
    m_noHistory = plainLabel(tr("No recorded runs. Existing snapshots remain available below."), frame, "noHistory");
    StatusStyle::applyTone(*m_noHistory, StatusTone::secondary);
    m_history->body()->addWidget(m_noHistory);
    m_historyList = new QWidget(frame);
    m_historyList->setObjectName(QStringLiteral("historyList"));
    m_historyLayout = new QVBoxLayout(m_historyList);
    m_historyLayout->setContentsMargins(0, 0, 0, 0);
    m_history->body()->addWidget(m_historyList);
    connect(m_history, &DetailSection::expandedChanged, m_model, &DestinationDetailModel::setHistoryExpanded);
    return m_history;
}

QWidget *DestinationDetail::buildConnectionSection()
{
    auto *section = new DetailSection(tr("Connection"), false, this);
    section->setObjectName(QStringLiteral("connectionSection"));
    QWidget *frame = section->body()->parentWidget();
    auto *row = new QHBoxLayout;
    m_test = new QPushButton(tr("Test Connection"), frame);
    m_test->setObjectName(QStringLiteral("testButton"));
    m_testing = StatusStyle::spinner(frame, "testingProgress");
    row->addWidget(m_test);
    row->addWidget(m_testing);
    row->addStretch(1);
    section->body()->addLayout(row);
    m_status = new ConnectionStatusRow(ConnectionStatus::ok(0), frame);
    m_status->setObjectName(QStringLiteral("connectionStatus"));
    section->body()->addWidget(m_status);
    connect(m_test, &QPushButton::clicked, m_model, &DestinationDetailModel::test);
    return section;
}

QWidget *DestinationDetail::buildRetentionSection()
{
    auto *section = new DetailSection(tr("Retention"), false, this);
    section->setObjectName(QStringLiteral("retentionSection"));
    QWidget *frame = section->body()->parentWidget();
    auto *form = new QFormLayout;
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    m_policy = plainLabel(QString(), frame, "policyValue");
    form->addRow(tr("Policy"), m_policy);
    auto *info = new InfoLabel(tr("Remove expired snapshots after each backup"),
        tr("After each backup, restic forgets snapshots that none of the keep rules cover, per computer. The space "
           "they used is freed by a prune, which runs at most weekly because it is slow and reads stored data."),
        frame);
    m_prune = plainLabel(QString(), frame, "pruneValue");
    form->addRow(info, m_prune);
    section->body()->addLayout(form);
    auto *row = new QHBoxLayout;
    m_applyRetention = new QPushButton(tr("Apply Retention Now…"), frame);
    m_applyRetention->setObjectName(QStringLiteral("applyRetentionButton"));
    m_applying = StatusStyle::spinner(frame, "retentionProgress");
    row->addWidget(m_applyRetention);
    row->addWidget(m_applying);
    row->addStretch(1);
    section->body()->addLayout(row);
    m_retentionMessage = plainLabel(QString(), frame, "retentionMessage");
    m_retentionMessage->setFont(StatusStyle::captionFont(font()));
    StatusStyle::applyTone(*m_retentionMessage, StatusTone::secondary);
    section->body()->addWidget(m_retentionMessage);
    connect(m_applyRetention, &QPushButton::clicked, m_model, &DestinationDetailModel::previewRetention);
    return section;
}

void DestinationDetail::setProtectionPanel(QWidget *panel)
{
    if (m_protectionPanel)
        m_protectionPanel->deleteLater();
    m_protectionPanel = panel;
    if (panel)
        m_protectionLayout->addWidget(panel);
    // The panel's actions (a test restore, a check) report in its message line.
    if (QWidget *message = panel ? panel->findChild<QWidget *>(QStringLiteral("message")) : nullptr)
        static_cast<PaneScrollArea *>(findChild<QScrollArea *>(QStringLiteral("scroll"), Qt::FindDirectChildrenOnly))
            ->keepInView(message);
    m_protectionSlot->setVisible(panel != nullptr);
    followLayoutWithTab(m_protectionSlot->parentWidget());
}

DestinationActions DestinationDetail::actions() const
{
    return m_model->actions();
}

void DestinationDetail::setDestination(const Destination &destination)
{
    m_model->setDestination(destination);
}

void DestinationDetail::renderDestination()
{
    const Destination &destination = m_model->destination();
    // Both may come from a hand-edited file: what would break, hide or reorder them is written out.
    const QString name = TextRules::visible(destination.name);
    setWindowTitle(name);
    m_name->setPath(destination.name);
    m_type->setText(displayName(destination.kind));
    m_repository->setText(TextRules::visible(destination.repository));
    m_schedule->setText(displayName(destination.schedule));
    m_policy->setText(destination.retention.summary());
    m_prune->setText(destination.pruneAfterBackup ? tr("On") : tr("Off"));
    if (auto *protection = qobject_cast<ProtectionDetails *>(m_protectionPanel))
        protection->setDestination(destination);
    renderBackup();
    publish();
}

void DestinationDetail::publish()
{
    Q_EMIT actionsChanged(actions());
}

void DestinationDetail::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_model->isPolling()) {
        m_model->start();
        publish();
    }
}

void DestinationDetail::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_model->stop();
}

void DestinationDetail::renderBackup()
{
    m_backup->render(m_model->destination(), stateOf(m_model->runner()), m_model->fullDiskAccessWanted(),
        m_model->fullDiskAccessGranted());
}

void DestinationDetail::refresh()
{
    const DestinationDetailModel &model = *m_model;
    m_lastBackup->setText(model.lastCompleteBackupText());

    m_operationError->setVisible(model.operationError().has_value());
    m_operationError->setText(model.operationError().value_or(QString()));

    renderHistory();

    m_test->setEnabled(!model.testing());
    m_testing->setVisible(model.testing());
    m_status->setVisible(model.status().has_value());
    if (model.status())
        m_status->setStatus(*model.status());

    const std::optional<BackupRecord> &elsewhere = model.runElsewhere();
    m_backup->setRunElsewhere(elsewhere ? std::optional(elsewhere->startedAt) : std::nullopt);

    m_applyRetention->setEnabled(!model.applyingRetention() && !model.runner().isBusy());
    m_applying->setVisible(model.applyingRetention());
    m_retentionMessage->setVisible(model.retentionMessage().has_value());
    m_retentionMessage->setText(model.retentionMessage().value_or(QString()));
}

void DestinationDetail::renderHistory()
{
    const QList<BackupRecord> &records = m_model->records();
    m_historyCount->setText(Format::count(m_model->recordCount()));
    m_noHistory->setVisible(records.isEmpty());
    const QList<BackupRecord> listed = records.mid(0, DestinationDetailModel::historyLimit);
    const QString scope = m_model->destination().backupScope();
    if (listed == m_shownRecords && scope == m_shownScope)
        return;
    m_shownRecords = listed;
    m_shownScope = scope;
    while (QLayoutItem *item = m_historyLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const BackupRecord &record : listed) {
        QVBoxLayout *content = nullptr;
        const QUuid id = record.id;
        QWidget *group = disclosure(
            DestinationDetailModel::historyTitle(record), m_historyList, m_openRecords.contains(id),
            [this, id](bool open) {
                if (open)
                    m_openRecords.insert(id);
                else
                    m_openRecords.remove(id);
            },
            &content, "historyEntry");
        QWidget *body = content->parentWidget();
        content->addWidget(plainLabel(DestinationDetailModel::resultNote(record), body, "resultNote"));
        if (m_model->usedOtherSettings(record)) {
            QLabel *note = plainLabel(tr("This run used different or legacy backup settings."), body, "otherSettings");
            StatusStyle::applyTone(*note, StatusTone::secondary);
            content->addWidget(note);
        }
        for (const QString &issue : record.issues) {
            // Whole: restic gives its reason after the path, and a copy goes into a search.
            auto *line = new MessageLabel(issue, body);
            line->setObjectName(QStringLiteral("issueLine"));
            line->setTone(StatusTone::normal);
            content->addWidget(line);
        }
        if (record.skippedProtected && !record.skippedProtected->isEmpty()) {
            QVBoxLayout *paths = nullptr;
            QWidget *nested = disclosure(DestinationDetailModel::protectedTitle(record.skippedProtected->size()), body,
                false, {}, &paths, "protectedGroup");
            StatusStyle::applyTone(*nested, StatusTone::secondary);
            for (const QString &path : *record.skippedProtected) {
                auto *line = new PathLabel(path, nested);
                line->setObjectName(QStringLiteral("protectedPath"));
                line->setFont(StatusStyle::captionFont(font()));
                StatusStyle::applyTone(*line, StatusTone::secondary);
                selectable(line);
                paths->addWidget(line);
            }
            content->addWidget(nested);
        }
        if (record.maintenance)
            content->addWidget(plainLabel(*record.maintenance, body, "maintenanceLine"));
        m_historyLayout->addWidget(group);
    }
    followLayoutWithTab(m_protectionSlot->parentWidget());
}

void DestinationDetail::showRetentionConfirmation()
{
    if (!m_model->pendingRetentionRemovals() || m_retentionConfirmation)
        return;
    const QString title = m_model->retentionDialogTitle();
    auto *box = new QMessageBox(QMessageBox::Warning, title, title, QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("retentionConfirmation"));
    box->setWindowModality(Qt::WindowModal);
    box->setInformativeText(plainAutoText(m_model->retentionDialogMessage()));
    QPushButton *remove = box->addButton(title, QMessageBox::DestructiveRole);
    remove->setObjectName(QStringLiteral("confirmRetention"));
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_retentionConfirmation = box;
    connect(box, &QMessageBox::finished, this, [this, box, remove] {
        const bool confirmed = box->clickedButton() == remove;
        m_retentionConfirmation = nullptr;
        if (confirmed)
            m_model->applyRetentionNow();
        else
            m_model->clearPendingRetention();
    });
    box->open();
}

void DestinationDetail::showRemovalConfirmation()
{
    if (!m_model->confirmingDelete() || m_removalConfirmation)
        return;
    auto *box
        = new QMessageBox(QMessageBox::Warning, m_model->removalDialogTitle(), QString(), QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("removalConfirmation"));
    // A label breaks its lines only between words, so a name longer than the box allows would be
    // cut off at its edge, closing quote and all: it is cut in its middle instead.
    const QFontMetrics metrics(box->font());
    const int room = qMax(metrics.averageCharWidth() * 24, window()->width() / 2);
    box->setText(m_model->removalDialogTitle(
        [&metrics, room](const QString &name) { return metrics.elidedText(name, Qt::ElideMiddle, room); }));
    // The title carries the destination's name, which is the user's text, not markup.
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::WindowModal);
    box->setInformativeText(tr("This removes the destination and its stored credentials from this computer. Backups "
                               "already in the repository are not deleted. Edit > Undo puts it back."));
    QPushButton *remove = box->addButton(tr("Remove Destination"), QMessageBox::DestructiveRole);
    remove->setObjectName(QStringLiteral("confirmRemoval"));
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_removalConfirmation = box;
    connect(box, &QMessageBox::finished, this, [this, box, remove] {
        const bool confirmed = box->clickedButton() == remove;
        m_removalConfirmation = nullptr;
        m_model->setConfirmingDelete(false);
        if (confirmed)
            m_model->removeDestination();
    });
    box->open();
}

void DestinationDetail::followFailures(RestoreRunner *runner)
{
    connect(runner, &RestoreRunner::failureMessageChanged, m_model,
        [model = m_model, runner] { model->snapshotMayBeGone(runner->failureMessage().value_or(QString())); });
}

void DestinationDetail::showSheets()
{
    if (m_sheet)
        return;
    QDialog *sheet = nullptr;
    if (const std::optional<Snapshot> &target = m_model->restoreTarget()) {
        auto *restore = new RestoreSheet(*target, m_model->destination(), std::nullopt, m_restoreServices, this);
        restore->setIncomplete(m_model->snapshotIncomplete(target->id));
        followFailures(restore->model()->runner());
        sheet = restore;
        connect(sheet, &QDialog::finished, m_model, [model = m_model] { model->setRestoreTarget(std::nullopt); });
    } else if (const std::optional<Snapshot> &chosen = m_model->browseTarget()) {
        auto *browser
            = new SnapshotBrowserSheet(m_model->destination(), m_model->snapshots(), *chosen, m_restoreServices, this);
        // A snapshot that restic cannot find any more was removed since the list was read.
        connect(browser->model(), &SnapshotBrowserModel::errorMessageChanged, m_model,
            [model = m_model, browsing = browser->model()] {
                model->snapshotMayBeGone(browsing->errorMessage().value_or(QString()));
            });
        followFailures(browser->model()->runner());
        sheet = browser;
        connect(sheet, &QDialog::finished, m_model, [model = m_model] { model->setBrowseTarget(std::nullopt); });
    }
    if (!sheet)
        return;
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    m_sheet = sheet;
    connect(sheet, &QDialog::finished, this, [this] {
        m_sheet = nullptr;
        // A target set while this sheet was up gets its sheet now.
        QMetaObject::invokeMethod(this, &DestinationDetail::showSheets, Qt::QueuedConnection);
    });
    sheet->open();
}

} // namespace vellmir
