#include "detail/DestinationDetail.h"
#include "DetailFixture.h"
#include "config/FileLock.h"
#include "detail/ConnectionStatusRow.h"
#include "kit/DetailSection.h"
#include "kit/Screenshot.h"
#include "kit/StatusLabel.h"
#include "restore/RestoreSheet.h"
#include "restore/SnapshotBrowserSheet.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolBar>
#include <QToolButton>

using namespace vellmir;
using Fixture = test::DetailFixture;

namespace {

struct Shown {
    Fixture &fixture;
    std::unique_ptr<DestinationDetail> pane;
    QList<DestinationActions> published;

    explicit Shown(Fixture &f)
        : fixture(f)
    {
        auto model = std::make_unique<DestinationDetailModel>(
            f.destination, f.services(), [&f] { ++f.edits; }, [&f] { ++f.deletions; });
        pane = std::make_unique<DestinationDetail>(
            model.release(), RestoreServices { f.engine(), f.credentials, RepositoryHealthStore(f.credentials) });
        QObject::connect(pane.get(), &DestinationDetail::actionsChanged,
            [this](const DestinationActions &actions) { published.append(actions); });
        pane->resize(640, 900);
        pane->show();
    }
    DestinationDetailModel &model() const { return *pane->model(); }
    template <typename T = QWidget> T *find(const char *name) const
    {
        return pane->findChild<T *>(QLatin1StringView(name));
    }
    QString text(const char *name) const { return find<QLabel>(name)->text(); }
    bool visible(const char *name) const { return find(name)->isVisible(); }
    void settle() const
    {
        QVERIFY(QTest::qWaitForWindowExposed(pane.get()));
        QVERIFY(Fixture::waitFor([this] { return !model().loadingSnapshots() && !model().readingHistory(); }));
    }
    bool screenshot(const QString &state) const
    {
        // The whole form, not only what the scroll area shows of it.
        QWidget *content = find("content");
        content->adjustSize();
        return saveScreenshot(*content, test::screenshotPath(QStringLiteral("DestinationDetail-") + state));
    }
};

} // namespace

class DestinationDetailTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void newDestination();
    void history();
    void historyReadError();
    void connectionTest();
    void retentionConfirmation();
    void removal();
    void removalOfAMarkupName();
    void sheets();
    void protectionSlot();
    void backUpFromThePane();
};

void DestinationDetailTest::newDestination()
{
    Fixture f;
    f.destination.schedule = Destination::Schedule::daily;
    f.destination.pruneAfterBackup = true;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(2));
    Shown shown(f);
    shown.settle();
    QCOMPARE(shown.pane->windowTitle(), QStringLiteral("Studio NAS"));
    QCOMPARE(shown.text("nameValue"), QStringLiteral("Studio NAS"));
    QCOMPARE(shown.text("typeValue"), QStringLiteral("Local disk"));
    QCOMPARE(shown.find<MessageLabel>("repositoryValue")->text(), f.destination.repository);
    QCOMPARE(shown.text("scheduleValue"), QStringLiteral("Daily"));
    QCOMPARE(shown.text("lastBackupValue"), QStringLiteral("Not yet backed up"));
    QCOMPARE(shown.text("policyValue"), QStringLiteral("Keep 7 daily, 4 weekly, 12 monthly, 2 yearly"));
    QCOMPARE(shown.text("pruneValue"), QStringLiteral("On"));
    QCOMPARE(shown.text("historyCount"), QStringLiteral("0"));
    QVERIFY(!shown.visible("operationError"));
    QVERIFY(!shown.visible("connectionStatus"));
    QVERIFY(!shown.visible("retentionMessage"));
    QVERIFY(!shown.visible("protectionSlot"));
    // The snapshot list is loaded once when the pane shows.
    QCOMPARE(shown.model().snapshots().size(), 2);
    QCOMPARE(f.arguments().first(), QStringLiteral("snapshots"));
    QVERIFY(shown.model().isPolling());
    // The toolbar's two buttons.
    auto *toolbar = shown.find<QToolBar>("toolbar");
    const QList<QAction *> actions = toolbar->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions[0]->text(), QStringLiteral("Edit Destination"));
    // No editor exists: the button is off and its tip says where a change is made.
    QVERIFY(!actions[0]->isEnabled());
    QCOMPARE(actions[0]->toolTip(), QStringLiteral("Change this destination with vellmir update-destination"));
    QCOMPARE(actions[1]->text(), QStringLiteral("Remove Destination"));
    // The menu's actions were published when the pane appeared.
    QVERIFY(!shown.published.isEmpty());
    QCOMPARE(shown.published.last().name, QStringLiteral("Studio NAS"));
    QVERIFY(shown.screenshot(QStringLiteral("new")));
    shown.pane->hide();
    QVERIFY(!shown.model().isPolling());
}

