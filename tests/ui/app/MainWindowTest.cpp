#include "shell/MainWindow.h"
#include "DetailFixture.h"
#include "ShellFixture.h"
#include "agent/AgentCLI.h"
#include "detail/DestinationDetail.h"
#include "detail/DestinationDetailModel.h"
#include "detail/DestinationHealthModel.h"
#include "detail/DestinationHealthRow.h"
#include "kit/MessageLabel.h"
#include "kit/Screenshot.h"
#include "operations/BackupRunner.h"
#include "protection/ConfigReview.h"
#include "protection/ConfigReviewView.h"
#include "protection/ProtectionDetails.h"
#include "protection/ProtectionDetailsModel.h"
#include "shell/MainWindowModel.h"
#include "shell/VellmirApp.h"
#include "util/Uuid.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QUndoStack>
#include <QtTest>
#include <csignal>

using namespace vellmir;

namespace {

// One window over one store, shown as the user sees it.
struct Shown {
    std::unique_ptr<DestinationStore> store;
    std::unique_ptr<MainWindowModel> model;
    std::unique_ptr<MainWindow> window;

    explicit Shown(std::unique_ptr<DestinationStore> s, MainWindow::RunnerFactory runners = {})
        : store(std::move(s))
        , model(std::make_unique<MainWindowModel>(*store))
        , window(std::make_unique<MainWindow>(*model, std::move(runners)))
    {
        // The screenshot fits a widget to its size hint; a window keeps the size a user would give it.
        window->setMinimumSize(900, 620);
        window->show();
    }
    ~Shown()
    {
        window.reset();
        model.reset();
    }

    template <typename T> T *find(const QString &name) const { return window->findChild<T *>(name); }
    QListWidget *sidebar() const { return find<QListWidget>(QStringLiteral("sidebar")); }
    QStringList sidebarTexts() const
    {
        QStringList texts;
        for (int i = 0; i < sidebar()->count(); ++i)
            texts.append(sidebar()->item(i)->text());
        return texts;
    }
    // Of the given widgets, those now shown: a pane left behind is only deleted later.
    template <typename T> static QList<T *> visibleOnly(const QList<T *> &widgets)
    {
        QList<T *> visible;
        for (T *widget : widgets)
            if (widget->isVisible())
                visible.append(widget);
        return visible;
    }
    // The name on the pane now shown.
    QString detailName() const
    {
        const QList<QLabel *> names = visibleOnly(window->findChildren<QLabel *>(QStringLiteral("detailName")));
        return names.isEmpty() ? QString() : names.first()->text();
    }
    // The destination pane now shown.
    DestinationDetail *pane() const { return visibleOnly(window->findChildren<DestinationDetail *>()).value(0); }
    QAction *action(const char *name) const { return find<QAction>(QLatin1StringView(name)); }
    // The "Destination" menu's items, in order, as enabled or not.
    QList<bool> destinationMenuEnabled() const
    {
        QList<bool> enabled;
        for (const char *name : { "backUpNowAction", "editDestinationAction", "testConnectionAction",
                 "refreshSnapshotsAction", "applyRetentionAction", "removeDestinationAction" })
            enabled.append(action(name)->isEnabled());
        return enabled;
    }
    bool showsOverview() const { return find<QStackedWidget>(QStringLiteral("content"))->currentIndex() == 0; }
    QList<DestinationHealthRow *> rows() const { return visibleOnly(window->findChildren<DestinationHealthRow *>()); }
    DestinationHealthRow *row(const Destination &d) const
    {
        return find<DestinationHealthRow>(QStringLiteral("healthRow-") + uuidText(d.id));
    }
    bool screenshot(const QString &state) const
    {
        return saveScreenshot(*window, test::screenshotPath(QStringLiteral("MainWindow-") + state));
    }
};

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void noDestinations();
    void twoDestinations();
    void changedSettingsBanner();
    void sidebarAndRowsOpenTheDetail();
    void detailFactoryAndRemoval();
    void enableNotificationsAction();
    void agentSettingsActions();
    void destinationPaneWithProtection();
    void destinationMenuFollowsThePane_data();
    void destinationMenuFollowsThePane();
    void removeFromTheMenuAndUndo();
    void aBackupOutlivesAnEditAndThePane();
    void reviewOpensFromTheBanner_data();
    void reviewOpensFromTheBanner();
};

