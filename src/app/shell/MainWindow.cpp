#include "shell/MainWindow.h"

#include "detail/DestinationDetail.h"
#include "detail/DestinationHealthModel.h"
#include "detail/DestinationHealthRow.h"
#include "kit/MessageLabel.h"
#include "kit/PathLabel.h"
#include "kit/PlainText.h"
#include "kit/StatusStyle.h"
#include "operations/BackupRunner.h"
#include "shell/MainWindowModel.h"
#include "shell/VellmirApp.h"
#include "util/Error.h"
#include "util/TextRules.h"
#include "util/Uuid.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QUndoStack>
#include <QVBoxLayout>

namespace vellmir {

namespace {

constexpr int idRole = Qt::UserRole;
constexpr int narrowSidebar = 96;

QString emptyOverviewText()
{
    return QStringLiteral("No destinations yet.");
}

// The window cannot add a destination itself: say what can. Rich text only to keep the
// command on one line, a paragraph of its own (Qt keeps a line whole only for a whole block):
// a break at its hyphen would read as two words.
QString emptyOverviewHint()
{
    return QStringLiteral(
        "Add one with the command-line tool: choose Settings &gt; Install Command-Line Tool, then run this "
        "command, as \u201cHow a user starts\u201d in Vellmir's README shows:"
        "<p style=\"white-space:pre\">vellmir add-destination</p>");
}

void embolden(QWidget *widget, qreal scale)
{
    QFont font = widget->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * scale);
    widget->setFont(font);
}

QLabel *boldLabel(const QString &text, qreal scale, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    embolden(label, scale);
    return label;
}

} // namespace

MainWindow::MainWindow(MainWindowModel &model, RunnerFactory runners, QWidget *parent)
    : QMainWindow(parent)
    , m_model(model)
    , m_runnerFactory(std::move(runners))
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Vellmir"));
    resize(960, 640);

    m_sidebar = new QListWidget;
    m_sidebar->setObjectName(QStringLiteral("sidebar"));
    m_sidebar->setSelectionMode(QAbstractItemView::SingleSelection);
    // Narrow windows narrow the sidebar first (see resizeEvent); a long name is cut, and its tip
    // holds it whole.
    m_sidebar->setMinimumWidth(narrowSidebar);
    m_sidebar->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_sidebar->setTextElideMode(Qt::ElideRight);

    m_content = new QStackedWidget;
    m_content->setObjectName(QStringLiteral("content"));
    m_content->addWidget(buildOverview());
    m_detailHost = new QWidget;
    m_detailHost->setObjectName(QStringLiteral("detail"));
    auto *detailLayout = new QVBoxLayout(m_detailHost);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    m_content->addWidget(m_detailHost);

    m_splitter = new QSplitter;
    m_splitter->setChildrenCollapsible(false);
    m_splitter->addWidget(m_sidebar);
    m_splitter->addWidget(m_content);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({ m_sidebarWanted, 740 });
    setCentralWidget(m_splitter);
    connect(m_splitter, &QSplitter::splitterMoved, this, [this](int position) { m_sidebarWanted = position; });
    statusBar()->setObjectName(QStringLiteral("statusBar"));

    m_undoStack = new QUndoStack(this);
    m_undoStack->setObjectName(QStringLiteral("undoStack"));
    buildMenus();

    connect(m_sidebar, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *item) {
        if (m_syncingSidebar || !item)
            return;
        const QString id = item->data(idRole).toString();
        m_model.select(id.isEmpty() ? std::nullopt : parseUuid(id));
        // An id the store no longer lists leaves the selection where it was: put the sidebar back.
        refreshSelection();
    });
    connect(&m_model, &MainWindowModel::destinationsChanged, this, [this] {
        refreshSidebar();
        refreshRows();
        showDetail();
    });
    connect(&m_model, &MainWindowModel::selectionChanged, this, [this] {
        refreshSelection();
        showDetail();
    });
    connect(&m_model, &MainWindowModel::readFinished, this, &MainWindow::refreshRows);
    connect(&m_model, &MainWindowModel::bannerChanged, this, &MainWindow::refreshBanner);
    connect(&m_model, &MainWindowModel::loadErrorChanged, this, &MainWindow::refreshMessages);
    connect(&m_model, &MainWindowModel::schedulerMessageChanged, this, &MainWindow::refreshMessages);

    refreshSidebar();
    refreshRows();
    refreshBanner();
    refreshMessages();
    showDetail();
}

