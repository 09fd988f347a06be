#include "restore/SnapshotBrowserSheet.h"

#include "kit/Format.h"
#include "kit/PathLabel.h"
#include "kit/PlainText.h"
#include "kit/StatusLabel.h"
#include "restore/RestoreKit.h"
#include "util/TextRules.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace vellmir {

using Phase = RestoreRunner::Phase;

namespace {

constexpr int pathRole = Qt::UserRole;

// A caption in the secondary style, or the tertiary one.
QLabel *captionLabel(const QString &text, bool tertiary, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    if (tertiary)
        restorekit::setTertiary(label);
    else
        StatusStyle::applyTone(*label, StatusTone::secondary);
    restorekit::setCaption(label);
    return label;
}

QHBoxLayout *row(QBoxLayout *parent, int spacing = -1)
{
    auto *layout = new QHBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    if (spacing >= 0)
        layout->setSpacing(spacing);
    parent->addLayout(layout);
    return layout;
}

QWidget *page(QStackedWidget *stack, const char *name)
{
    auto *widget = new QWidget(stack);
    widget->setObjectName(QLatin1String(name));
    stack->addWidget(widget);
    return widget;
}

// A one-row page, kept at the top when a taller page sets the stack's height.
QHBoxLayout *rowPage(QStackedWidget *stack, const char *name)
{
    auto *column = new QVBoxLayout(page(stack, name));
    column->setContentsMargins(0, 0, 0, 0);
    auto *layout = new QHBoxLayout;
    column->addLayout(layout);
    column->addStretch();
    return layout;
}

} // namespace

SnapshotBrowserSheet::SnapshotBrowserSheet(const Destination &destination, const QList<Snapshot> &snapshots,
    const Snapshot &chosen, const RestoreServices &services, QWidget *parent)
    : QDialog(parent)
    , m_model(new SnapshotBrowserModel(destination, snapshots, chosen, services, this))
{
    setObjectName(QStringLiteral("snapshotBrowserSheet"));
    setWindowTitle(QStringLiteral("Find and Restore Files"));
    setWindowModality(Qt::WindowModal);
    setMinimumSize(740, 560);
    m_model->setFolderChooser(restorekit::folderDialog(this, [model = m_model] { return model->targetPath(); }));
    m_model->setFolderOpener(restorekit::fileManagerOpener(this));

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(12);
    buildNavigation(layout, snapshots);
    buildListing(layout);
    buildRestoreBar(layout);
    auto *buttons = new QDialogButtonBox(this);
    m_close = buttons->addButton(QStringLiteral("Close"), QDialogButtonBox::RejectRole);
    m_close->setObjectName(QStringLiteral("closeButton"));
    m_close->setAutoDefault(false);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &SnapshotBrowserSheet::reject);
    connectControls();

    rebuildCrumbs();
    rebuildEntries();
    refresh();
}