void MainWindowTest::noDestinations()
{
    test::ShellFixture f;
    Shown shown(f.makeStore());
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));
    QCOMPARE(shown.window->windowTitle(), QStringLiteral("Vellmir"));
    QCOMPARE(shown.sidebarTexts(), QStringList { QStringLiteral("Overview") });
    QCOMPARE(shown.sidebar()->currentRow(), 0);
    QVERIFY(shown.showsOverview());
    QVERIFY(shown.find<QWidget>(QStringLiteral("emptyOverview"))->isVisible());
    // The window cannot add one: the line under it names what can.
    auto *hint = shown.find<QLabel>(QStringLiteral("emptyOverviewHint"));
    QVERIFY(hint->isVisible());
    QVERIFY(hint->text().contains(QStringLiteral("vellmir add-destination")));
    QVERIFY(hint->text().contains(QStringLiteral("README")));
    // However narrow the window, the command stays whole on its line: Qt keeps only a whole
    // block from breaking (at a hyphen too), not a span inside one.
    QTextDocument laidOut;
    laidOut.setHtml(hint->text());
    QTextBlock commandBlock = laidOut.begin();
    while (commandBlock.isValid() && !commandBlock.text().contains(QStringLiteral("add-destination")))
        commandBlock = commandBlock.next();
    QVERIFY(commandBlock.isValid());
    QVERIFY(commandBlock.blockFormat().nonBreakableLines());
    QVERIFY(shown.rows().isEmpty());
    QVERIFY(!shown.find<QWidget>(QStringLiteral("settingsBanner"))->isVisible());
    QVERIFY(!shown.find<QWidget>(QStringLiteral("schedulerMessage"))->isVisible());
    QVERIFY(!shown.find<QWidget>(QStringLiteral("loadError"))->isVisible());
    QVERIFY(shown.screenshot(QStringLiteral("empty")));

    // The scheduler's sentence from launch, shown as it came.
    const QString sentence = QStringLiteral("Could not register the scheduler: no user manager <runs>.");
    shown.model->setSchedulerMessage(sentence);
    auto *scheduler = shown.find<MessageLabel>(QStringLiteral("schedulerMessage"));
    QVERIFY(scheduler->isVisible());
    QCOMPARE(scheduler->text(), sentence);
    QCOMPARE(scheduler->toPlainText(), sentence);
    QVERIFY(shown.screenshot(QStringLiteral("scheduler-message")));

    // The command on the last line stands whole on its own line, however narrow the window.
    shown.model->setSchedulerMessage(sentence + QStringLiteral("\nsystemctl --user status vellmir-scheduler.timer"));
    QCOMPARE(scheduler->text(), sentence);
    auto *command = shown.find<MessageLabel>(QStringLiteral("schedulerCommand"));
    QCOMPARE(command->text(), QStringLiteral("systemctl --user status vellmir-scheduler.timer"));
    shown.window->setMinimumSize(0, 0);
    shown.window->resize(480, shown.window->height());
    QTRY_VERIFY(command->width() >= command->sizeHint().width());
    // And the overview needs no sideways scrolling: the sidebar gives way.
    auto *overview = shown.find<QScrollArea>(QStringLiteral("overview"));
    QTRY_VERIFY(overview->widget()->width() <= overview->viewport()->width());
}