MainWindow::~MainWindow() = default;

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    // The sidebar takes at most a quarter of a narrow window, so the overview and the panes
    // keep room for their lines without sideways scrolling, and gets its width back as the
    // window widens again.
    const int wanted = qMin(m_sidebarWanted, qMax(narrowSidebar, width() / 4));
    const QList<int> sizes = m_splitter->sizes();
    if (sizes.size() == 2 && sizes.first() != wanted && sizes.first() + sizes.last() > 0)
        m_splitter->setSizes({ wanted, sizes.first() + sizes.last() - wanted });
}

void MainWindow::buildMenus()
{
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction *quit = file->addAction(QStringLiteral("&Quit"));
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(VellmirApp::quitKeys());
    connect(quit, &QAction::triggered, qApp, &VellmirApp::quit);

    QMenu *edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    QAction *undo = m_undoStack->createUndoAction(edit, QStringLiteral("Undo"));
    undo->setObjectName(QStringLiteral("undoAction"));
    undo->setShortcut(QKeySequence::Undo);
    edit->addAction(undo);
    QAction *redo = m_undoStack->createRedoAction(edit, QStringLiteral("Redo"));
    redo->setObjectName(QStringLiteral("redoAction"));
    redo->setShortcut(QKeySequence::Redo);
    edit->addAction(redo);

    // The actions of the shown destination pane; each one starts its work and returns at once.
    m_destinationMenu = menuBar()->addMenu(QStringLiteral("&Destination"));
    m_destinationMenu->setObjectName(QStringLiteral("destinationMenu"));
    const auto addDestinationAction
        = [this](const QString &text, const char *name, std::function<void()> DestinationActions::*member) {
              QAction *action = m_destinationMenu->addAction(text);
              action->setObjectName(QLatin1StringView(name));
              connect(action, &QAction::triggered, this, [this, member] {
                  // A copy: the action may publish new actions, or drop the pane, while it runs.
                  const std::optional<DestinationActions> actions = m_destinationActions;
                  if (actions && (*actions).*member)
                      ((*actions).*member)();
              });
              return action;
          };
    m_backUpNow
        = addDestinationAction(QStringLiteral("Back Up Now"), "backUpNowAction", &DestinationActions::backUpNow);
    m_cancelBackup = addDestinationAction(
        QStringLiteral("Cancel Backup"), "cancelBackupAction", &DestinationActions::cancelBackup);
    m_edit = addDestinationAction(QStringLiteral("Edit\u2026"), "editDestinationAction", &DestinationActions::edit);
    m_destinationMenu->addSeparator();
    m_testConnection = addDestinationAction(
        QStringLiteral("Test Connection"), "testConnectionAction", &DestinationActions::testConnection);
    m_refreshSnapshots = addDestinationAction(
        QStringLiteral("Refresh Snapshots"), "refreshSnapshotsAction", &DestinationActions::refreshSnapshots);
    m_applyRetention = addDestinationAction(
        QStringLiteral("Apply Retention\u2026"), "applyRetentionAction", &DestinationActions::applyRetention);
    m_destinationMenu->addSeparator();
    m_remove
        = addDestinationAction(QStringLiteral("Remove\u2026"), "removeDestinationAction", &DestinationActions::remove);
    setDestinationActions(std::nullopt);

    QMenu *settings = menuBar()->addMenu(QStringLiteral("&Settings"));
    m_enableNotifications = settings->addAction(QStringLiteral("Enable Backup Notifications"));
    m_enableNotifications->setObjectName(QStringLiteral("enableNotificationsAction"));
    m_enableNotifications->setEnabled(false);
    // Both settings actions report in a sentence on the status bar, their failures too.
    const auto reportOnStatusBar
        = [this](QAction *action, std::function<QString()> MainWindow::*handler, const QString &failurePrefix) {
              connect(action, &QAction::triggered, this, [this, handler, failurePrefix] {
                  if (!(this->*handler))
                      return;
                  try {
                      statusBar()->showMessage((this->*handler)());
                  } catch (const std::exception &error) {
                      statusBar()->showMessage(failurePrefix + errorDescription(error));
                  }
              });
          };
    reportOnStatusBar(m_enableNotifications, &MainWindow::m_notificationSwitch, QString());
    // What agents may do: the `vellmir` command they call, and whether their changes wait for
    // the approval dialog.
    settings->addSeparator();
    m_installCommand = settings->addAction(QStringLiteral("Install Command-Line Tool"));
    m_installCommand->setObjectName(QStringLiteral("installCommandAction"));
    m_installCommand->setEnabled(false);
    reportOnStatusBar(m_installCommand, &MainWindow::m_commandInstaller, QStringLiteral("Install failed: "));
    m_changesWithoutApproval = settings->addAction(QStringLiteral("Allow Changes Without Approval"));
    m_changesWithoutApproval->setObjectName(QStringLiteral("changesWithoutApprovalAction"));
    m_changesWithoutApproval->setCheckable(true);
    m_changesWithoutApproval->setChecked(m_model.changesWithoutApproval());
    connect(m_changesWithoutApproval, &QAction::triggered, this, [this](bool on) {
        if (const std::optional<QString> refusal = m_model.setChangesWithoutApproval(on))
            statusBar()->showMessage(*refusal);
        // The mark shows what is stored, whatever the click asked for.
        m_changesWithoutApproval->setChecked(m_model.changesWithoutApproval());
    });
    connect(&m_model, &MainWindowModel::policyChanged, this,
        [this] { m_changesWithoutApproval->setChecked(m_model.changesWithoutApproval()); });
}

