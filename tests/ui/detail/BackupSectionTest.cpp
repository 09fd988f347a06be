#include "detail/BackupSection.h"
#include "TestSupport.h"
#include "kit/PathLabel.h"
#include "kit/Screenshot.h"
#include "kit/StatusLabel.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

using namespace vellmir;
using Phase = BackupRunState::Phase;

Q_DECLARE_METATYPE(BackupRunState)
Q_DECLARE_METATYPE(Destination)

namespace {

Destination destination(QStringList sources, QStringList excludes)
{
    Destination d;
    d.name = QStringLiteral("Home");
    d.sources = std::move(sources);
    d.excludes = std::move(excludes);
    return d;
}

BackupRunState finished(QStringList issues, QString snapshotID = QStringLiteral("0123456789abcdef0123"))
{
    BackupRunState state;
    state.phase = Phase::finished;
    state.percent = 1;
    state.issues = std::move(issues);
    state.summary = BackupSummary { 12, 3, 0, 400, 5000, std::move(snapshotID) };
    return state;
}

struct Shown {
    BackupSection section;
    Shown()
    {
        section.setFixedWidth(520);
        section.show();
    }
    template <typename T = QWidget> T *find(const char *name) const
    {
        return section.findChild<T *>(QLatin1StringView(name));
    }
    bool visible(const char *name) const
    {
        QWidget *widget = find(name);
        return widget && widget->isVisible();
    }
    QString text(const char *name) const { return find<QLabel>(name)->text(); }
};

} // namespace

class BackupSectionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void texts_data();
    void texts();
    void phases_data();
    void phases();
    void finishedResult();
    void failedShowsOnlyTheMessage();
    void buttonsAsk();
};

void BackupSectionTest::texts_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one exclude") << BackupSection::excludeLine(1) << QStringLiteral("1 exclude rule");
    QTest::newRow("twelve excludes") << BackupSection::excludeLine(12) << QStringLiteral("12 exclude rules");
    QTest::newRow("no issues") << BackupSection::headline(0) << QStringLiteral("Selected files backed up.");
    QTest::newRow("one issue") << BackupSection::headline(1)
                               << QStringLiteral("Backup incomplete: 1 issue(s) need review.");
    QTest::newRow("two issues") << BackupSection::headline(2)
                                << QStringLiteral("Backup incomplete: 2 issue(s) need review.");
    QTest::newRow("zero added spelled out") << BackupSection::countsLine(BackupSummary { 1234, 0, 0, 0, 0, {} })
                                            << QStringLiteral("1234 new, 0 changed, Zero KB added");
    QTest::newRow("full snapshot id") << *BackupSection::snapshotLine(QStringLiteral("0123456789abcdef"))
                                      << QStringLiteral("Snapshot 01234567");
    QTest::newRow("short snapshot id") << *BackupSection::snapshotLine(QStringLiteral("abc"))
                                       << QStringLiteral("Snapshot abc");
    QTest::newRow("one protected") << BackupSection::protectedLine(
        1) << QStringLiteral("1 protected item skipped because Full Disk Access is not in use.");
    QTest::newRow("three protected") << BackupSection::protectedLine(
        3) << QStringLiteral("3 protected items skipped because Full Disk Access is not in use.");
}

void BackupSectionTest::texts()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
    QVERIFY(!BackupSection::snapshotLine(QString()));
}