void MainWindowTest::twoDestinations()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    Shown shown(f.makeStore());
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Pictures", "Offsite" }));
    QVERIFY(!shown.find<QWidget>(QStringLiteral("emptyOverview"))->isVisible());
    QVERIFY(!shown.find<QLabel>(QStringLiteral("emptyOverviewHint"))->isVisible());
    QCOMPARE(shown.rows().size(), 2);
    for (const Destination &d : pair) {
        auto *row = shown.row(d);
        QVERIFY(row && row->isVisible());
        QCOMPARE(row->model().destination(), d);
    }
    QVERIFY(shown.screenshot(QStringLiteral("two-destinations")));

    // A rename keeps the row (and its runner); a removal takes only that row away.
    auto *firstRow = shown.row(pair.at(0));
    Destination renamed = pair.at(0);
    renamed.name = QStringLiteral("Family pictures");
    shown.store->upsert(renamed);
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Family pictures", "Offsite" }));
    QCOMPARE(shown.row(pair.at(0)), firstRow);
    QCOMPARE(firstRow->model().destination().name, QStringLiteral("Family pictures"));
    shown.store->remove(pair.at(1), f.credentials);
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Family pictures" }));
    QCOMPARE(shown.rows().size(), 1);

    // A name from a hand-edited file is drawn written out: no second line that looks like a
    // destination of its own, nothing hidden or reordered.
    renamed.name = QStringLiteral("Gone\r\nSecond\tTab \u200B\u202Eend");
    shown.store->upsert(renamed);
    const QString written = QStringLiteral("Gone⟨U+000D⟩⟨U+000A⟩Second⟨U+0009⟩Tab ⟨U+200B⟩⟨U+202E⟩end");
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", written }));
    QCOMPARE(firstRow->findChild<QLabel *>(QStringLiteral("name"))->text(), written);
    QCOMPARE(firstRow->findChild<QPushButton *>(QStringLiteral("backUpButton"))->accessibleName(),
        QStringLiteral("Back Up ") + written + QStringLiteral(" Now"));

    // However long a name without a break, the overview needs no sideways scrolling.
    renamed.name = QString(208, u'B');
    shown.store->upsert(renamed);
    auto *overview = shown.find<QScrollArea>(QStringLiteral("overview"));
    QTRY_VERIFY(overview->widget()->width() <= overview->viewport()->width());
    QCOMPARE(firstRow->findChild<QLabel *>(QStringLiteral("name"))->accessibleName(), renamed.name);
    QVERIFY(shown.screenshot(QStringLiteral("long-name")));
}

void MainWindowTest::changedSettingsBanner()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    Shown shown(f.makeStore());
    f.changeOutside(pair);
    shown.model->reload();
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));

    QVERIFY(shown.find<QWidget>(QStringLiteral("settingsBanner"))->isVisible());
    QCOMPARE(shown.find<QLabel>(QStringLiteral("bannerTitle"))->text(), MainWindowModel::changedOutsideTitle());
    // No review view is plugged in: no button that would do nothing.
    QVERIFY(!shown.find<QPushButton>(QStringLiteral("reviewButton"))->isVisible());
    // Only what the seal still vouches for is listed.
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Pictures", "Offsite" }));

    QWidget *presentedOver = nullptr;
    shown.window->setReviewPresenter([&presentedOver](QWidget *window) { presentedOver = window; });
    auto *review = shown.find<QPushButton>(QStringLiteral("reviewButton"));
    QVERIFY(review->isVisible());
    QVERIFY(shown.screenshot(QStringLiteral("changed-settings")));
    review->click();
    QCOMPARE(presentedOver, shown.window.get());

    // Settled (here: the outside file put back as sealed): the banner goes.
    f.writeDestinations(pair);
    shown.model->reload();
    QVERIFY(!shown.find<QWidget>(QStringLiteral("settingsBanner"))->isVisible());

    // A damaged seal trusts nothing: the banner promises no backups and the overview names
    // what awaits review instead of "No destinations yet.".
    test::writeFile(f.sealPath(), "damaged");
    shown.model->reload();
    QVERIFY(shown.find<QWidget>(QStringLiteral("settingsBanner"))->isVisible());
    QCOMPARE(shown.find<MessageLabel>(QStringLiteral("bannerText"))->text(), MainWindowModel::nothingTrustedText());
    QCOMPARE(shown.find<MessageLabel>(QStringLiteral("emptyOverview"))->text(),
        QStringLiteral("Awaiting review: “Pictures”, “Offsite”."));
    QVERIFY(shown.find<QWidget>(QStringLiteral("emptyOverview"))->isVisible());
    QCOMPARE(shown.sidebarTexts(), QStringList { "Overview" });
    QVERIFY(shown.screenshot(QStringLiteral("damaged-seal")));
    {
        ConfigReviewView sheet(*shown.store, shown.window.get());
        sheet.open();
        QVERIFY(QTest::qWaitForWindowExposed(&sheet));
        QVERIFY(sheet.findChild<QLabel *>(QStringLiteral("explanation"))
                    ->text()
                    .endsWith(QStringLiteral("Until you decide, no backups run.")));
    }

    // Keeping them in the review clears it.
    ConfigReview keeping(*shown.store);
    keeping.load();
    keeping.keep();
    QVERIFY(!keeping.errorMessage());
    QVERIFY(!shown.find<QWidget>(QStringLiteral("settingsBanner"))->isVisible());
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Pictures", "Offsite" }));
}