// The version picker, the path bar and the search field.
void SnapshotBrowserSheet::buildNavigation(QVBoxLayout *layout, const QList<Snapshot> &snapshots)
{
    auto *pickerRow = row(layout);
    pickerRow->addWidget(new QLabel(QStringLiteral("Backup version"), this));
    m_picker = new QComboBox(this);
    m_picker->setObjectName(QStringLiteral("versionPicker"));
    for (const Snapshot &snapshot : snapshots)
        m_picker->addItem(SnapshotBrowserModel::snapshotLabel(snapshot), snapshot.id);
    pickerRow->addWidget(m_picker, 1);

    // The path bar.
    auto *pathRow = row(layout, 6);
    m_up = new QToolButton(this);
    m_up->setObjectName(QStringLiteral("upButton"));
    m_up->setAutoRaise(true);
    m_up->setIcon(restorekit::icon(QStringLiteral("arrow.up")));
    m_up->setToolTip(QStringLiteral("Go to parent folder (Ctrl+Up)"));
    m_up->setAccessibleName(QStringLiteral("Go to parent folder"));
    m_up->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Up));
    pathRow->addWidget(m_up);
    auto *crumbArea = new QScrollArea(this);
    crumbArea->setObjectName(QStringLiteral("pathBar"));
    // Its folder buttons take the focus; the strip itself, which never scrolls by key, does not.
    crumbArea->setFocusPolicy(Qt::NoFocus);
    crumbArea->setFrameShape(QFrame::NoFrame);
    crumbArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    crumbArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    crumbArea->setWidgetResizable(true);
    auto *crumbs = new QWidget(crumbArea);
    m_crumbs = new QHBoxLayout(crumbs);
    m_crumbs->setContentsMargins(0, 0, 0, 0);
    m_crumbs->setSpacing(4);
    crumbArea->setWidget(crumbs);
    crumbArea->setFixedHeight(m_up->sizeHint().height());
    m_crumbArea = crumbArea;
    crumbArea->viewport()->installEventFilter(this);
    pathRow->addWidget(crumbArea, 1);
    m_root = new QToolButton(this);
    m_root->setObjectName(QStringLiteral("rootButton"));
    m_root->setText(QStringLiteral("Root"));
    m_root->setAutoRaise(true);
    restorekit::setCaption(m_root);
    pathRow->addWidget(m_root);

    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("searchField"));
    m_search->setPlaceholderText(QStringLiteral("Search filenames and paths in this folder"));
    m_search->setAccessibleName(QStringLiteral("Search"));
    m_search->setClearButtonEnabled(true);
    for (QToolButton *clear : m_search->findChildren<QToolButton *>())
        clear->setAccessibleName(QStringLiteral("Clear search"));
    layout->addWidget(m_search);
}

void SnapshotBrowserSheet::buildListing(QVBoxLayout *layout)
{
    m_loading = new QWidget(this);
    m_loading->setObjectName(QStringLiteral("loadingRow"));
    auto *loadingRow = new QHBoxLayout(m_loading);
    loadingRow->setContentsMargins(0, 0, 0, 0);
    auto *spinner = new QProgressBar(m_loading);
    StatusStyle::nameProgress(*spinner, QStringLiteral("Loading"));
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(48, 10);
    loadingRow->addWidget(spinner);
    auto *reading = new QLabel(QStringLiteral("Reading snapshot\u2026"), m_loading);
    StatusStyle::applyTone(*reading, StatusTone::secondary);
    loadingRow->addWidget(reading);
    loadingRow->addStretch();
    layout->addWidget(m_loading);

    // restic's reason comes after the path it names: whole, however long the path.
    m_error = new MessageLabel(this);
    m_error->setObjectName(QStringLiteral("errorMessage"));
    layout->addWidget(m_error);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("entryList"));
    m_list->setColumnCount(2);
    m_list->setHeaderHidden(true);
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setTextElideMode(Qt::ElideMiddle);
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    layout->addWidget(m_list, 1);

    m_limitNote = captionLabel(
        QStringLiteral("Showing the first 1,000 results. Narrow the search or open a subfolder."), false, this);
    m_limitNote->setObjectName(QStringLiteral("limitNote"));
    layout->addWidget(m_limitNote);
}

// A hint without a selection, else the selected entry and its restore.
void SnapshotBrowserSheet::buildRestoreBar(QVBoxLayout *layout)
{
    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);
    m_bar = new QStackedWidget(this);
    m_bar->setObjectName(QStringLiteral("restoreBar"));
    auto *hintRow = new QHBoxLayout(page(m_bar, "barHint"));
    hintRow->setContentsMargins(0, 4, 0, 4);
    hintRow->addWidget(captionLabel(QStringLiteral("Select a file or folder above to restore it."), false, this));
    hintRow->addStretch();
    hintRow->addWidget(captionLabel(QStringLiteral("Double-click a folder or press Open to explore it."), true, this));

    auto *selectedColumn = new QVBoxLayout(page(m_bar, "barSelected"));
    selectedColumn->setContentsMargins(0, 4, 0, 0);
    selectedColumn->setSpacing(8);
    auto *first = row(selectedColumn);
    m_selectedIcon = new QLabel(this);
    first->addWidget(m_selectedIcon);
    m_selectedName = new QLabel(this);
    m_selectedName->setObjectName(QStringLiteral("selectedName"));
    m_selectedName->setTextFormat(Qt::PlainText);
    QFont headline = m_selectedName->font();
    headline.setBold(true);
    m_selectedName->setFont(headline);
    first->addWidget(m_selectedName);
    m_selectedSize = new QLabel(this);
    m_selectedSize->setObjectName(QStringLiteral("selectedSize"));
    StatusStyle::applyTone(*m_selectedSize, StatusTone::secondary);
    first->addWidget(m_selectedSize);
    first->addStretch();
    auto *targetRow = new QHBoxLayout;
    targetRow->setSpacing(4);
    targetRow->addWidget(captionLabel(QStringLiteral("Restore to:"), false, this));
    m_target = new PathLabel(this);
    m_target->setObjectName(QStringLiteral("targetPath"));
    restorekit::setCaption(m_target);
    QFont medium = m_target->font();
    medium.setWeight(QFont::Medium);
    m_target->setFont(medium);
    targetRow->addWidget(m_target, 1);
    m_choose = new QPushButton(QStringLiteral("Choose"), this);
    m_choose->setObjectName(QStringLiteral("chooseButton"));
    restorekit::setCaption(m_choose);
    targetRow->addWidget(m_choose);
    first->addLayout(targetRow, 1);
    buildPhases(selectedColumn);
    layout->addWidget(m_bar);
}