void DestinationDetailTest::history()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), "[]");
    const Date base = Date::fromUnix(1767366245);
    for (int i = 0; i < 45; ++i) {
        BackupRecord record(f.destination.id, base.addingSeconds(-3600.0 * (i + 1)));
        record.outcome = BackupRecord::Outcome::complete;
        record.finishedAt = record.startedAt.addingSeconds(60);
        record.scope = f.destination.backupScope();
        f.writeRecord(record);
    }
    BackupRecord running(f.destination.id, base);
    running.scope = f.destination.backupScope();
    // Longer than the pane is wide: restic's reason comes last.
    running.issues
        = { QStringLiteral("/home/u/Documents/") + QString(200, u'x') + QStringLiteral(": permission denied") };
    running.skippedProtected = QStringList { QStringLiteral("/home/u/Library/Mail") };
    running.maintenance = QStringLiteral("Prune skipped: ran 2 days ago.");
    f.writeRecord(running);
    // A run elsewhere holds the repository, so its record is live and stays "running".
    auto live = FileLock::repository(f.destination.repository, f.home.path() + QStringLiteral("/locks"));
    Shown shown(f);
    shown.settle();
    QCOMPARE(shown.text("historyCount"), QStringLiteral("46"));
    // The pane says that the run goes on elsewhere.
    QVERIFY(shown.visible("runElsewhereLine"));
    QVERIFY(shown.text("lastBackupValue") != QStringLiteral("Not yet backed up"));
    auto *section = shown.find<DetailSection>("historySection");
    QVERIFY(!section->isExpanded());
    QVERIFY(!shown.visible("historyList"));
    QCOMPARE(section->findChild<QToolButton *>(QStringLiteral("disclosure"))->accessibleName(),
        QStringLiteral("Backup history"));
    section->findChild<QToolButton *>(QStringLiteral("disclosure"))->click();
    QVERIFY(shown.model().historyExpanded());
    QVERIFY(shown.visible("historyList"));
    const QList<QWidget *> entries = shown.pane->findChildren<QWidget *>(QStringLiteral("historyEntry"));
    QCOMPARE(entries.size(), 30);
    QWidget *newest = entries.first();
    QVERIFY(newest->findChild<QToolButton *>(QStringLiteral("disclosureTitle"))
                ->text()
                .endsWith(QStringLiteral(" \u00b7 running")));
    auto *title = newest->findChild<QToolButton *>(QStringLiteral("disclosureTitle"));
    title->click();
    // An entry is an expandable button to assistive technology, not a check box.
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(title);
    QCOMPARE(accessible->role(), QAccessible::Button);
    QVERIFY(accessible->state().expandable && accessible->state().expanded && !accessible->state().checkable);
    QCOMPARE(newest->findChild<QLabel *>(QStringLiteral("resultNote"))->text(),
        QStringLiteral(
            "This run has not recorded a result. It may be active or interrupted; do not treat it as complete."));
    QVERIFY(!newest->findChild<QLabel *>(QStringLiteral("otherSettings")));
    QCOMPARE(newest->findChild<MessageLabel *>(QStringLiteral("issueLine"))->text(), running.issues.first());
    // Nothing needs sideways scrolling, even in a pane as narrow as a 480-pixel window leaves.
    shown.pane->resize(360, 900);
    auto *scroll = shown.pane->findChild<QScrollArea *>(QStringLiteral("scroll"));
    QTRY_VERIFY(scroll->widget()->width() <= scroll->viewport()->width());
    auto *group = newest->findChild<QWidget *>(QStringLiteral("protectedGroup"));
    QCOMPARE(group->findChild<QToolButton *>(QStringLiteral("disclosureTitle"))->text(),
        QStringLiteral("1 protected item skipped (Full Disk Access not in use)"));
    QCOMPARE(newest->findChild<QLabel *>(QStringLiteral("maintenanceLine"))->text(), *running.maintenance);
    // A later poll keeps the open entry open.
    shown.model().poll();
    QVERIFY(shown.pane->findChildren<QWidget *>(QStringLiteral("historyEntry"))
                .first()
                ->findChild<QWidget *>(QStringLiteral("disclosureBody"))
                ->isVisible());
    QVERIFY(shown.screenshot(QStringLiteral("history")));
    // Once nothing holds the repository, that run is gone: the next poll shows it finished.
    live.reset();
    shown.model().poll();
    QTRY_VERIFY(shown.model().records().first().outcome == BackupRecord::Outcome::failed);
    QCOMPARE(shown.model().records().first().issues.last(), BackupRunner::interruptedMessage);
    // Edited folders make the same records ones of other settings.
    Destination edited = f.destination;
    edited.sources.append(QStringLiteral("/home/u/Music"));
    shown.pane->setDestination(edited);
    QVERIFY(shown.pane->findChildren<QWidget *>(QStringLiteral("historyEntry"))
                .first()
                ->findChild<QLabel *>(QStringLiteral("otherSettings")));
}