void MainWindowTest::sidebarAndRowsOpenTheDetail()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    Shown shown(f.makeStore());
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));

    shown.sidebar()->setCurrentRow(2);
    QCOMPARE(shown.model->selection(), std::optional<QUuid>(pair.at(1).id));
    QVERIFY(!shown.showsOverview());
    QCOMPARE(shown.detailName(), QStringLiteral("Offsite"));
    QVERIFY(shown.screenshot(QStringLiteral("detail-placeholder")));

    shown.sidebar()->setCurrentRow(0);
    QVERIFY(shown.showsOverview());
    QVERIFY(!shown.model->selection());

    // A row's open button selects its destination in the sidebar.
    auto *row = shown.row(pair.at(0));
    auto *open = row->findChild<QPushButton *>(QStringLiteral("openButton"));
    QVERIFY(open);
    open->click();
    QCOMPARE(shown.sidebar()->currentRow(), 1);
    QVERIFY(!shown.showsOverview());
    QCOMPARE(shown.detailName(), QStringLiteral("Pictures"));
}

void MainWindowTest::detailFactoryAndRemoval()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    Shown shown(f.makeStore());
    QList<Destination> built;
    MainWindow::DetailActions given;
    shown.window->setDetailFactory([&](const Destination &d, const MainWindow::DetailActions &actions) {
        built.append(d);
        given = actions;
        auto *pane = new QLabel(d.name);
        pane->setObjectName(QStringLiteral("pluggedDetail"));
        return pane;
    });
    shown.model->select(pair.at(0).id);
    QCOMPARE(built, QList<Destination> { pair.at(0) });
    QVERIFY(shown.find<QLabel>(QStringLiteral("pluggedDetail")));
    QVERIFY(!shown.find<QWidget>(QStringLiteral("detailPlaceholder")));

    // An edit of the shown destination gives the pane the new copy.
    Destination edited = pair.at(0);
    edited.repository = QStringLiteral("/srv/moved");
    shown.store->upsert(edited);
    QCOMPARE(built.size(), 2);
    QCOMPARE(built.last(), edited);
    // Another destination's edit does not disturb it.
    Destination other = pair.at(1);
    other.name = QStringLiteral("Offsite 2");
    shown.store->upsert(other);
    QCOMPARE(built.size(), 2);

    // The pane reports its destination removed: back to the overview, and the pane goes.
    shown.store->remove(edited, f.credentials);
    given.onDeleted();
    QVERIFY(shown.showsOverview());
    QTRY_VERIFY(!shown.find<QLabel>(QStringLiteral("pluggedDetail")));
}

void MainWindowTest::enableNotificationsAction()
{
    test::ShellFixture f;
    Shown shown(f.makeStore());
    QAction *action = shown.window->enableNotificationsAction();
    QCOMPARE(action->text(), QStringLiteral("Enable Backup Notifications"));
    QVERIFY(!action->isEnabled());
    int asked = 0;
    shown.window->setNotificationSwitch([&asked] {
        ++asked;
        return QStringLiteral("Backup notifications are on.");
    });
    QVERIFY(action->isEnabled());
    action->trigger();
    QCOMPARE(asked, 1);
    QCOMPARE(shown.window->statusBar()->currentMessage(), QStringLiteral("Backup notifications are on."));

    // A failure inside the action is a sentence, never an exception out of the slot.
    shown.window->setNotificationSwitch([]() -> QString { throw Error(QStringLiteral("The session bus is gone.")); });
    action->trigger();
    QCOMPARE(shown.window->statusBar()->currentMessage(), QStringLiteral("The session bus is gone."));
}