QWidget *MainWindow::buildOverview()
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(12);

    layout->addWidget(buildBanner());

    m_loadError = new MessageLabel;
    m_loadError->setObjectName(QStringLiteral("loadError"));
    layout->addWidget(m_loadError);
    m_schedulerMessage = new MessageLabel;
    m_schedulerMessage->setObjectName(QStringLiteral("schedulerMessage"));
    m_schedulerMessage->setTone(StatusTone::warning);
    layout->addWidget(m_schedulerMessage);
    // The command under the sentence is never wrapped: a break inside the unit name would read
    // as two words, and a copy must paste as typed.
    m_schedulerCommand = new MessageLabel;
    m_schedulerCommand->setObjectName(QStringLiteral("schedulerCommand"));
    m_schedulerCommand->setTone(StatusTone::warning);
    m_schedulerCommand->setWordWrap(false);
    layout->addWidget(m_schedulerCommand);

    layout->addWidget(boldLabel(QStringLiteral("Overview"), 1.4, page));
    addEmptyTexts(layout);

    auto *rows = new QWidget;
    rows->setObjectName(QStringLiteral("healthRows"));
    m_rowsLayout = new QVBoxLayout(rows);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(10);
    layout->addWidget(rows);
    layout->addStretch(1);

    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("overview"));
    scroll->setAccessibleName(QStringLiteral("Overview"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(page);
    return scroll;
}

QWidget *MainWindow::buildBanner()
{
    m_banner = new QFrame;
    m_banner->setObjectName(QStringLiteral("settingsBanner"));
    m_banner->setFrameShape(QFrame::StyledPanel);
    auto *bannerLayout = new QHBoxLayout(m_banner);
    auto *icon = new QLabel;
    icon->setPixmap(StatusStyle::symbolIcon(
        QStringLiteral("exclamationmark.triangle.fill"), StatusStyle::color(StatusTone::warning, palette()), 24)
                        .pixmap(24, 24));
    icon->setAlignment(Qt::AlignTop);
    bannerLayout->addWidget(icon);
    auto *bannerTexts = new QVBoxLayout;
    m_bannerTitle = boldLabel(QString(), 1.0, m_banner);
    m_bannerTitle->setObjectName(QStringLiteral("bannerTitle"));
    m_bannerTitle->setWordWrap(true);
    // It may quote an error that names a file: a long path wraps rather than widen the overview.
    m_bannerText = new MessageLabel;
    m_bannerText->setObjectName(QStringLiteral("bannerText"));
    m_bannerText->setTone(StatusTone::normal);
    bannerTexts->addWidget(m_bannerTitle);
    bannerTexts->addWidget(m_bannerText);
    bannerLayout->addLayout(bannerTexts, 1);
    m_review = new QPushButton(QStringLiteral("Review\u2026"));
    m_review->setObjectName(QStringLiteral("reviewButton"));
    connect(m_review, &QPushButton::clicked, this, [this] {
        if (m_reviewPresenter)
            m_reviewPresenter(this);
    });
    bannerLayout->addWidget(m_review, 0, Qt::AlignVCenter);
    return m_banner;
}

void MainWindow::addEmptyTexts(QVBoxLayout *layout)
{
    m_empty = new MessageLabel(emptyOverviewText());
    m_empty->setObjectName(QStringLiteral("emptyOverview"));
    // It may name destinations nobody vouches for yet: however long their names (one long word
    // too), the line wraps and never widens the page, which would push Review… off the window.
    m_empty->setSelectable(false);
    m_empty->setTone(StatusTone::secondary);
    layout->addWidget(m_empty);
    m_emptyHint = new QLabel(emptyOverviewHint());
    m_emptyHint->setObjectName(QStringLiteral("emptyOverviewHint"));
    m_emptyHint->setTextFormat(Qt::RichText);
    m_emptyHint->setWordWrap(true);
    m_emptyHint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_emptyHint->setPalette([this] {
        QPalette p = palette();
        p.setColor(QPalette::WindowText, StatusStyle::color(StatusTone::secondary, p));
        return p;
    }());
    layout->addWidget(m_emptyHint);
    // Shown by refreshRows when there is nothing else to show; hidden, they cost the scroll
    // area's first measurement nothing.
    m_empty->hide();
    m_emptyHint->hide();
}

void MainWindow::setDetailFactory(DetailFactory factory)
{
    m_detailFactory = std::move(factory);
    m_detailDestination.reset();
    showDetail();
}

void MainWindow::setReviewPresenter(ReviewPresenter presenter)
{
    m_reviewPresenter = std::move(presenter);
    refreshBanner();
}

void MainWindow::setNotificationSwitch(NotificationSwitch notificationSwitch)
{
    m_notificationSwitch = std::move(notificationSwitch);
    m_enableNotifications->setEnabled(bool(m_notificationSwitch));
}

void MainWindow::setCommandInstaller(CommandInstaller installer)
{
    m_commandInstaller = std::move(installer);
    m_installCommand->setEnabled(bool(m_commandInstaller));
}

void MainWindow::refreshSidebar()
{
    m_syncingSidebar = true;
    m_sidebar->clear();
    auto *overview = new QListWidgetItem(QStringLiteral("Overview"), m_sidebar);
    overview->setData(idRole, QString());
    for (const Destination &destination : m_model.destinations()) {
        // A name may have come from a hand-edited file: a line break in it would show as two
        // destinations, a bidirectional control would reorder it.
        const QString name = TextRules::visible(destination.name);
        auto *item = new QListWidgetItem(name, m_sidebar);
        item->setData(idRole, uuidText(destination.id));
        item->setToolTip(plainAutoText(name));
    }
    m_syncingSidebar = false;
    refreshSelection();
}

void MainWindow::refreshSelection()
{
    const QString wanted = m_model.selection() ? uuidText(*m_model.selection()) : QString();
    m_syncingSidebar = true;
    for (int i = 0; i < m_sidebar->count(); ++i) {
        if (m_sidebar->item(i)->data(idRole).toString() == wanted) {
            m_sidebar->setCurrentRow(i);
            break;
        }
    }
    m_syncingSidebar = false;
}

void MainWindow::refreshRows()
{
    const QList<Destination> &destinations = m_model.destinations();
    // A row added to a shown overview is shown on its own, and every such show lays out the
    // whole overview again: the rows of a first fill are shown together, in one layout.
    QWidget *container = m_rowsLayout->parentWidget();
    const bool together = m_rows.isEmpty() && container->isVisible();
    if (together)
        container->hide();
    QMap<QUuid, DestinationHealthRow *> kept;
    for (const Destination &destination : destinations) {
        if (kept.contains(destination.id))
            continue; // a duplicate id gets one row, like one sidebar selection
        DestinationHealthRow *row = m_rows.take(destination.id);
        if (row) {
            // The same row keeps its runner, so a backup started from it stays visible.
            row->setDestination(destination);
        } else {
            const QUuid id = destination.id;
            row = new DestinationHealthRow(
                new DestinationHealthModel(destination, {}, runner(id)), [this, id] { m_model.select(id); });
            row->setObjectName(QStringLiteral("healthRow-") + uuidText(id));
        }
        kept.insert(destination.id, row);
        m_rowsLayout->removeWidget(row);
        m_rowsLayout->addWidget(row);
    }
    // Rows of removed destinations go; a backup they started finishes on its own.
    for (DestinationHealthRow *row : std::as_const(m_rows)) {
        m_rowsLayout->removeWidget(row);
        row->hide();
        row->deleteLater();
    }
    m_rows = kept;
    m_runners.removeIf([&kept](decltype(m_runners)::iterator entry) { return !kept.contains(entry.key()); });
    if (together)
        container->show();
    // Destinations the settings hold but nothing trusts are named, not hidden behind "none yet".
    const std::optional<QString> awaiting = m_model.awaitingReviewText();
    m_empty->setText(awaiting ? *awaiting : emptyOverviewText());
    m_emptyHint->setText(awaiting
            ? QStringLiteral("Vellmir backs them up once you review the change with Review… above.")
            : emptyOverviewHint());
    // Until the first read is in, an empty list says nothing yet.
    const bool empty = destinations.isEmpty() && !m_model.awaitingFirstRead();
    m_empty->setVisible(empty);
    m_emptyHint->setVisible(empty);
}

void MainWindow::refreshBanner()
{
    const std::optional<MainWindowModel::Banner> banner = m_model.banner();
    m_banner->setVisible(banner.has_value());
    if (!banner)
        return;
    m_bannerTitle->setText(banner->title);
    m_bannerText->setText(banner->text);
    m_bannerText->setVisible(!banner->text.isEmpty());
    m_review->setVisible(banner->reviewable && m_reviewPresenter);
}

void MainWindow::refreshMessages()
{
    const std::optional<QString> loadError = m_model.loadError();
    m_loadError->setText(loadError.value_or(QString()));
    m_loadError->setVisible(loadError.has_value());
    const QString scheduler = m_model.schedulerMessage().value_or(QString());
    const qsizetype lastLine = scheduler.lastIndexOf(u'\n');
    m_schedulerMessage->setText(lastLine < 0 ? scheduler : scheduler.left(lastLine));
    m_schedulerMessage->setVisible(m_model.schedulerMessage().has_value());
    m_schedulerCommand->setText(lastLine < 0 ? QString() : scheduler.mid(lastLine + 1));
    m_schedulerCommand->setVisible(lastLine >= 0);
}

void MainWindow::showDetail()
{
    const std::optional<Destination> selected = m_model.selectedDestination();
    if (!selected) {
        m_content->setCurrentIndex(0);
        dropDetail();
        return;
    }
    // A pane belongs to one destination id. A destination pane takes a new copy of its
    // destination in place, so a backup, a restore sheet and their progress survive an edit
    // made meanwhile (by an agent, say); any other pane is built anew for the new copy.
    if (m_detail && m_detailDestination && m_detailDestination->id == selected->id) {
        if (m_detailDestination != selected) {
            if (auto *pane = qobject_cast<DestinationDetail *>(m_detail)) {
                pane->setDestination(*selected);
                m_detailDestination = selected;
            }
        }
        if (m_detailDestination == selected) {
            m_content->setCurrentIndex(1);
            return;
        }
    }
    dropDetail();
    DetailActions actions;
    actions.onEdit = [] {}; // the destination editor is not part of this build
    actions.onDeleted = [this] { m_model.select(std::nullopt); };
    actions.runner = runner(selected->id);
    m_detail = m_detailFactory ? m_detailFactory(*selected, actions) : placeholderDetail(*selected);
    m_detailDestination = selected;
    m_detailHost->layout()->addWidget(m_detail);
    if (auto *pane = qobject_cast<DestinationDetail *>(m_detail)) {
        connect(pane, &DestinationDetail::actionsChanged, this,
            [this](const DestinationActions &published) { setDestinationActions(published); });
        setDestinationActions(pane->actions());
    }
    m_content->setCurrentIndex(1);
}

void MainWindow::dropDetail()
{
    m_detailDestination.reset();
    if (!m_detail)
        return;
    // The pane may be the one asking (its onDeleted runs inside its own slot): it goes once
    // control is back in the event loop.
    m_detailHost->layout()->removeWidget(m_detail);
    // Whatever the pane still publishes on its way out no longer concerns the menu.
    disconnect(m_detail, nullptr, this, nullptr);
    setDestinationActions(std::nullopt);
    m_detail->hide();
    m_detail->deleteLater();
    m_detail = nullptr;
}

void MainWindow::setDestinationActions(const std::optional<DestinationActions> &actions)
{
    m_destinationActions = actions;
    const bool pane = actions.has_value();
    const bool idle = pane && !actions->isBusy;
    m_backUpNow->setEnabled(idle && actions->canBackUp);
    m_cancelBackup->setEnabled(pane && actions->backingUp);
    // The window opens no editor yet (its onEdit does nothing): no menu item that would do nothing.
    m_edit->setEnabled(false);
    m_testConnection->setEnabled(pane);
    m_refreshSnapshots->setEnabled(pane);
    m_applyRetention->setEnabled(idle);
    m_remove->setEnabled(pane);
}

std::shared_ptr<BackupRunner> MainWindow::runner(const QUuid &destinationID)
{
    std::shared_ptr<BackupRunner> &runner = m_runners[destinationID];
    if (!runner)
        runner = m_runnerFactory ? m_runnerFactory() : std::make_shared<BackupRunner>(ResticEngine(), BackupHistory());
    return runner;
}

QWidget *MainWindow::placeholderDetail(const Destination &destination) const
{
    auto *pane = new QWidget;
    pane->setObjectName(QStringLiteral("detailPlaceholder"));
    auto *layout = new QVBoxLayout(pane);
    layout->setContentsMargins(20, 16, 20, 16);
    // Cut rather than widen the pane, whole in their tips.
    auto *name = new PathLabel(destination.name, pane);
    name->setElideMode(Qt::ElideRight);
    embolden(name, 1.4);
    name->setObjectName(QStringLiteral("detailName"));
    layout->addWidget(name);
    auto *repository = new PathLabel(destination.repository, pane);
    repository->setObjectName(QStringLiteral("detailRepository"));
    repository->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(repository);
    auto *note
        = new QLabel(QStringLiteral("The details of a destination are not available in this version of Vellmir."));
    note->setObjectName(QStringLiteral("detailNote"));
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addStretch(1);
    return pane;
}

} // namespace vellmir
