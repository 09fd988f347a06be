#include "protection/ProtectionDetails.h"
#include "ProtectionFixture.h"
#include "kit/MessageLabel.h"
#include "kit/Screenshot.h"
#include "protection/RecoveryKitSheet.h"
#include "protection/StripedList.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace vellmir;

namespace {

const Date jan2 = Date::fromUnix(1767366240);
const Date jan3 = Date::fromUnix(1767452640);

template <typename T = QWidget> T *child(const QWidget &parent, const char *name)
{
    T *found = parent.findChild<T *>(QLatin1StringView(name));
    if (!found)
        qFatal("no child named %s", name);
    return found;
}

QString text(const QWidget &parent, const char *name)
{
    return child<QLabel>(parent, name)->text();
}

bool shown(const QWidget &panel, const char *name)
{
    return child(panel, name)->isVisibleTo(&panel);
}

QColor textColor(const QWidget &panel, const char *name)
{
    const QWidget *widget = child(panel, name);
    return widget->palette().color(widget->foregroundRole());
}

// A panel sized like the pane's column, shown (so it polls) and laid out.
std::unique_ptr<ProtectionDetails> showPanel(test::ProtectionFixture &f)
{
    auto panel = std::make_unique<ProtectionDetails>(f.model());
    panel->setMinimumWidth(560);
    panel->show();
    return panel;
}

void snap(ProtectionDetails &panel, const char *state)
{
    // Wrapped captions need the height that goes with the width.
    panel.setFixedHeight(panel.heightForWidth(560));
    saveScreenshot(panel, test::screenshotPath(QStringLiteral("ProtectionDetails-") + QLatin1StringView(state)));
}

} // namespace

class ProtectionDetailsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void withoutRecord();
    void measuredRecordWithBudgetWarning();
    void scanDisablesEveryActionButTheKit();
    void disclosures();
    void stripedRowsAlternate();
    void failedCheckShowsBothMessages();
    void recoveryKitSheet();
};

void ProtectionDetailsTest::withoutRecord()
{
    test::ProtectionFixture f;
    auto panel = showPanel(f);
    QCOMPARE(text(*panel, "lastVerifiedRestore"), QStringLiteral("Not yet tested"));
    QCOMPARE(text(*panel, "lastCheck"), QStringLiteral("Never"));
    QVERIFY(!shown(*panel, "verifiedSelection"));
    QVERIFY(!shown(*panel, "integrityMessage"));
    QVERIFY(!shown(*panel, "auditDetails"));
    QVERIFY(!shown(*panel, "usage"));
    QVERIFY(!shown(*panel, "busyIndicator"));
    QVERIFY(!shown(*panel, "message"));
    QVERIFY(shown(*panel, "measureButton"));
    QVERIFY(panel->model().isPolling());
    snap(*panel, "empty");

    panel->hide();
    QVERIFY(!panel->model().isPolling());
}

void ProtectionDetailsTest::measuredRecordWithBudgetWarning()
{
    test::ProtectionFixture f;
    BackupPreferences preferences;
    preferences.storageRatePerTB = 5;
    preferences.monthlyBudget = 10;
    f.destination.preferences = preferences;
    RepositoryHealth health = f.health();
    health.lastIntegrityCheck = jan2;
    health.integritySucceeded = true;
    health.integrityMessage = RepositoryHealthStore::checkSucceededMessage();
    health.lastVerifiedRestore = jan3;
    health.restoredSelection = QStringLiteral("Whole snapshot");
    health.appendUsage({ newUuid(), jan2, 2100000000000 });
    health.appendUsage({ newUuid(), jan3, 2000000000000 });
    f.writeHealth(health);

    auto panel = showPanel(f);
    QCOMPARE(text(*panel, "verifiedSelection"), QStringLiteral("Verified selection: Whole snapshot"));
    QVERIFY(shown(*panel, "integrityMessage"));
    QCOMPARE(textColor(*panel, "integrityMessage"), StatusStyle::color(StatusTone::secondary, panel->palette()));
    QCOMPARE(text(*panel, "referencedData"), QStringLiteral("2 TB"));
    QVERIFY(shown(*panel, "changeCaption"));
    QVERIFY(text(*panel, "changeCaption").endsWith(u": -100 GB"));
    QCOMPARE(text(*panel, "estimate"), QStringLiteral("$10.00"));
    QVERIFY(shown(*panel, "rateCaption"));
    QVERIFY(shown(*panel, "budgetWarning"));
    QCOMPARE(textColor(*panel, "budgetWarning"), StatusStyle::color(StatusTone::warning, panel->palette()));
    snap(*panel, "measured-over-budget");

    // Without a rate there is no estimate, and no word about a rate nothing lets the user set;
    // the budget no longer warns.
    Destination noRate = f.destination;
    noRate.preferences->storageRatePerTB = 0;
    panel->setDestination(noRate);
    QVERIFY(!panel->findChild<QLabel *>(QStringLiteral("rateMissingNote")));
    QCOMPARE(text(*panel, "checkNote"), QStringLiteral("Reads a random sample of the stored data."));
    QVERIFY(!shown(*panel, "estimateRow"));
    QVERIFY(!shown(*panel, "rateCaption"));
    QVERIFY(!shown(*panel, "budgetWarning"));
    snap(*panel, "measured-without-rate");
}