// Ready to restore, restoring, restored.
void SnapshotBrowserSheet::buildPhases(QVBoxLayout *selectedColumn)
{
    m_phase = new QStackedWidget(this);
    m_phase->setObjectName(QStringLiteral("restorePhase"));
    selectedColumn->addWidget(m_phase);
    auto *ready = rowPage(m_phase, "ready");
    m_readyHint = captionLabel(
        QStringLiteral("Vellmir creates a fresh folder and verifies contents without overwriting."), false, this);
    m_readyHint->setObjectName(QStringLiteral("readyHint"));
    ready->addWidget(m_readyHint);
    m_failure = new StatusLabel(this);
    m_failure->setObjectName(QStringLiteral("failureLabel"));
    restorekit::setCaption(m_failure);
    m_failure->setSelectable(true);
    // restic may name many items it could not restore: they scroll rather than grow the sheet.
    m_failure->textLabel()->setMaxLines(12);
    ready->addWidget(m_failure, 1);
    ready->addStretch();
    m_restore = new QPushButton(this);
    m_restore->setObjectName(QStringLiteral("restoreButton"));
    m_restore->setDefault(true);
    ready->addWidget(m_restore);

    auto *running = new QVBoxLayout(page(m_phase, "running"));
    running->setContentsMargins(0, 0, 0, 0);
    running->setSpacing(4);
    m_progressBar = new QProgressBar(this);
    StatusStyle::nameProgress(*m_progressBar, QStringLiteral("Restore progress"));
    m_progressBar->setRange(0, 1000);
    m_progressBar->setTextVisible(false);
    running->addWidget(m_progressBar);
    auto *counts = row(running);
    m_files = captionLabel({}, false, this);
    m_files->setObjectName(QStringLiteral("progressFiles"));
    counts->addWidget(m_files);
    counts->addStretch();
    m_bytes = captionLabel({}, false, this);
    m_bytes->setObjectName(QStringLiteral("progressBytes"));
    counts->addWidget(m_bytes);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    restorekit::setCaption(cancel);
    counts->addWidget(cancel);
    connect(cancel, &QPushButton::clicked, m_model, &SnapshotBrowserModel::cancelRestore);

    auto *finished = rowPage(m_phase, "finished");
    m_success = new StatusLabel(this);
    m_success->setObjectName(QStringLiteral("successLabel"));
    finished->addWidget(m_success, 1);
    finished->addStretch();
    m_show = new QPushButton(QStringLiteral("Show in File Manager"), this);
    m_show->setObjectName(QStringLiteral("showButton"));
    m_show->setDefault(true);
    finished->addWidget(m_show);
}

