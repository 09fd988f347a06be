#include "detail/DestinationHealthRow.h"
#include "HealthFixture.h"
#include "config/FileLock.h"
#include "kit/MessageLabel.h"
#include "kit/Screenshot.h"
#include "kit/StatusStyle.h"

#include <QAccessible>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

using namespace vellmir;
using Outcome = BackupRecord::Outcome;

namespace {

struct Shown {
    test::HealthFixture &fixture;
    int opened = 0;
    std::unique_ptr<DestinationHealthRow> row;

    explicit Shown(test::HealthFixture &f)
        : fixture(f)
        , row(std::make_unique<DestinationHealthRow>(f.model(), [this] { ++opened; }))
    {
        row->setFixedWidth(460);
        row->show();
    }

    QLabel *line(const char *name) const { return row->findChild<QLabel *>(QLatin1StringView(name)); }
    QPushButton *button(const char *name) const { return row->findChild<QPushButton *>(QLatin1StringView(name)); }
    QColor colour(const char *name) const { return line(name)->palette().color(QPalette::WindowText); }
    QColor tone(StatusTone tone) const { return StatusStyle::color(tone, row->palette()); }
    bool screenshot(const QString &state) const
    {
        return saveScreenshot(*row, test::screenshotPath(QStringLiteral("DestinationHealthRow-") + state));
    }
};

} // namespace

class DestinationHealthRowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void neverBackedUp();
    void scheduledWithoutACompleteBackup();
    void overdueWithAFailedAttempt();
    void withoutFolders();
    void readErrorInRed();
    void backingUpShowsCancel();
    void openCallsTheCaller();
    void pollsOnlyWhileShown();
};

void DestinationHealthRowTest::neverBackedUp()
{
    test::HealthFixture f;
    Shown shown(f);
    QVERIFY(QTest::qWaitForWindowExposed(shown.row.get()));
    QCOMPARE(shown.line("name")->text(), QStringLiteral("Photos <archive>"));
    QCOMPARE(shown.line("name")->textFormat(), Qt::PlainText);
    QVERIFY(shown.line("name")->font().bold());
    QCOMPARE(shown.line("backupLine")->text(), QStringLiteral("Not yet backed up"));
    QCOMPARE(shown.colour("backupLine"), shown.tone(StatusTone::secondary));
    QVERIFY(!shown.line("latestAttemptLine")->isVisible());
    QVERIFY(!shown.line("overdueLine")->isVisible());
    QVERIFY(!shown.line("nextDueLine")->isVisible());
    QCOMPARE(shown.line("countsLine")->text(), QStringLiteral("1 selected folder \u00b7 1 exclusion"));
    QVERIFY(shown.line("verifiedRestoreLine")->text().endsWith(QStringLiteral("Not yet tested")));
    QVERIFY(!shown.row->findChild<QWidget *>(QStringLiteral("errorLine"))->isVisible());
    QVERIFY(shown.button("backUpButton")->isVisible() && shown.button("backUpButton")->isEnabled());
    QVERIFY(!shown.button("cancelButton")->isVisible());
    // Every row has these buttons: a screen reader names whose they are.
    QCOMPARE(shown.button("backUpButton")->accessibleName(), QStringLiteral("Back Up Photos <archive> Now"));
    QCOMPARE(shown.button("openButton")->accessibleName(), QStringLiteral("Review and Restore Photos <archive>"));
    QVERIFY(shown.screenshot(QStringLiteral("never")));
}

void DestinationHealthRowTest::scheduledWithoutACompleteBackup()
{
    test::HealthFixture f;
    f.destination.schedule = Destination::Schedule::daily;
    Shown shown(f);
    QVERIFY(QTest::qWaitForWindowExposed(shown.row.get()));
    QCOMPARE(shown.line("backupLine")->text(),
        QStringLiteral("No complete backup yet. Back up now, or check that the systemd user timer is active."));
    QCOMPARE(shown.colour("backupLine"), shown.tone(StatusTone::warning));
    QVERIFY(!shown.line("overdueLine")->isVisible());
    QVERIFY(!shown.line("nextDueLine")->isVisible());
    QVERIFY(shown.screenshot(QStringLiteral("scheduled-never")));
}

void DestinationHealthRowTest::overdueWithAFailedAttempt()
{
    test::HealthFixture f;
    f.destination.schedule = Destination::Schedule::hourly;
    f.destination.sources.append(QStringLiteral("/data/music"));
    f.destination.excludes.clear();
    f.write(f.record(Outcome::failed, 60, 120));
    f.write(f.record(Outcome::complete, 3600, 3700));
    f.writeVerifiedRestore(f.now.addingSeconds(-600));
    Shown shown(f);
    QVERIFY(QTest::qWaitForWindowExposed(shown.row.get()));
    QVERIFY(shown.line("backupLine")->text().startsWith(QStringLiteral("Last complete backup: ")));
    QCOMPARE(shown.colour("backupLine"), shown.tone(StatusTone::normal));
    QCOMPARE(
        shown.line("latestAttemptLine")->text(), QStringLiteral("Latest attempt: failed. Open history for details."));
    QCOMPARE(shown.colour("latestAttemptLine"), shown.tone(StatusTone::warning));
    QVERIFY(shown.line("overdueLine")->isVisible());
    QCOMPARE(shown.line("overdueLine")->text(), QStringLiteral("Backup is overdue"));
    QCOMPARE(shown.colour("overdueLine"), shown.tone(StatusTone::warning));
    QVERIFY(shown.line("nextDueLine")->isVisible());
    QVERIFY(shown.line("nextDueLine")->text().startsWith(QStringLiteral("Next due: ")));
    QVERIFY(shown.line("nextDueLine")->font().pointSizeF() < shown.line("backupLine")->font().pointSizeF());
    QCOMPARE(shown.line("countsLine")->text(), QStringLiteral("2 selected folders \u00b7 0 exclusions"));
    QVERIFY(!shown.line("verifiedRestoreLine")->text().endsWith(QStringLiteral("Not yet tested")));
    QVERIFY(shown.screenshot(QStringLiteral("overdue")));
}