void ProtectionDetailsTest::scanDisablesEveryActionButTheKit()
{
    test::ProtectionFixture f;
    for (int index = 0; index < 100; ++index)
        f.heldScan->result.issues.append(QStringLiteral("Unreadable: /home/ada/secret-%1").arg(index));
    // A path of 4,096 bytes, made of names too long to break, must not widen the pane.
    f.heldScan->result.issues.last() = QStringLiteral("Unreadable: ") + QString(u'/' + QString(250, u'n')).repeated(16);
    f.heldScan->result.readableFiles = 1234;
    f.heldScan->result.excludedEntries = 7;
    auto panel = showPanel(f);
    const char *actions[] = { "reviewCoverageButton", "testRecoveryButton", "checkButton", "measureButton" };

    QTest::mouseClick(child<QPushButton>(*panel, "reviewCoverageButton"), Qt::LeftButton);
    for (const char *name : actions)
        QVERIFY2(!child(*panel, name)->isEnabled(), name);
    QVERIFY(child(*panel, "exportKitButton")->isEnabled());
    QVERIFY(shown(*panel, "busyIndicator"));
    // Progress shows in the section of the action.
    QVERIFY(child(*panel, "coverageSection")->isAncestorOf(child(*panel, "busyIndicator")));
    QCOMPARE(text(*panel, "busyLabel"), QStringLiteral("Working…"));
    QVERIFY(!shown(*panel, "auditDetails"));
    snap(*panel, "scanning");

    f.heldScan->release();
    QTRY_VERIFY(!panel->model().isWorking());
    for (const char *name : actions)
        QVERIFY2(child(*panel, name)->isEnabled(), name);
    QVERIFY(!shown(*panel, "busyIndicator"));
    QCOMPARE(text(*panel, "readableFiles"), QStringLiteral("1234"));
    QCOMPARE(text(*panel, "excludedEntries"), QStringLiteral("7"));
    // Linux has no cloud-only files to count.
    QVERIFY(!panel->findChild<QLabel *>(QStringLiteral("cloudOnlyEntries")));
    const QList<QLabel *> issues = child(*panel, "issues")->findChildren<QLabel *>(QStringLiteral("issue"));
    QCOMPARE(issues.size(), 100);
    QCOMPARE(issues.first()->text(), QStringLiteral("Unreadable: /home/ada/secret-0"));
    QVERIFY(issues.first()->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(shown(*panel, "issueLimitNote"));
    QVERIFY(panel->minimumSizeHint().width() <= 560);
    snap(*panel, "audited");
}

void ProtectionDetailsTest::disclosures()
{
    test::ProtectionFixture f;
    f.destination.excludes = {};
    auto panel = showPanel(f);
    auto *folders = child<QToolButton>(*panel, "foldersDisclosure");
    auto *exclusions = child<QToolButton>(*panel, "exclusionsDisclosure");
    QCOMPARE(folders->text(), QStringLiteral("Selected folders (2)"));
    QCOMPARE(exclusions->text(), QStringLiteral("Deliberate exclusions (0)"));
    QVERIFY(!shown(*panel, "foldersList"));
    QVERIFY(!shown(*panel, "exclusionsContent"));

    exclusions->click();
    QVERIFY(shown(*panel, "exclusionsContent"));
    QCOMPARE(child<StripedList>(*panel, "exclusionsList")->items(), QStringList());
    QVERIFY(shown(*panel, "exclusionsNote"));
    folders->click();
    QCOMPARE(child<StripedList>(*panel, "foldersList")->items(), f.destination.sources);
    snap(*panel, "disclosed");

    Destination excluding = f.destination;
    excluding.excludes = { QStringLiteral("*.o"), QStringLiteral("~/.cache") };
    panel->setDestination(excluding);
    QCOMPARE(exclusions->text(), QStringLiteral("Deliberate exclusions (2)"));
    // Rows of a list that is open already show without another event.
    QVERIFY(child<StripedList>(*panel, "exclusionsList")->row(1)->isVisibleTo(panel.get()));
}

void ProtectionDetailsTest::stripedRowsAlternate()
{
    StripedList list({ QStringLiteral("/home/ada/Documents"), QStringLiteral("/home/ada/Pictures"),
        QStringLiteral("/home/ada/Music") });
    list.resize(300, list.sizeHint().height());
    list.show();
    QVERIFY(list.rowBackground(0).alpha() > 0);
    QCOMPARE(list.rowBackground(1).alpha(), 0);
    QCOMPARE(list.rowBackground(2), list.rowBackground(0));
    QVERIFY(list.row(0)->textInteractionFlags() & Qt::TextSelectableByMouse);

    // What is drawn: the first and third rows shaded alike, the second not.
    const QImage image = list.grab().toImage();
    const auto at = [&](int row) { return image.pixelColor(150, list.row(row)->geometry().center().y()); };
    QCOMPARE(at(0), at(2));
    QVERIFY(at(0) != at(1));
    saveScreenshot(list, test::screenshotPath(QStringLiteral("StripedList-three")));
}

void ProtectionDetailsTest::failedCheckShowsBothMessages()
{
    test::ProtectionFixture f;
    f.script(QStringLiteral("check.stderr"), "pack 1 damaged\n");
    f.script(QStringLiteral("check.exit"), "1");
    auto panel = showPanel(f);
    QTest::mouseClick(child<QPushButton>(*panel, "checkButton"), Qt::LeftButton);
    QVERIFY(shown(*panel, "busyIndicator"));
    QTRY_VERIFY_WITH_TIMEOUT(!panel->model().isWorking(), 15000);
    QVERIFY(shown(*panel, "message"));
    auto *message = child<MessageLabel>(*panel, "message");
    QCOMPARE(message->text(), QStringLiteral("Integrity check failed. Review the recorded result."));
    QVERIFY(child(*panel, "integritySection")->isAncestorOf(message));
    QVERIFY(message->tone() == StatusTone::warning);
    QCOMPARE(text(*panel, "integrityMessage"), QStringLiteral("Check failed: pack 1 damaged\n"));
    QCOMPARE(textColor(*panel, "integrityMessage"), StatusStyle::color(StatusTone::warning, panel->palette()));
    QVERIFY(text(*panel, "lastCheck") != u"Never");
    snap(*panel, "check-failed");
}

void ProtectionDetailsTest::recoveryKitSheet()
{
    test::ProtectionFixture f;
    auto panel = showPanel(f);
    QVERIFY(!panel->recoveryKitSheet());
    QTest::mouseClick(child<QPushButton>(*panel, "exportKitButton"), Qt::LeftButton);
    QPointer<RecoveryKitSheet> sheet = panel->recoveryKitSheet();
    QVERIFY(sheet);
    QVERIFY(sheet->isVisible());
    QVERIFY(sheet->windowModality() == Qt::WindowModal);
    sheet->reject();
    QTRY_VERIFY(!sheet);
    QVERIFY(!panel->recoveryKitSheet());
}

QTEST_MAIN(ProtectionDetailsTest)
#include "ProtectionDetailsTest.moc"