void BackupSectionTest::phases_data()
{
    QTest::addColumn<Destination>("destination");
    QTest::addColumn<BackupRunState>("state");
    QTest::addColumn<bool>("fileAccessWanted");
    QTest::addColumn<QStringList>("visible");
    QTest::addColumn<QStringList>("hidden");

    const Destination normal = destination(
        { QStringLiteral("/home/u/Documents"), QStringLiteral("/home/u/Pictures") }, { QStringLiteral("*.tmp") });
    BackupRunState idle;
    BackupRunState scanning;
    scanning.phase = Phase::scanning;
    BackupRunState running;
    running.phase = Phase::running;
    running.percent = 0.4;
    running.filesDone = 4;
    running.totalFiles = 10;
    running.bytesDone = 1500000;
    running.totalBytes = 3000000;
    BackupRunState reading = running;
    reading.currentFile = QStringLiteral("/home/u/Documents/a rather long folder name/report.pdf");
    BackupRunState pruning;
    pruning.phase = Phase::pruning;

    QTest::newRow("no-folders") << destination({}, { QStringLiteral("*.tmp") }) << idle << false
                                << QStringList { "noFolders", "backUpButton" }
                                << QStringList { "sources", "excludeLine", "fileAccessWarning", "scanningRow" };
    QTest::newRow("idle") << normal << idle << false << QStringList { "sources", "excludeLine", "backUpButton" }
                          << QStringList { "noFolders", "fileAccessWarning", "resultColumn", "failureLabel" };
    QTest::newRow("no-excludes") << destination({ QStringLiteral("/srv") }, {}) << idle << false
                                 << QStringList { "sources" } << QStringList { "excludeLine" };
    QTest::newRow("file-access-warning") << normal << idle << true << QStringList { "fileAccessWarning" }
                                         << QStringList {};
    QTest::newRow("scanning") << normal << scanning << false << QStringList { "scanningRow", "cancelScanButton" }
                              << QStringList { "backUpButton", "runningColumn", "pruningRow" };
    QTest::newRow("running-no-file") << normal << running << false
                                     << QStringList { "runningColumn", "progressBar", "filesCounter",
                                            "cancelRunButton" }
                                     << QStringList { "currentFile", "backUpButton" };
    QTest::newRow("running-file") << normal << reading << false << QStringList { "currentFile" } << QStringList {};
    QTest::newRow("pruning") << normal << pruning << false << QStringList { "pruningRow" }
                             << QStringList { "backUpButton", "cancelScanButton", "cancelRunButton" };
    BackupRunState noSummary;
    noSummary.phase = Phase::finished;
    QTest::newRow("finished-without-summary")
        << normal << noSummary << false << QStringList { "backUpButton" } << QStringList { "resultColumn" };
    BackupRunState failedQuietly;
    failedQuietly.phase = Phase::failed;
    QTest::newRow("failed-without-message")
        << normal << failedQuietly << false << QStringList { "backUpButton" } << QStringList { "failureLabel" };
}

void BackupSectionTest::phases()
{
    QFETCH(Destination, destination);
    QFETCH(BackupRunState, state);
    QFETCH(bool, fileAccessWanted);
    QFETCH(QStringList, visible);
    QFETCH(QStringList, hidden);
    Shown shown;
    shown.section.render(destination, state, fileAccessWanted, false);
    QVERIFY(QTest::qWaitForWindowExposed(&shown.section));
    for (const QString &name : visible)
        QVERIFY2(shown.visible(name.toLatin1().constData()), qPrintable(name));
    for (const QString &name : hidden)
        QVERIFY2(!shown.visible(name.toLatin1().constData()), qPrintable(name));
    QCOMPARE(shown.find<QPushButton>("backUpButton")->isEnabled(), !destination.sources.isEmpty());
    if (destination.sources.isEmpty())
        QCOMPARE(shown.text("noFolders"),
            QStringLiteral("No folders selected. Choose what to back up with vellmir update-destination --destination "
                           "NAME --addSources FOLDER."));
    else
        QCOMPARE(
            shown.section.findChildren<PathLabel *>(QStringLiteral("sourcePath")).size(), destination.sources.size());
    // Hidden, it would still be read out in every pane: it is made only when wanted.
    if (!fileAccessWanted)
        QVERIFY(!shown.find("fileAccessWarning"));
    if (fileAccessWanted)
        QCOMPARE(shown.find<StatusLabel>("fileAccessWarning")->text(),
            QStringLiteral("Full Disk Access is off. Protected app data you chose to back up (Mail, Safari, app "
                           "data) will be skipped, and backups will be incomplete."));
    if (state.phase == Phase::running) {
        QCOMPARE(shown.text("filesCounter"), QStringLiteral("4 / 10 files"));
        QCOMPARE(shown.text("bytesCounter"), QStringLiteral("1.5 MB / 3 MB"));
    }
    QVERIFY(saveScreenshot(
        shown.section, test::screenshotPath(QStringLiteral("BackupSection-") + QTest::currentDataTag())));
}