void MainWindowTest::agentSettingsActions()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    Shown shown(f.makeStore());
    const auto status = [&shown] { return shown.window->statusBar()->currentMessage(); };

    // The command goes into ~/.local/bin through the installer, with its sentence either way.
    QAction *install = shown.window->installCommandAction();
    QCOMPARE(install->text(), QStringLiteral("Install Command-Line Tool"));
    QVERIFY(!install->isEnabled());
    shown.window->setCommandInstaller(&AgentCLI::installForCurrentUser);
    install->trigger();
    QCOMPARE(status(), QStringLiteral("Installed ~/.local/bin/vellmir."));
    QVERIFY(QFileInfo(f.home.path() + QStringLiteral("/.local/bin/vellmir")).isExecutable());
    QVERIFY(QDir(f.home.path() + QStringLiteral("/.local/bin")).removeRecursively());
    test::writeFile(f.home.path() + QStringLiteral("/.local/bin"), "not a folder");
    install->trigger();
    QVERIFY2(status().startsWith(QStringLiteral("Install failed: ")), qPrintable(status()));

    // The switch stores the sealed policy, and its mark always shows what is stored.
    QAction *allow = shown.window->changesWithoutApprovalAction();
    QCOMPARE(allow->text(), QStringLiteral("Allow Changes Without Approval"));
    QVERIFY(allow->isCheckable());
    QVERIFY(!allow->isChecked());
    allow->trigger();
    QVERIFY(allow->isChecked());
    QVERIFY(f.makeStore()->policy().changesWithoutApproval);
    auto *menu = qobject_cast<QMenu *>(allow->associatedObjects().value(0));
    QVERIFY(menu);
    menu->popup(shown.window->mapToGlobal(QPoint(170, 20)));
    QVERIFY(saveScreenshot(*menu, test::screenshotPath(QStringLiteral("MainWindow-settings-menu"))));
    menu->hide();
    f.makeStore()->setChangesWithoutApproval(false); // another window turns it off
    shown.model->reload();
    QVERIFY(!allow->isChecked());
    // Settings changed outside the app: refused with the store's sentence, the mark stays off.
    f.changeOutside(pair);
    shown.model->reload();
    allow->trigger();
    QCOMPARE(status(), DestinationStore::outsideChangeMessage());
    QVERIFY(!allow->isChecked());
    QVERIFY(!shown.store->policy().changesWithoutApproval);
}

void MainWindowTest::destinationPaneWithProtection()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    Shown shown(f.makeStore());
    shown.window->setDetailFactory(VellmirApp::detailFactory(*shown.window, {}, f.credentials));
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));

    shown.sidebar()->setCurrentRow(1);
    DestinationDetail *pane = shown.pane();
    QVERIFY(pane);
    QCOMPARE(pane->model()->destination(), pair.at(0));
    QWidget *slot = pane->protectionSlot();
    QVERIFY(slot->isVisible());
    auto *protection = slot->findChild<ProtectionDetails *>();
    QVERIFY(protection && protection->isVisible());
    QCOMPARE(protection->model().destination(), pair.at(0));
    QVERIFY(shown.screenshot(QStringLiteral("destination-pane")));

    // Another destination: a pane of its own, with a panel of its own.
    shown.sidebar()->setCurrentRow(2);
    QTRY_VERIFY(shown.pane() && shown.pane() != pane);
    QCOMPARE(shown.pane()->model()->destination(), pair.at(1));
    QCOMPARE(shown.pane()->protectionSlot()->findChild<ProtectionDetails *>()->model().destination(), pair.at(1));
}

void MainWindowTest::destinationMenuFollowsThePane_data()
{
    QTest::addColumn<bool>("busy");
    QTest::addColumn<bool>("canBackUp");
    QTest::addColumn<QList<bool>>("enabled");
    // Back Up Now, Edit…, Test Connection, Refresh Snapshots, Apply Retention…, Remove…;
    // Edit… stays off while the window has no editor to open.
    QTest::newRow("idle") << false << true << QList<bool> { true, false, true, true, true, true };
    QTest::newRow("no folders") << false << false << QList<bool> { false, false, true, true, true, true };
    QTest::newRow("busy") << true << true << QList<bool> { false, false, true, true, false, true };
}

