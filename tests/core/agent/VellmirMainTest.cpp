#include "agent/VellmirMain.h"
#include "TestSupport.h"

#include <QtTest>

using namespace vellmir;

Q_DECLARE_METATYPE(vellmir::StartMode)

class VellmirMainTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void modeSelection_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<StartMode>("mode");
        QTest::newRow("nothing") << QStringList { "app" } << StartMode::windowed;
        QTest::newRow("empty list") << QStringList {} << StartMode::windowed;
        QTest::newRow("probe") << QStringList { "app", "--check-seal-access" } << StartMode::sealProbe;
        QTest::newRow("pass") << QStringList { "app", "--scheduled-run" } << StartMode::scheduledRun;
        // After "cli" every word is the tool's, to refuse as it sees fit.
        test::dataRow(
            "pass after cli", QStringList { "app", "cli", "status", "--scheduled-run" }, StartMode::commandLine);
        test::dataRow("probe after cli", QStringList { "app", "cli", "--check-seal-access" }, StartMode::commandLine);
        test::dataRow("both switches", QStringList { "app", "--scheduled-run", "x", "--check-seal-access" },
            StartMode::sealProbe);
        QTest::newRow("dialog") << QStringList { "app", "--approval-dialog" } << StartMode::approvalDialog;
        test::dataRow("dialog after cli", QStringList { "app", "cli", "--approval-dialog" }, StartMode::commandLine);
        QTest::newRow("cli") << QStringList { "app", "cli", "status" } << StartMode::commandLine;
        QTest::newRow("cli alone") << QStringList { "app", "cli" } << StartMode::commandLine;
        QTest::newRow("cli later") << QStringList { "app", "x", "cli" } << StartMode::windowed;
        QTest::newRow("CLI") << QStringList { "app", "CLI" } << StartMode::windowed;
        QTest::newRow("switch with a value") << QStringList { "app", "--scheduled-run=1" } << StartMode::windowed;
    }

    void modeSelection()
    {
        QFETCH(QStringList, arguments);
        QFETCH(StartMode, mode);
        QVERIFY(VellmirMain::selectMode(arguments) == mode);
    }

    void toolArgumentsFollowCli()
    {
        QCOMPARE(VellmirMain::toolArguments({ "app", "cli" }), QStringList {});
        QCOMPARE(VellmirMain::toolArguments({ "app", "cli", "backup", "--destination", "x" }),
            QStringList({ "backup", "--destination", "x" }));
    }
};

QTEST_GUILESS_MAIN(VellmirMainTest)
#include "VellmirMainTest.moc"