void BackupSectionTest::finishedResult()
{
    Shown shown;
    const Destination d = destination({ QStringLiteral("/srv") }, {});
    shown.section.render(d, finished({}), false, true);
    QVERIFY(QTest::qWaitForWindowExposed(&shown.section));
    auto *headline = shown.find<StatusLabel>("headline");
    QCOMPARE(headline->text(), QStringLiteral("Selected files backed up."));
    QVERIFY(headline->tone() == StatusTone::success);
    QCOMPARE(headline->symbol(), QStringLiteral("checkmark.circle.fill"));
    QCOMPARE(shown.text("countsLine"), QStringLiteral("12 new, 3 changed, 400 bytes added"));
    QCOMPARE(shown.text("snapshotLine"), QStringLiteral("Snapshot 01234567"));
    QVERIFY(!shown.visible("pruneLine") && !shown.visible("protectedLine") && !shown.visible("skippedItems"));
    QVERIFY(shown.visible("backUpButton"));
    QVERIFY(saveScreenshot(shown.section, test::screenshotPath(QStringLiteral("BackupSection-finished"))));

    BackupRunState incomplete
        = finished({ QStringLiteral("/srv/a: permission denied"), QStringLiteral("/srv/b: no such file") }, QString());
    incomplete.pruneMessage = QStringLiteral("Retention applied.");
    incomplete.skippedProtected = { QStringLiteral("/home/u/Library/Mail") };
    shown.section.render(d, incomplete, false, true);
    QCOMPARE(headline->text(), QStringLiteral("Backup incomplete: 2 issue(s) need review."));
    QVERIFY(headline->tone() == StatusTone::warning);
    QVERIFY(!shown.visible("snapshotLine"));
    QCOMPARE(shown.text("pruneLine"), QStringLiteral("Retention applied."));
    QCOMPARE(shown.text("protectedLine"),
        QStringLiteral("1 protected item skipped because Full Disk Access is not in use."));
    QVERIFY(shown.visible("skippedItems"));
    QVERIFY(!shown.visible("skippedList"));
    QVERIFY(saveScreenshot(shown.section, test::screenshotPath(QStringLiteral("BackupSection-incomplete"))));
    shown.find<QToolButton>("skippedToggle")->click();
    QVERIFY(shown.visible("skippedList"));
    const QList<MessageLabel *> lines = shown.section.findChildren<MessageLabel *>(QStringLiteral("issueLine"));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1]->text(), QStringLiteral("/srv/b: no such file"));
    QVERIFY(lines[0]->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(saveScreenshot(shown.section, test::screenshotPath(QStringLiteral("BackupSection-incomplete-open"))));

    // A new run clears the outcome and the list starts closed the next time.
    BackupRunState scanning;
    scanning.phase = Phase::scanning;
    shown.section.render(d, scanning, false, true);
    QVERIFY(!shown.visible("resultColumn"));
    shown.section.render(d, incomplete, false, true);
    QVERIFY(!shown.visible("skippedList"));
}

void BackupSectionTest::failedShowsOnlyTheMessage()
{
    Shown shown;
    BackupRunState state = finished({ QStringLiteral("issue") });
    state.phase = Phase::failed;
    state.failureMessage = QStringLiteral("Fatal: unable to open config file: <none>");
    state.pruneMessage = QStringLiteral("pruned");
    state.skippedProtected = { QStringLiteral("/x") };
    shown.section.render(destination({ QStringLiteral("/srv") }, {}), state, false, true);
    QVERIFY(QTest::qWaitForWindowExposed(&shown.section));
    auto *failure = shown.find<StatusLabel>("failureLabel");
    QVERIFY(failure->isVisible());
    QCOMPARE(failure->text(), *state.failureMessage);
    QVERIFY(failure->tone() == StatusTone::failure);
    QVERIFY(failure->isSelectable());
    QVERIFY(!shown.visible("resultColumn"));
    QVERIFY(shown.visible("backUpButton"));
    QVERIFY(saveScreenshot(shown.section, test::screenshotPath(QStringLiteral("BackupSection-failed"))));
}

void BackupSectionTest::buttonsAsk()
{
    Shown shown;
    QSignalSpy backUp(&shown.section, &BackupSection::backUpRequested);
    QSignalSpy cancel(&shown.section, &BackupSection::cancelRequested);
    const Destination d = destination({ QStringLiteral("/srv") }, {});
    shown.section.render(d, BackupRunState {}, false, true);
    shown.find<QPushButton>("backUpButton")->click();
    BackupRunState scanning;
    scanning.phase = Phase::scanning;
    shown.section.render(d, scanning, false, true);
    shown.find<QPushButton>("cancelScanButton")->click();
    // restic may take seconds to stop: the press shows at once and cannot be repeated.
    scanning.phase = Phase::running;
    shown.section.render(d, scanning, false, true);
    auto *cancelRun = shown.find<QPushButton>("cancelRunButton");
    QCOMPARE(cancelRun->text(), QStringLiteral("Cancelling…"));
    QVERIFY(!cancelRun->isEnabled());
    cancelRun->click();
    QCOMPARE(backUp.size(), 1);
    QCOMPARE(cancel.size(), 1);
    shown.section.render(d, BackupRunState {}, false, true);
    shown.section.render(d, scanning, false, true);
    QCOMPARE(cancelRun->text(), QStringLiteral("Cancel"));
    QVERIFY(cancelRun->isEnabled());
}

QTEST_MAIN(BackupSectionTest)
#include "BackupSectionTest.moc"