void MainWindowTest::destinationMenuFollowsThePane()
{
    QFETCH(bool, busy);
    QFETCH(bool, canBackUp);
    QFETCH(QList<bool>, enabled);
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    Shown shown(f.makeStore());
    const QList<bool> allOff(6, false);
    QCOMPARE(shown.destinationMenuEnabled(), allOff);

    // The placeholder publishes nothing: still nothing to act on.
    shown.model->select(pair.at(0).id);
    QCOMPARE(shown.destinationMenuEnabled(), allOff);

    shown.window->setDetailFactory(VellmirApp::detailFactory(*shown.window, {}, f.credentials));
    // Once shown the pane publishes its actions afresh.
    DestinationDetail *pane = nullptr;
    QTRY_VERIFY((pane = shown.pane()));
    QCOMPARE(shown.destinationMenuEnabled(), (QList<bool> { true, false, true, true, true, true }));
    QCOMPARE(shown.window->destinationActions()->name, QStringLiteral("Pictures"));

    // The pane publishes new flags (as it does when a run starts or ends).
    int refreshed = 0;
    DestinationActions published = pane->actions();
    published.isBusy = busy;
    published.canBackUp = canBackUp;
    published.refreshSnapshots = [&refreshed] { ++refreshed; };
    Q_EMIT pane->actionsChanged(published);
    QCOMPARE(shown.destinationMenuEnabled(), enabled);
    QMenu *menu = shown.window->destinationMenu();
    menu->popup(shown.window->mapToGlobal(QPoint(90, 20)));
    QVERIFY(saveScreenshot(*menu,
        test::screenshotPath(QStringLiteral("MainWindow-destination-menu-")
            + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-'))));
    menu->hide();
    // The menu calls what the pane published last.
    shown.action("refreshSnapshotsAction")->trigger();
    QCOMPARE(refreshed, 1);

    // Back to the overview: the pane's actions go with it, and a late word from it is not heard.
    shown.sidebar()->setCurrentRow(0);
    QCOMPARE(shown.destinationMenuEnabled(), allOff);
    QVERIFY(!shown.window->destinationActions());
    Q_EMIT pane->actionsChanged(published);
    QCOMPARE(shown.destinationMenuEnabled(), allOff);
    shown.action("refreshSnapshotsAction")->trigger();
    QCOMPARE(refreshed, 1);
}

void MainWindowTest::removeFromTheMenuAndUndo()
{
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    f.storeSecrets(pair.at(1));
    Shown shown(f.makeStore());
    QList<int> reconciled;
    const VellmirApp::Reconcile reconcile = [&reconciled](const QList<Destination> &list) -> std::optional<QString> {
        reconciled.append(int(list.size()));
        if (list.size() < 2)
            throw Error(QStringLiteral("The timer of “Offsite” could not be removed."));
        return std::nullopt;
    };
    shown.window->setDetailFactory(VellmirApp::detailFactory(*shown.window, reconcile, f.credentials));
    QAction *undo = shown.action("undoAction");
    QVERIFY(!undo->isEnabled());
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));
    shown.model->select(pair.at(1).id);
    DestinationDetail *pane = nullptr;
    QTRY_VERIFY((pane = shown.pane()));

    shown.action("removeDestinationAction")->trigger();
    QMessageBox *confirmation = pane->removalConfirmation();
    QVERIFY(confirmation);
    QVERIFY(shown.screenshot(QStringLiteral("remove-confirmation")));
    confirmation->findChild<QPushButton *>(QStringLiteral("confirmRemoval"))->click();
    QVERIFY(shown.showsOverview());
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Pictures" }));
    QVERIFY(!shown.window->destinationActions());
    // The scheduler follows the shorter list; its failure is a sentence on the overview.
    QCOMPARE(reconciled, QList<int> { 1 });
    QCOMPARE(shown.model->schedulerMessage(),
        std::optional<QString>(QStringLiteral("The timer of “Offsite” could not be removed.")));

    // Edit > Undo, from the window's one history. It fails while the settings are changed
    // outside: the alert says why, and the undo stays offered with what it needs.
    QVERIFY(undo->isEnabled());
    QCOMPARE(undo->text(), QStringLiteral("Undo Remove Destination"));
    const QByteArray written = test::readFile(f.destinationsPath);
    f.changeOutside(f.readDestinations());
    QString alerted;
    QWidget *alertParent = nullptr;
    QTimer alertCloser;
    alertCloser.setInterval(20);
    connect(&alertCloser, &QTimer::timeout, this, [&] {
        auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!alert)
            return;
        alerted = alert->text();
        alertParent = alert->parentWidget();
        saveScreenshot(*alert, test::screenshotPath(QStringLiteral("MainWindow-undo-failed")));
        alertCloser.stop();
        alert->accept();
    });
    alertCloser.start();
    undo->trigger();
    QTRY_VERIFY(!alerted.isEmpty());
    QCOMPARE(alerted, DestinationStore::outsideChangeMessage());
    QCOMPARE(alertParent, shown.window.get()); // over the window, not loose on the screen
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Pictures" }));
    QCOMPARE(reconciled, QList<int> { 1 });
    QVERIFY(undo->isEnabled());
    QCOMPARE(undo->text(), QStringLiteral("Undo Remove Destination"));

    // Settled: the same undo puts it back.
    test::writeFile(f.destinationsPath, written);
    undo->trigger();
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Pictures", "Offsite" }));
    QCOMPARE(shown.store->destination(pair.at(1).id), std::optional<Destination>(pair.at(1)));
    QCOMPARE(reconciled, (QList<int> { 1, 2 }));
    QVERIFY(!shown.model->schedulerMessage());
    QVERIFY(f.credentials.secret(CredentialRole::repoPassword, pair.at(1).credentialID));
}

