#include "TestSupport.h"
#include "engine/MachineIdentity.h"
#include "engine/ResticEngine.h"
#include "util/ResticError.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellmir;

// The repository operations against the installed restic, on one repository in a temporary folder.
class RepositoryOperationsResticTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    std::optional<ResticEngine> m_engine;
    ResticEnvironment m_environment;

    QString path(const QString &relative) const { return m_root.path() + u'/' + relative; }

    void backup(const QString &host, const QString &time, const QByteArray &content)
    {
        test::writeFile(path(QStringLiteral("src/data.bin")), content);
        ResticCommand command(QStringLiteral("backup"));
        command.option(QStringLiteral("--host"), host).positional(path(QStringLiteral("src")));
        if (!time.isEmpty())
            command.option(QStringLiteral("--time"), time);
        const ResticResult result = m_engine->run(command, m_environment);
        QVERIFY2(result.exitCode == 0, qPrintable(result.stderr));
    }

    QList<Snapshot> snapshotsOf(const QString &host) const
    {
        QList<Snapshot> list = m_engine->listSnapshots(m_environment);
        list.removeIf([&host](const Snapshot &snapshot) { return snapshot.hostname != host; });
        return list;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ResticEngine().locateBinary())
            QSKIP("restic is not installed");
        m_engine.emplace(std::nullopt, path(QStringLiteral("locks")));
        m_environment = { { QStringLiteral("RESTIC_REPOSITORY"), path(QStringLiteral("repo")) },
            { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("test-password") },
            { QStringLiteral("RESTIC_CACHE_DIR"), path(QStringLiteral("cache")) },
            // restic writes times with the local offset (and nanoseconds when it takes the clock).
            { QStringLiteral("TZ"), QStringLiteral("Pacific/Chatham") } };
        // The repository every case shares starts as a missing one.
        QVERIFY(m_engine->probe(m_environment) == ConnectionStatus::notInitialized());
        QVERIFY(m_engine->initialize(m_environment) == ConnectionStatus::ok(0));
        QVERIFY(m_engine->probe(m_environment) == ConnectionStatus::ok(0));
        QVERIFY(m_engine->listSnapshots(m_environment).isEmpty());
    }

    void listsNewestFirstWithSizes()
    {
        const QString host = QStringLiteral("listing-host");
        backup(host, QStringLiteral("2025-01-03 10:00:00"), QByteArray(3000, 'c'));
        backup(host, QStringLiteral("2025-01-02 10:00:00"), QByteArray(2000, 'b'));
        backup(host, QString(), QByteArray(1000, 'a'));
        const QList<Snapshot> list = snapshotsOf(host);
        QCOMPARE(list.size(), 3);
        QCOMPARE(list[0].sizeBytes, qint64(1000));
        QCOMPARE(list[1].sizeBytes, qint64(3000));
        QCOMPARE(list[2].sizeBytes, qint64(2000));
        QVERIFY(std::abs(list[0].time.secondsSince(Date::now())) < 120);
        QCOMPARE(list[1].time, *Date::fromRfc3339(QStringLiteral("2025-01-03T10:00:00+13:45")));
        for (const Snapshot &snapshot : list) {
            QCOMPARE(snapshot.paths, QStringList { path(QStringLiteral("src")) });
            QCOMPARE(snapshot.shortID, snapshot.id.left(8));
        }
    }

    void estimatesWithoutTakingSourcesForOptions()
    {
        test::writeFile(path(QStringLiteral("estimate/keep.txt")), QByteArray(100, 'k'));
        test::writeFile(path(QStringLiteral("estimate/skip.tmp")), QByteArray(50, 's'));
        const BackupEstimate estimate = m_engine->estimateBackupSize(
            { path(QStringLiteral("estimate")) }, { QStringLiteral("*.tmp") }, m_environment);
        QVERIFY(estimate == (BackupEstimate { 1, 100 }));

        const QString flag = path(QStringLiteral("flag"));
        QVERIFY_THROWS_EXCEPTION(ResticError,
            m_engine->estimateBackupSize({ QStringLiteral("--password-command=touch ") + flag }, {}, m_environment));
        QVERIFY(!QFile::exists(flag));
    }

    // What is removed is what was counted, by id: a snapshot that lands after the count waits for
    // the next one, and a counted one the policy would now keep stops the removal.
    void retentionRemovesOnlyWhatItCountedOfThisComputer()
    {
        const QString here = MachineIdentity::hostname();
        const int elsewhere = m_engine->listSnapshots(m_environment).size();
        backup(here, QStringLiteral("2025-03-01 10:00:00"), "one");
        backup(here, QStringLiteral("2025-03-02 10:00:00"), "two");
        backup(here, QStringLiteral("2025-03-03 10:00:00"), "three");
        const Destination::RetentionPolicy keepOneDay { 1, 0, 0, 0 };

        QCOMPARE(m_engine->applyRetention(keepOneDay, true, true, m_environment), 2);
        const QStringList counted = m_engine->retentionRemovals(keepOneDay, m_environment);
        QCOMPARE(counted.size(), 2);
        QCOMPARE(snapshotsOf(here).size(), 3);
        backup(here, QStringLiteral("2025-03-04 10:00:00"), "four");
        QCOMPARE(m_engine->forgetCounted(keepOneDay, counted, true, m_environment), 2);
        const QList<Snapshot> kept = snapshotsOf(here);
        QCOMPARE(kept.size(), 2);
        QCOMPARE(kept.last().sizeBytes, qint64(5));
        QCOMPARE(m_engine->listSnapshots(m_environment).size(), elsewhere + 2);

        const QStringList next = m_engine->retentionRemovals(keepOneDay, m_environment);
        QCOMPARE(next.size(), 1);
        QCOMPARE(
            m_engine->run(ResticCommand(QStringLiteral("forget")).positional(kept.first().id), m_environment).exitCode,
            0);
        QVERIFY_THROWS_EXCEPTION(EngineRefusal, m_engine->forgetCounted(keepOneDay, next, false, m_environment));
        QCOMPARE(snapshotsOf(here).size(), 1);
    }
};

QTEST_GUILESS_MAIN(RepositoryOperationsResticTest)
#include "RepositoryOperationsResticTest.moc"