void SnapshotBrowserSheet::connectControls()
{
    // What the user does goes to the model.
    connect(m_picker, &QComboBox::activated, this,
        [this](int index) { m_model->setSnapshotID(m_picker->itemData(index).toString()); });
    connect(m_up, &QToolButton::clicked, m_model, &SnapshotBrowserModel::goUp);
    connect(m_root, &QToolButton::clicked, m_model, &SnapshotBrowserModel::goToRoot);
    connect(m_search, &QLineEdit::textChanged, m_model, &SnapshotBrowserModel::setSearch);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (m_rebuilding)
            return;
        const QList<QTreeWidgetItem *> items = m_list->selectedItems();
        m_model->select(
            items.isEmpty() ? std::nullopt : std::optional<QString>(items.constFirst()->data(0, pathRole).toString()));
    });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this,
        [this](QTreeWidgetItem *item) { m_model->activate({ item->data(0, pathRole).toString() }); });
    connect(m_choose, &QPushButton::clicked, m_model, &SnapshotBrowserModel::chooseTargetFolder);
    connect(m_restore, &QPushButton::clicked, m_model, &SnapshotBrowserModel::requestRestore);
    connect(m_show, &QPushButton::clicked, m_model, &SnapshotBrowserModel::showRestoredFiles);

    // What the model says is drawn.
    connect(m_model, &SnapshotBrowserModel::directoryChanged, this, &SnapshotBrowserSheet::rebuildCrumbs);
    connect(m_model, &SnapshotBrowserModel::entriesChanged, this, &SnapshotBrowserSheet::rebuildEntries);
    connect(m_model, &SnapshotBrowserModel::searchChanged, this, &SnapshotBrowserSheet::rebuildEntries);
    connect(m_model, &SnapshotBrowserModel::selectedChanged, this, &SnapshotBrowserSheet::showSelection);
    connect(
        m_model, &SnapshotBrowserModel::confirmingFolderRestoreChanged, this, &SnapshotBrowserSheet::showConfirmation);
    for (auto signal : { &SnapshotBrowserModel::snapshotIDChanged, &SnapshotBrowserModel::directoryChanged,
             &SnapshotBrowserModel::searchChanged, &SnapshotBrowserModel::entriesChanged,
             &SnapshotBrowserModel::loadingChanged, &SnapshotBrowserModel::errorMessageChanged,
             &SnapshotBrowserModel::selectedChanged, &SnapshotBrowserModel::targetPathChanged })
        connect(m_model, signal, this, &SnapshotBrowserSheet::refresh);
    RestoreRunner *runner = m_model->runner();
    for (auto signal : { &RestoreRunner::phaseChanged, &RestoreRunner::percentChanged,
             &RestoreRunner::filesRestoredChanged, &RestoreRunner::totalFilesChanged,
             &RestoreRunner::bytesRestoredChanged, &RestoreRunner::totalBytesChanged, &RestoreRunner::summaryChanged,
             &RestoreRunner::failureMessageChanged, &RestoreRunner::restoredPathChanged })
        connect(runner, signal, this, &SnapshotBrowserSheet::refresh);
}

void SnapshotBrowserSheet::refresh()
{
    const int pickerIndex = m_picker->findData(m_model->snapshotID());
    if (m_picker->currentIndex() != pickerIndex)
        m_picker->setCurrentIndex(pickerIndex);
    m_up->setEnabled(m_model->canGoUp());
    m_root->setVisible(m_model->showsRootButton());
    if (m_search->text() != m_model->search()) {
        const QSignalBlocker blocker(m_search);
        m_search->setText(m_model->search());
    }
    m_loading->setVisible(m_model->loading());
    m_error->setVisible(m_model->errorMessage().has_value());
    m_error->setText(m_model->errorMessage().value_or(QString()));
    m_limitNote->setVisible(m_model->showsResultLimitNote());

    const std::optional<SnapshotEntry> &selected = m_model->selected();
    m_bar->setCurrentIndex(selected ? 1 : 0);
    if (selected) {
        const int side = m_selectedName->fontMetrics().height();
        m_selectedIcon->setPixmap(
            restorekit::icon(selected->isDirectory() ? QStringLiteral("folder") : QStringLiteral("doc"))
                .pixmap(side, side));
        m_selectedName->setText(TextRules::visible(SnapshotBrowserModel::lastComponent(selected->path)));
        m_selectedName->setToolTip(plainAutoText(TextRules::visible(selected->path)));
        m_selectedSize->setVisible(!selected->isDirectory());
        m_selectedSize->setText(u'(' + Format::bytes(selected->size) + u')');
        m_restore->setText(SnapshotBrowserModel::restoreButtonTitle(*selected));
    }
    m_target->setPath(m_model->targetDisplayPath());
    m_target->setToolTip(plainAutoText(TextRules::visible(m_model->targetPath())));

    const RestoreRunner *runner = m_model->runner();
    const Phase phase = runner->phase();
    m_choose->setEnabled(phase != Phase::running);
    m_phase->setCurrentIndex(phase == Phase::running ? 1 : phase == Phase::finished ? 2 : 0);
    m_readyHint->setVisible(!runner->failureMessage());
    m_failure->setVisible(runner->failureMessage().has_value());
    m_failure->setStatus(
        StatusTone::failure, QStringLiteral("xmark.circle.fill"), runner->failureMessage().value_or(QString()));
    m_restore->setEnabled(m_model->canPressRestore());
    m_progressBar->setValue(int(std::clamp(runner->percent(), 0.0, 1.0) * 1000));
    m_files->setText(m_model->progressFilesText());
    m_bytes->setText(m_model->progressBytesText());
    m_success->setVisible(runner->summary().has_value());
    m_success->setStatus(StatusTone::success, QStringLiteral("checkmark.circle.fill"), m_model->summaryText());
    m_show->setVisible(runner->restoredPath().has_value());

    m_close->setText(m_model->closeButtonTitle());
    m_close->setEnabled(m_model->canClose());
}