void DestinationDetailTest::historyReadError()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), "[]");
    test::writeFile(f.historyDirectory(), "not a folder");
    Shown shown(f);
    shown.settle();
    QVERIFY(shown.visible("operationError"));
    QVERIFY(!shown.find<MessageLabel>("operationError")->text().isEmpty());
    QVERIFY(shown.screenshot(QStringLiteral("history-error")));
}

void DestinationDetailTest::connectionTest()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(3));
    Shown shown(f);
    shown.settle();
    shown.find<QPushButton>("testButton")->click();
    QVERIFY(!shown.find<QPushButton>("testButton")->isEnabled());
    QVERIFY(Fixture::waitFor([&] { return !shown.model().testing(); }));
    QVERIFY(shown.find<QPushButton>("testButton")->isEnabled());
    QVERIFY(shown.visible("connectionStatus"));
    QVERIFY(shown.find<ConnectionStatusRow>("connectionStatus")->status() == ConnectionStatus::ok(3));
    QVERIFY(shown.screenshot(QStringLiteral("connection-ok")));
}

void DestinationDetailTest::retentionConfirmation()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(3));
    f.script(QStringLiteral("forget.stdout"), Fixture::forgetJson(3));
    Shown shown(f);
    shown.settle();
    auto *apply = shown.find<QPushButton>("applyRetentionButton");
    QCOMPARE(apply->text(), QStringLiteral("Apply Retention Now…"));
    apply->click();
    QVERIFY(!apply->isEnabled());
    QVERIFY(Fixture::waitFor([&] { return shown.pane->retentionConfirmation() != nullptr; }));
    QMessageBox *box = shown.pane->retentionConfirmation();
    QCOMPARE(box->text(), QStringLiteral("Remove 3 Snapshots"));
    QCOMPARE(box->findChild<QPushButton *>(QStringLiteral("confirmRetention"))->text(),
        QStringLiteral("Remove 3 Snapshots"));
    QVERIFY(box->informativeText().contains(QStringLiteral("(keep 7 daily, 4 weekly, 12 monthly, 2 yearly)")));
    QVERIFY(saveScreenshot(*box, test::screenshotPath(QStringLiteral("DestinationDetail-retention-confirmation"))));
    box->button(QMessageBox::Cancel)->click();
    QVERIFY(!shown.model().pendingRetentionRemovals());
    QVERIFY(!shown.model().retentionMessage());
    QVERIFY(apply->isEnabled());

    // Scrolled down to the button, as in a window of the default size, with the focus on it:
    // disabling it while the action runs must not scroll the pane to wherever the focus goes
    // (here the panel the shell hands in, which comes next in the focus chain).
    shown.pane->setProtectionPanel(new QPushButton(QStringLiteral("Review Coverage")));
    shown.pane->resize(640, 260);
    auto *scroll = shown.find<QScrollArea>("scroll");
    QScrollBar *bar = scroll->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    // Shown again at that size, the pane opens at its top, not scrolled to the end of its form.
    shown.pane->hide();
    shown.pane->show();
    shown.pane->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(shown.pane.get()));
    QCoreApplication::processEvents();
    QCOMPARE(bar->value(), 0);
    bar->setValue(bar->maximum());
    apply->setFocus();
    QVERIFY(apply->hasFocus());
    const int place = bar->value();
    apply->click();
    QCOMPARE(bar->value(), place);
    QVERIFY(Fixture::waitFor([&] { return shown.pane->retentionConfirmation() != nullptr; }));
    shown.pane->retentionConfirmation()->findChild<QPushButton *>(QStringLiteral("confirmRetention"))->click();
    QVERIFY(Fixture::waitFor([&] { return !shown.model().applyingRetention(); }));
    QVERIFY(shown.visible("retentionMessage"));
    QCOMPARE(shown.text("retentionMessage"), QStringLiteral("Removed 3 snapshot(s)."));
    // The result shows without the user scrolling to it.
    auto *message = shown.find("retentionMessage");
    QTRY_VERIFY(
        scroll->viewport()->rect().contains(QRect(message->mapTo(scroll->viewport(), QPoint()), message->size())));
    // As the window shows it, not fitted to the whole form.
    QVERIFY(shown.pane->grab().save(test::screenshotPath(QStringLiteral("DestinationDetail-retention-result")), "PNG"));
    QVERIFY(shown.screenshot(QStringLiteral("retention-applied")));
}

