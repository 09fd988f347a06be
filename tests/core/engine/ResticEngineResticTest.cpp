#include "TestSupport.h"
#include "config/FileLock.h"
#include "engine/ResticEngine.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellmir;

// The engine against the installed restic, on a repository in a temporary folder.
class ResticEngineResticTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!ResticEngine().locateBinary())
            QSKIP("restic is not installed");
    }

    void versionReadsTheInstalledRestic()
    {
        const ResticEngine engine;
        QProcess restic;
        restic.start(*engine.locateBinary(), { QStringLiteral("version") });
        QVERIFY(restic.waitForFinished(30000));
        const QString expected = QString::fromUtf8(restic.readAllStandardOutput()).trimmed();
        QVERIFY(expected.startsWith(QStringLiteral("restic 0.")));
        QCOMPARE(engine.version(), expected);
    }

    void positionalsAfterDoubleDashReachRestic()
    {
        test::TestHome home;
        QTemporaryDir root;
        const QString repository = root.path() + QStringLiteral("/repo");
        const QString source = root.path() + QStringLiteral("/--dry-run");
        test::writeFile(source + QStringLiteral("/note.txt"), "hello\n");
        const ResticEngine engine(std::nullopt, root.path() + QStringLiteral("/locks"));
        const ResticEnvironment environment { { QStringLiteral("RESTIC_REPOSITORY"), repository },
            { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("test-password") },
            { QStringLiteral("RESTIC_CACHE_DIR"), root.path() + QStringLiteral("/cache") } };

        ResticResult result = engine.run(ResticCommand(QStringLiteral("init")).flag("--json"), environment);
        QVERIFY2(result.exitCode == 0, qPrintable(result.stderr));
        // A source named like a flag is backed up, not taken for "--dry-run".
        result = engine.run(ResticCommand(QStringLiteral("backup")).flag("--json").positional(source), environment);
        QVERIFY2(result.exitCode == 0, qPrintable(result.stderr));
        result
            = engine.run(ResticCommand(QStringLiteral("snapshots")).flag("--json").positional("latest"), environment);
        QVERIFY2(result.exitCode == 0, qPrintable(result.stderr));
        const QJsonArray snapshots = QJsonDocument::fromJson(result.stdout.toUtf8()).array();
        QCOMPARE(snapshots.size(), 1);
        QCOMPARE(snapshots[0].toObject()[QStringLiteral("paths")].toArray()[0].toString(), source);
        QVERIFY(QFile::exists(FileLock::repositoryLockPath(repository, root.path() + QStringLiteral("/locks"))));
    }
};

QTEST_GUILESS_MAIN(ResticEngineResticTest)
#include "ResticEngineResticTest.moc"