void MainWindowTest::aBackupOutlivesAnEditAndThePane()
{
    using Fixture = test::DetailFixture;
    Fixture f;
    QDir().mkpath(f.destination.sources.first());
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(1));
    f.script(QStringLiteral("backup.stdout"), test::readData(QStringLiteral("restic/backup1-json-v.jsonl")));
    // The window's store; the fixture's own store stands for an agent's process.
    Shown shown(std::make_unique<DestinationStore>(f.store->filePath(), f.credentials, f.keys),
        [&f] { return std::shared_ptr<BackupRunner>(f.services().runner); });
    shown.window->setDetailFactory(
        [&f, &shown](const Destination &d, const MainWindow::DetailActions &actions) -> QWidget * {
            DestinationDetailModel::Services services = f.services();
            services.runner = actions.runner;
            services.store = shown.store.get();
            services.undoStack = shown.window->undoStack();
            return new DestinationDetail(
                new DestinationDetailModel(d, std::move(services), actions.onEdit, actions.onDeleted),
                RestoreServices { f.engine(), f.credentials, RepositoryHealthStore(f.credentials) });
        });
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));
    shown.model->select(f.destination.id);
    DestinationDetail *pane = shown.pane();
    QVERIFY(pane);
    QVERIFY(Fixture::waitFor([&] { return pane->model()->snapshots().size() == 1; }));

    // A backup that runs until the test ends it, with a restore sheet open beside it.
    f.script(QStringLiteral("backup.sleep"), "60");
    pane->findChild<QPushButton *>(QStringLiteral("backUpButton"))->click();
    const auto backingUp = [&pane] {
        return pane->findChild<QWidget *>(QStringLiteral("progressBar"))->isVisible()
            && pane->findChild<QWidget *>(QStringLiteral("cancelRunButton"))->isVisible()
            && !pane->findChild<QWidget *>(QStringLiteral("backUpButton"))->isVisible();
    };
    const QString sleepPid = f.fake.filePath(QStringLiteral("sleep.pid"));
    QVERIFY(Fixture::waitFor([&] { return backingUp() && QFile::exists(sleepPid); }));
    pane->model()->setRestoreTarget(pane->model()->snapshots().first());
    QPointer<QWidget> sheet = pane->sheet();
    QVERIFY(sheet && sheet->isVisible());
    QVERIFY(shown.screenshot(QStringLiteral("backup-before-edit")));

    // An agent renames the destination; the window reloads. The pane takes the new copy and
    // keeps the run, its Cancel and the sheet.
    Destination edited = f.destination;
    edited.name = QStringLiteral("Studio NAS (edited)");
    edited.schedule = Destination::Schedule::hourly;
    f.store->upsert(edited);
    shown.model->reload();
    QCOMPARE(shown.sidebarTexts(), (QStringList { "Overview", "Studio NAS (edited)" }));
    QCOMPARE(shown.pane(), pane);
    QCOMPARE(pane->model()->destination(), edited);
    QCOMPARE(pane->findChild<QLabel *>(QStringLiteral("nameValue"))->text(), edited.name);
    QCOMPARE(pane->findChild<QLabel *>(QStringLiteral("scheduleValue"))->text(), QStringLiteral("Hourly"));
    QVERIFY(backingUp());
    QVERIFY(shown.window->destinationActions()->isBusy);
    QCOMPARE(shown.window->destinationActions()->name, edited.name);
    QVERIFY(sheet && sheet->isVisible() && pane->sheet() == sheet);
    QVERIFY(shown.screenshot(QStringLiteral("backup-after-edit")));
    qobject_cast<QDialog *>(sheet.data())->reject();

    // The overview's row shows the pane's run, and a pane made anew finds it again, with its
    // Cancel in the menu too; its list waits for the run rather than calling it another operation.
    shown.model->select(std::nullopt);
    QVERIFY(shown.row(edited)->findChild<QPushButton *>(QStringLiteral("cancelButton"))->isVisible());
    QVERIFY(!shown.row(edited)->findChild<QPushButton *>(QStringLiteral("backUpButton"))->isVisible());
    shown.model->select(f.destination.id);
    QVERIFY(shown.pane() && shown.pane() != pane);
    pane = shown.pane();
    QVERIFY(Fixture::waitFor(backingUp));
    QVERIFY(shown.action("cancelBackupAction")->isEnabled());
    QVERIFY(!shown.action("backUpNowAction")->isEnabled());
    QTest::qWait(200);
    QVERIFY(pane->model()->loadingSnapshots());
    QVERIFY(!pane->model()->snapshotError());

    // The run ends: the snapshot it made is listed.
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(2));
    f.unscript(QStringLiteral("backup.sleep"));
    QCOMPARE(::kill(test::readFile(sleepPid).trimmed().toInt(), SIGTERM), 0);
    QVERIFY(Fixture::waitFor([&] { return pane->model()->snapshots().size() == 2; }));
    QVERIFY(pane->findChild<QWidget *>(QStringLiteral("resultColumn"))->isVisible());
    QVERIFY(!shown.window->destinationActions()->isBusy);
    QVERIFY(!shown.action("cancelBackupAction")->isEnabled());
    // The result column has just replaced the progress: let the form lay it out first.
    QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QVERIFY(shown.screenshot(QStringLiteral("backup-ended-after-edit")));
}