void DestinationDetailTest::removal()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), "[]");
    Shown shown(f);
    shown.settle();
    QAction *remove = shown.find<QToolBar>("toolbar")->actions().at(1);
    remove->trigger();
    QMessageBox *box = shown.pane->removalConfirmation();
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Remove \"Studio NAS\"?"));
    QCOMPARE(box->informativeText(),
        QStringLiteral("This removes the destination and its stored credentials from this computer. Backups already in "
                       "the repository are not deleted. Edit > Undo puts it back."));
    QVERIFY(saveScreenshot(*box, test::screenshotPath(QStringLiteral("DestinationDetail-removal-confirmation"))));
    box->button(QMessageBox::Cancel)->click();
    QVERIFY(!shown.model().confirmingDelete());
    QVERIFY(f.store->destination(f.destination.id));

    shown.published.last().remove();
    shown.pane->removalConfirmation()->findChild<QPushButton *>(QStringLiteral("confirmRemoval"))->click();
    QVERIFY(!f.store->destination(f.destination.id));
    QCOMPARE(f.deletions, 1);
    QVERIFY(f.undo.canUndo());
}

// A name is the user's text, not markup: the confirmation shows it as typed.
void DestinationDetailTest::removalOfAMarkupName()
{
    Fixture f;
    f.destination.name = QStringLiteral("<b>Studio</b> &amp; <i>NAS</i>");
    f.store->upsert(f.destination);
    f.script(QStringLiteral("snapshots.stdout"), "[]");
    Shown shown(f);
    shown.settle();
    shown.published.last().remove();
    QMessageBox *box = shown.pane->removalConfirmation();
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Remove \"<b>Studio</b> &amp; <i>NAS</i>\"?"));
    QVERIFY(box->textFormat() == Qt::PlainText);
    box->button(QMessageBox::Cancel)->click();

    // One too long for a line, with no space to break at, is cut in its middle rather than at
    // the box's edge, which would take its end and the closing quote.
    Fixture g;
    g.destination.name = QStringLiteral("Start") + QString(200, u'x') + QStringLiteral("End");
    g.store->upsert(g.destination);
    g.script(QStringLiteral("snapshots.stdout"), "[]");
    Shown long_(g);
    long_.settle();
    long_.published.last().remove();
    box = long_.pane->removalConfirmation();
    QVERIFY(box);
    QVERIFY(box->text().startsWith(QStringLiteral("Remove \"Start")));
    QVERIFY(box->text().endsWith(QStringLiteral("End\"?")));
    QVERIFY(box->text().contains(QChar(0x2026)));
    box->button(QMessageBox::Cancel)->click();
}

