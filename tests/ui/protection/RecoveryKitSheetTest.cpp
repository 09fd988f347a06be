#include "protection/RecoveryKitSheet.h"

#include "TestSupport.h"
#include "kit/Screenshot.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

using namespace vellmir;

namespace {

Destination sampleDestination()
{
    Destination destination;
    destination.id = QUuid::createUuid();
    destination.credentialID = destination.id;
    destination.name = QStringLiteral("Photos");
    destination.kind = Destination::Kind::backblazeB2;
    destination.repository = QStringLiteral("b2:family-photos:restic");
    return destination;
}

} // namespace

class RecoveryKitSheetTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void showsInstructionsWithoutMessage();
    void exportShowsOutcome();
    void doneClosesTheSheet();
};

void RecoveryKitSheetTest::showsInstructionsWithoutMessage()
{
    QWidget window;
    window.resize(800, 700);
    window.show();
    RecoveryKitSheet sheet(
        sampleDestination(), &window, [] { return std::optional<QString>(); }, [](const QString &) {});
    sheet.open();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));

    QVERIFY(sheet.windowModality() == Qt::WindowModal);
    QCOMPARE(sheet.size(), QSize(650, 560));
    QCOMPARE(sheet.findChild<QLabel *>(QStringLiteral("title"))->text(), QStringLiteral("Recover on Another Computer"));
    auto *instructions = sheet.findChild<QPlainTextEdit *>(QStringLiteral("instructions"));
    QCOMPARE(instructions->toPlainText(), RecoveryPlan(sampleDestination()).instructions());
    QVERIFY(instructions->isReadOnly());
    QVERIFY(!sheet.findChild<QLabel *>(QStringLiteral("message"))->isVisible());
    QCOMPARE(sheet.findChild<QPushButton *>(QStringLiteral("exportButton"))->text(), QStringLiteral("Export Kit…"));
    QVERIFY(saveScreenshot(sheet, test::screenshotPath(QStringLiteral("RecoveryKitSheet-initial"))));

    // A cancelled panel leaves the sheet as it was.
    QTest::mouseClick(sheet.findChild<QPushButton *>(QStringLiteral("exportButton")), Qt::LeftButton);
    QVERIFY(!sheet.findChild<QLabel *>(QStringLiteral("message"))->isVisible());
}

void RecoveryKitSheetTest::exportShowsOutcome()
{
    QTemporaryDir dir;
    QList<QString> answers { dir.path(), dir.path() + QStringLiteral("/missing") };
    QStringList revealed;
    RecoveryKitSheet sheet(
        sampleDestination(), nullptr, [&]() -> std::optional<QString> { return answers.takeFirst(); },
        [&](const QString &path) { revealed.append(path); });
    sheet.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));
    auto *exportButton = sheet.findChild<QPushButton *>(QStringLiteral("exportButton"));
    auto *message = sheet.findChild<QLabel *>(QStringLiteral("message"));

    QTest::mouseClick(exportButton, Qt::LeftButton);
    QVERIFY(message->isVisible());
    QVERIFY(message->textInteractionFlags() & Qt::TextSelectableByMouse);
    QCOMPARE(revealed.size(), 1);
    QCOMPARE(message->text(), RecoveryKit::exportedMessage(revealed.constFirst()));
    QVERIFY(QFileInfo(revealed.constFirst()).isDir());
    QVERIFY(sheet.isVisible()); // the sheet stays open after an export
    QVERIFY(saveScreenshot(sheet, test::screenshotPath(QStringLiteral("RecoveryKitSheet-exported"))));

    QTest::mouseClick(exportButton, Qt::LeftButton);
    QVERIFY(message->text().startsWith(QStringLiteral("Export failed: ")));
    QCOMPARE(revealed.size(), 1);
    QVERIFY(saveScreenshot(sheet, test::screenshotPath(QStringLiteral("RecoveryKitSheet-failed"))));
}

void RecoveryKitSheetTest::doneClosesTheSheet()
{
    RecoveryKitSheet sheet(
        sampleDestination(), nullptr, [] { return std::optional<QString>(); }, [](const QString &) {});
    sheet.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));
    QTest::mouseClick(sheet.findChild<QPushButton *>(QStringLiteral("doneButton")), Qt::LeftButton);
    QVERIFY(!sheet.isVisible());
}

QTEST_MAIN(RecoveryKitSheetTest)
#include "RecoveryKitSheetTest.moc"
