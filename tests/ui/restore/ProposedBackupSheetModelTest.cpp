#include "restore/ProposedBackupSheetModel.h"
#include "TestSupport.h"

#include <QSignalSpy>
#include <QtTest>

using namespace vellmir;

class ProposedBackupSheetModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void titleIsTheLastComponent_data()
    {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("title");
        test::dataRow("folder", "/home/ann/Documents", "Documents");
        test::dataRow("trailing slash", "/home/ann/Documents/", "Documents");
        test::dataRow("hidden", "/home/ann/.config", ".config");
        test::dataRow("root", "/", "/");
    }
    void titleIsTheLastComponent()
    {
        QFETCH(QString, directory);
        QFETCH(QString, title);
        QCOMPARE(ProposedBackupSheetModel::title(directory), title);
    }

    void rootDependsOnTheNumberOfFolders_data()
    {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<bool>("folderList");
        QTest::addColumn<QString>("root");
        QTest::newRow("none") << QStringList() << true << QString();
        QTest::newRow("one") << QStringList { "/home/ann/Documents" } << false << "/home/ann/Documents";
        QTest::newRow("two") << QStringList { "/home/ann/Documents", "/srv/data" } << true << QString();
    }
    void rootDependsOnTheNumberOfFolders()
    {
        QFETCH(QStringList, sources);
        QFETCH(bool, folderList);
        QFETCH(QString, root);
        const ProposedBackupSheetModel model(sources, {});
        QCOMPARE(model.showsFolderList(), folderList);
        QCOMPARE(model.rootDirectory(), root);
        QVERIFY(model.path().isEmpty());
    }

    void pathGrowsAndShrinks()
    {
        ProposedBackupSheetModel model({ "/a", "/b" }, {});
        QSignalSpy changed(&model, &ProposedBackupSheetModel::pathChanged);
        model.open(QStringLiteral("/a"));
        model.open(QStringLiteral("/a/sub"));
        QCOMPARE(model.path(), (QStringList { "/a", "/a/sub" }));
        model.goBack();
        QCOMPARE(model.path(), QStringList { "/a" });
        model.goBack();
        model.goBack(); // nothing left to go back to
        QVERIFY(model.path().isEmpty());
        QCOMPARE(changed.count(), 4);
    }

    void excludesSignalOnlyRealChanges()
    {
        ProposedBackupSheetModel model({ "/a" }, { "*.tmp" });
        QSignalSpy changed(&model, &ProposedBackupSheetModel::excludesChanged);
        model.setExcludes({ "*.tmp" });
        QCOMPARE(changed.count(), 0);
        model.setExcludes({ "*.tmp", "~/a" });
        QCOMPARE(changed.count(), 1);
        QCOMPARE(model.excludes(), (QStringList { "*.tmp", "~/a" }));
        QCOMPARE(model.sources(), QStringList { "/a" });
    }
};

QTEST_GUILESS_MAIN(ProposedBackupSheetModelTest)
#include "ProposedBackupSheetModelTest.moc"