void DestinationDetailTest::sheets()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(2));
    f.script(QStringLiteral("ls.stdout"), "");
    Shown shown(f);
    shown.settle();
    shown.find<QPushButton>("findButton")->click();
    auto *browser = qobject_cast<SnapshotBrowserSheet *>(shown.pane->sheet());
    QVERIFY(browser);
    QVERIFY(browser->windowModality() == Qt::WindowModal);
    browser->done(QDialog::Rejected);
    QVERIFY(!shown.model().browseTarget());
    QVERIFY(Fixture::waitFor([&] { return shown.pane->sheet() == nullptr; }));

    shown.model().setSnapshotSelection(shown.model().snapshots().last().id);
    shown.find<QPushButton>("restoreButton")->click();
    auto *restore = qobject_cast<RestoreSheet *>(shown.pane->sheet());
    QVERIFY(restore);
    restore->done(QDialog::Rejected);
    QVERIFY(!shown.model().restoreTarget());
}

void DestinationDetailTest::protectionSlot()
{
    Fixture f;
    f.script(QStringLiteral("snapshots.stdout"), "[]");
    Shown shown(f);
    shown.settle();
    auto *panel = new QPushButton(QStringLiteral("Protection details"));
    shown.pane->setProtectionPanel(panel);
    QVERIFY(shown.visible("protectionSlot"));
    QCOMPARE(panel->parentWidget(), shown.pane->protectionSlot());
    QWidget *slot = shown.pane->protectionSlot();
    const int at = slot->y();
    QVERIFY(shown.find("snapshotsSection")->y() < at);
    QVERIFY(at < shown.find("historySection")->y());
    // Tab goes there from the Snapshots section's last button, as drawn, though it came last.
    QWidget *next = shown.find("refreshButton")->nextInFocusChain();
    while (!(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    QCOMPARE(next, panel);
    QVERIFY(shown.screenshot(QStringLiteral("protection-slot")));
}

void DestinationDetailTest::backUpFromThePane()
{
    Fixture f;
    QDir().mkpath(f.destination.sources.first());
    f.script(QStringLiteral("snapshots.stdout"), "[]");
    f.script(QStringLiteral("backup.stdout"), test::readData(QStringLiteral("restic/backup1-json-v.jsonl")));
    Shown shown(f);
    shown.settle();
    QSignalSpy ended(&shown.model().runner(), &BackupRunner::runEnded);
    f.script(QStringLiteral("snapshots.stdout"), Fixture::snapshotsJson(1));
    shown.find<QPushButton>("backUpButton")->click();
    QVERIFY(shown.published.last().isBusy);
    QVERIFY(!shown.find<QPushButton>("applyRetentionButton")->isEnabled());
    QVERIFY(ended.wait(10000));
    QVERIFY(Fixture::waitFor([&] { return shown.model().snapshots().size() == 1; }));
    QVERIFY(shown.visible("resultColumn"));
    QCOMPARE(shown.find<StatusLabel>("headline")->text(), QStringLiteral("Selected files backed up."));
    QCOMPARE(shown.text("snapshotLine"), QStringLiteral("Snapshot 5d640108"));
    QVERIFY(!shown.published.last().isBusy);
    QVERIFY(shown.find<QPushButton>("applyRetentionButton")->isEnabled());
    // The run's record shows up with the next history read.
    shown.model().poll();
    QTRY_COMPARE(shown.text("historyCount"), QStringLiteral("1"));
    QVERIFY(shown.text("lastBackupValue") != QStringLiteral("Not yet backed up"));
    QVERIFY(shown.screenshot(QStringLiteral("backed-up")));
}

QTEST_MAIN(DestinationDetailTest)
#include "DestinationDetailTest.moc"