void DestinationHealthRowTest::withoutFolders()
{
    test::HealthFixture f;
    f.destination.sources.clear();
    f.destination.excludes.clear();
    Shown shown(f);
    QVERIFY(QTest::qWaitForWindowExposed(shown.row.get()));
    QCOMPARE(shown.line("backupLine")->text(), QStringLiteral("No folders selected"));
    QCOMPARE(shown.line("countsLine")->text(), QStringLiteral("0 selected folders \u00b7 0 exclusions"));
    QVERIFY(!shown.button("backUpButton")->isEnabled());
    QTest::mouseClick(shown.button("backUpButton"), Qt::LeftButton);
    QVERIFY(!shown.row->model().isBusy());
    QVERIFY(shown.screenshot(QStringLiteral("no-folders")));
}

void DestinationHealthRowTest::readErrorInRed()
{
    test::HealthFixture f;
    QDir().mkpath(f.healthFile()); // a folder where the record belongs cannot be read
    Shown shown(f);
    QVERIFY(QTest::qWaitForWindowExposed(shown.row.get()));
    auto *error = shown.row->findChild<MessageLabel *>(QStringLiteral("errorLine"));
    QVERIFY(error->isVisible());
    QVERIFY(!error->text().isEmpty());
    QCOMPARE(error->palette().color(QPalette::WindowText), shown.tone(StatusTone::failure));
    QVERIFY(shown.screenshot(QStringLiteral("error")));

    QVERIFY(QDir(f.healthFile()).removeRecursively());
    shown.row->model().poll();
    QVERIFY(!error->isVisible());
}

void DestinationHealthRowTest::backingUpShowsCancel()
{
    test::HealthFixture f;
    f.setScript(QStringLiteral("sleep"), "30");
    f.setScript(QStringLiteral("term-exit"), "1");
    Shown shown(f);
    QVERIFY(QTest::qWaitForWindowExposed(shown.row.get()));
    shown.button("backUpButton")->setFocus();
    QTest::mouseClick(shown.button("backUpButton"), Qt::LeftButton);
    QVERIFY(shown.row->model().isBusy());
    QVERIFY(shown.button("cancelButton")->isVisible());
    // Cancel takes the focus in place: it is not handed on down the overview, which would scroll.
    QCOMPARE(shown.row->window()->focusWidget(), shown.button("cancelButton"));
    auto *progress = shown.row->findChild<QProgressBar *>(QStringLiteral("progress"));
    QVERIFY(progress->isVisible());
    // Read as what it is, with no value a screen reader would offer to raise or lower.
    QAccessibleInterface *read = QAccessible::queryAccessibleInterface(progress);
    QCOMPARE(read->text(QAccessible::Name), QStringLiteral("Backing up ") + f.destination.name);
    QVERIFY(!read->valueInterface());
    QVERIFY(!shown.button("backUpButton")->isVisible());
    QVERIFY(shown.screenshot(QStringLiteral("busy")));

    QTRY_VERIFY_WITH_TIMEOUT(f.resticStarted(), 10000);
    QTest::mouseClick(shown.button("cancelButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(shown.button("backUpButton")->isVisible(), 10000);
    QVERIFY(!shown.button("cancelButton")->isVisible());
    // Within one cycle the history says how the run ended.
    QTRY_COMPARE_WITH_TIMEOUT(shown.line("latestAttemptLine")->text(),
        QStringLiteral("Latest attempt: cancelled. Open history for details."), 5000);
    QVERIFY(shown.screenshot(QStringLiteral("cancelled")));

    // A press that the busy repository refuses says so, as the pane's button does.
    const auto held = FileLock::repository(f.destination.repository, f.dir.filePath(QStringLiteral("locks")));
    QTest::mouseClick(shown.button("backUpButton"), Qt::LeftButton);
    auto *refusal = shown.row->findChild<MessageLabel *>(QStringLiteral("runFailureLine"));
    QTRY_VERIFY_WITH_TIMEOUT(refusal->isVisible(), 5000);
    QCOMPARE(refusal->text(), FileLock::busyMessage());
    QVERIFY(shown.screenshot(QStringLiteral("refused")));
}

void DestinationHealthRowTest::openCallsTheCaller()
{
    test::HealthFixture f;
    Shown shown(f);
    QCOMPARE(shown.button("openButton")->text(), QStringLiteral("Review and Restore…"));
    QTest::mouseClick(shown.button("openButton"), Qt::LeftButton);
    QCOMPARE(shown.opened, 1);
}

void DestinationHealthRowTest::pollsOnlyWhileShown()
{
    test::HealthFixture f;
    auto row = std::make_unique<DestinationHealthRow>(f.model(), [] {});
    QVERIFY(!row->model().isPolling());
    row->show();
    QVERIFY(row->model().isPolling());
    row->hide();
    QVERIFY(!row->model().isPolling());
}

QTEST_MAIN(DestinationHealthRowTest)
#include "DestinationHealthRowTest.moc"