void MainWindowTest::reviewOpensFromTheBanner_data()
{
    QTest::addColumn<bool>("undo");
    QTest::addColumn<bool>("keyringLocks");
    QTest::addColumn<bool>("reconciled");
    // Later: nothing changes, the schedule is checked against what is listed.
    QTest::newRow("later") << false << false << true;
    // Undo drops the destination added outside, which was never listed; the sheet closes by itself.
    QTest::newRow("undo") << true << false << true;
    // The settings cannot be read afterwards: no list to schedule by, the schedule is left alone.
    QTest::newRow("unreadable afterwards") << false << true << false;
}

void MainWindowTest::reviewOpensFromTheBanner()
{
    QFETCH(bool, undo);
    QFETCH(bool, keyringLocks);
    QFETCH(bool, reconciled);
    test::ShellFixture f;
    const QList<Destination> pair = f.sealedPair();
    Shown shown(f.makeStore());
    f.changeOutside(pair);
    shown.model->reload();
    QList<QStringList> asked;
    const QString sentence = QStringLiteral("Automatic backups could not be brought up to date.");
    shown.window->setReviewPresenter(VellmirApp::reviewPresenter(*shown.model, [&](const QList<Destination> &list) {
        QStringList names;
        for (const Destination &d : list)
            names.append(d.name);
        asked.append(names);
        return std::optional<QString>(sentence);
    }));
    QVERIFY(QTest::qWaitForWindowExposed(shown.window.get()));

    shown.find<QPushButton>(QStringLiteral("reviewButton"))->click();
    auto *review = shown.find<ConfigReviewView>(QStringLiteral("configReview"));
    QVERIFY(review && review->isVisible());
    QCOMPARE(review->windowModality(), Qt::WindowModal);
    QCOMPARE(review->parentWidget(), shown.window.get());
    QVERIFY(!review->model().changes().isEmpty());
    if (!undo && !keyringLocks)
        QVERIFY(saveScreenshot(*review, test::screenshotPath(QStringLiteral("MainWindow-review"))));
    QVERIFY(asked.isEmpty());

    f.keys->failReads = keyringLocks;
    review->findChild<QPushButton *>(undo ? QStringLiteral("undoButton") : QStringLiteral("laterButton"))->click();
    QTRY_VERIFY(!shown.find<ConfigReviewView>(QStringLiteral("configReview")));
    QCOMPARE(bool(shown.store->errorMessage()), keyringLocks);
    if (reconciled) {
        QCOMPARE(asked, (QList<QStringList> { QStringList { "Pictures", "Offsite" } }));
        QCOMPARE(shown.model->schedulerMessage(), std::optional<QString>(sentence));
        QVERIFY(shown.find<MessageLabel>(QStringLiteral("schedulerMessage"))->isVisible());
    } else {
        QVERIFY(asked.isEmpty());
        QVERIFY(!shown.model->schedulerMessage());
    }
    // Settled by the undo, or still to settle (an unreadable seal has a banner of its own).
    QCOMPARE(shown.find<QWidget>(QStringLiteral("settingsBanner"))->isVisible(), !undo);
}

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