void SnapshotBrowserSheet::rebuildCrumbs()
{
    while (QLayoutItem *item = m_crumbs->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    m_crumbParts.clear();
    m_crumbEllipsis = nullptr;
    for (const auto &component : m_model->pathComponents()) {
        const bool current = component.fullPath == m_model->directory();
        auto *crumb = new QToolButton;
        crumb->setObjectName(QStringLiteral("crumb:") + component.fullPath);
        crumb->setText(plainButtonText(component.name));
        crumb->setAutoRaise(true);
        StatusStyle::applyTone(*crumb, current ? StatusTone::normal : StatusTone::secondary);
        // Queued: opening a folder rebuilds the crumbs, this one included.
        connect(
            crumb, &QToolButton::clicked, m_model,
            [model = m_model, path = component.fullPath] { model->openFolder(path); }, Qt::QueuedConnection);
        m_crumbs->addWidget(crumb);
        QLabel *separator = nullptr;
        // The root's crumb is a slash already: no second one follows it.
        if (!current && component.fullPath != QLatin1String("/")) {
            separator = new QLabel(QStringLiteral("/"));
            restorekit::setTertiary(separator);
            m_crumbs->addWidget(separator);
        }
        m_crumbParts.append({ crumb, separator });
        if (m_crumbParts.size() == 1 && !current) {
            auto *ellipsis = new QLabel(QStringLiteral("\u2026 /"));
            ellipsis->setObjectName(QStringLiteral("crumbEllipsis"));
            restorekit::setTertiary(ellipsis);
            ellipsis->setVisible(false);
            m_crumbs->addWidget(ellipsis);
            m_crumbEllipsis = ellipsis;
        }
    }
    m_crumbs->addStretch();
    fitCrumbs();
}

void SnapshotBrowserSheet::fitCrumbs()
{
    // A deep folder gives way in the middle, like a long path: the first crumb and the current
    // folder's stay, and the folders between them give way from the top down.
    const int room = m_crumbArea->width();
    for (const auto &[crumb, separator] : std::as_const(m_crumbParts)) {
        crumb->setVisible(true);
        if (separator)
            separator->setVisible(true);
    }
    if (m_crumbEllipsis)
        m_crumbEllipsis->setVisible(false);
    const auto needed = [this] {
        m_crumbs->invalidate();
        return m_crumbs->sizeHint().width();
    };
    for (qsizetype index = 1; index + 1 < m_crumbParts.size() && needed() > room; ++index) {
        m_crumbEllipsis->setVisible(true);
        m_crumbParts.at(index).first->setVisible(false);
        m_crumbParts.at(index).second->setVisible(false);
    }
}

bool SnapshotBrowserSheet::eventFilter(QObject *watched, QEvent *event)
{
    // Only the path bar's viewport is watched.
    if (event->type() == QEvent::Resize)
        fitCrumbs();
    return QDialog::eventFilter(watched, event);
}

void SnapshotBrowserSheet::rebuildEntries()
{
    // Rebuilding drops the list's selection; that is the listing's doing, not the user's.
    m_rebuilding = true;
    m_list->clear();
    const QIcon folder = restorekit::icon(QStringLiteral("folder"));
    const QIcon file = restorekit::icon(QStringLiteral("doc"));
    for (const SnapshotEntry &entry : m_model->entries()) {
        auto *item = new QTreeWidgetItem(m_list);
        item->setText(0, m_model->displayName(entry));
        item->setIcon(0, entry.isDirectory() ? folder : file);
        item->setData(0, pathRole, entry.path);
        item->setToolTip(0, plainAutoText(TextRules::visible(entry.path)));
        if (entry.isDirectory()) {
            auto *open = new QToolButton;
            open->setText(QStringLiteral("Open"));
            open->setAutoRaise(true);
            open->setToolTip(QStringLiteral("Open folder (or double-click row)"));
            StatusStyle::applyTone(*open, StatusTone::secondary);
            // Queued: opening a folder clears the search, which rebuilds the rows and their buttons.
            connect(
                open, &QToolButton::clicked, m_model, [model = m_model, path = entry.path] { model->openFolder(path); },
                Qt::QueuedConnection);
            m_list->setItemWidget(item, 1, open);
        } else {
            item->setText(1, Format::bytes(entry.size));
            item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
            item->setForeground(1, m_limitNote->palette().color(QPalette::WindowText));
        }
    }
    m_rebuilding = false;
    showSelection();
}

void SnapshotBrowserSheet::showSelection()
{
    m_rebuilding = true;
    const std::optional<SnapshotEntry> &selected = m_model->selected();
    QTreeWidgetItem *target = nullptr;
    for (int i = 0; selected && i < m_list->topLevelItemCount(); ++i) {
        if (m_list->topLevelItem(i)->data(0, pathRole).toString() == selected->path) {
            target = m_list->topLevelItem(i);
            break;
        }
    }
    if (target) {
        if (!target->isSelected())
            m_list->setCurrentItem(target);
    } else {
        m_list->clearSelection();
    }
    m_rebuilding = false;
}

void SnapshotBrowserSheet::showConfirmation()
{
    const std::optional<SnapshotEntry> &folder = m_model->confirmingFolderRestore();
    if (!folder) {
        if (m_confirmation)
            m_confirmation->close();
        return;
    }
    if (m_confirmation)
        return;
    auto *box = new QMessageBox(this);
    m_confirmation = box;
    box->setObjectName(QStringLiteral("folderConfirmation"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setWindowTitle(QStringLiteral("Restore this folder?"));
    box->setText(QStringLiteral("Restore this folder?"));
    box->setInformativeText(plainAutoText(m_model->folderConfirmationMessage()));
    box->setTextFormat(Qt::PlainText);
    QPushButton *restore = box->addButton(QStringLiteral("Restore Folder"), QMessageBox::AcceptRole);
    restore->setObjectName(QStringLiteral("confirmRestoreButton"));
    QPushButton *cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("confirmCancelButton"));
    box->setDefaultButton(restore);
    box->setEscapeButton(cancel);
    // However it is dismissed, the question goes; only "Restore Folder" starts anything.
    connect(box, &QMessageBox::finished, m_model, [model = m_model, box, restore] {
        if (box->clickedButton() == restore)
            model->confirmFolderRestore();
        else
            model->dismissFolderConfirmation();
    });
    box->open();
}

void SnapshotBrowserSheet::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    m_model->start();
}

void SnapshotBrowserSheet::reject()
{
    if (m_model->canClose())
        QDialog::reject();
}

void SnapshotBrowserSheet::done(int result)
{
    if (!m_model->canClose())
        return;
    m_model->stop();
    QDialog::done(result);
}

void SnapshotBrowserSheet::closeEvent(QCloseEvent *event)
{
    if (!m_model->canClose()) {
        event->ignore();
        return;
    }
    m_model->stop();
    QDialog::closeEvent(event);
}

} // namespace vellmir
