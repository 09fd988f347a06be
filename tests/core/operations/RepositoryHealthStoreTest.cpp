#include "operations/RepositoryHealthStore.h"
#include "LockHolder.h"
#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "config/ConfigError.h"
#include "engine/MachineIdentity.h"
#include "engine/ResticEngine.h"
#include "operations/OperationError.h"
#include "util/Json.h"
#include "util/ResticError.h"
#include "util/Uuid.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>
#include <thread>

using namespace vellmir;

// The health files and the restic operations against a scripted fake restic.
class RepositoryHealthStoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_fake; // the fake restic's script folder
    std::unique_ptr<QTemporaryDir> m_temp; // TMPDIR, where test restores put their sample
    CredentialsStore m_credentials { std::make_shared<test::MemorySecretStorage>() };
    Destination m_destination;

    RepositoryHealthStore store() const { return RepositoryHealthStore(m_credentials); }
    ResticEngine engine() const
    {
        return ResticEngine(
            test::supportPath(QStringLiteral("fake-restic")), m_home->path() + QStringLiteral("/locks"));
    }
    void script(const QString &name, const QByteArray &content) const
    {
        test::writeFile(m_fake->filePath(name), content);
    }
    QStringList lastArguments() const
    {
        return QString::fromUtf8(test::readFile(m_fake->filePath(QStringLiteral("args"))))
            .split(u'\n', Qt::SkipEmptyParts);
    }
    QString recordFile() const { return store().recordPath(m_destination.id); }
    QStringList samples() const
    {
        return QDir(m_temp->path()).entryList({ RepositoryHealthStore::sampleFolderPrefix() + u'*' }, QDir::AllEntries);
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<test::TestHome>();
        m_fake = std::make_unique<QTemporaryDir>();
        m_temp = std::make_unique<QTemporaryDir>();
        qputenv("FAKE_RESTIC_DIR", QFile::encodeName(m_fake->path()));
        qputenv("TMPDIR", QFile::encodeName(m_temp->path()));
        m_destination = Destination {};
        m_destination.id = newUuid();
        m_destination.credentialID = newUuid();
        m_destination.repository = m_home->path() + QStringLiteral("/repo");
        m_credentials.setSecret(QStringLiteral("pw"), CredentialRole::repoPassword, m_destination.credentialID);
    }
    void cleanup()
    {
        qunsetenv("FAKE_RESTIC_DIR");
        qunsetenv("TMPDIR");
    }

    void loadWithoutFileIsEmptyAndCreatesNothing()
    {
        QVERIFY(store().load(m_destination) == RepositoryHealth {});
        QVERIFY(!QFileInfo::exists(store().directory()));
    }

    void recordsRoundTripAndAnotherRepositoryStartsAfresh()
    {
        store().recordRestore(m_destination, QStringLiteral("abc"), std::nullopt);
        store().update(m_destination.id, [](RepositoryHealth &health) {
            health.lastIntegrityCheck = Date { 12.25 };
            for (int i = 0; i < 31; ++i)
                health.appendUsage({ newUuid(), Date { double(i) }, i });
        });
        RepositoryHealth loaded = store().load(m_destination);
        QCOMPARE(loaded.restoredSelection, QStringLiteral("Whole snapshot"));
        QCOMPARE(loaded.restoredSnapshot, QStringLiteral("abc"));
        QCOMPARE(loaded.lastIntegrityCheck->seconds, 12.25);
        QCOMPARE(loaded.usage.size(), 30);
        QCOMPARE(loaded.usage.first().bytes, 1); // the oldest went
        QCOMPARE(loaded.usage.last().bytes, 30);
        QVERIFY(!test::readFile(recordFile()).contains("integritySucceeded")); // absent keys left out

        Destination moved = m_destination;
        moved.repository += QStringLiteral("-new");
        QVERIFY(store().load(moved) == RepositoryHealth {});
        store().recordRestore(moved, QStringLiteral("def"), QStringLiteral("/a/b"));
        loaded = store().load(moved);
        QCOMPARE(loaded.repository, moved.repository);
        QCOMPARE(loaded.restoredSelection, QStringLiteral("/a/b"));
        QVERIFY(!loaded.lastIntegrityCheck);
        QVERIFY(loaded.usage.isEmpty());
    }

    void undecodableFilesAreSetAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{\"usage\":");
        QTest::newRow("no usage") << QByteArray("{\"repository\":\"x\"}");
        test::dataRow("measurement without bytes",
            QByteArray("{\"usage\":[{\"id\":\"6F1A2B3C-0000-4000-8000-000000000001\",\"date\":1}]}"));
        QTest::newRow("measurement with a bad id") << QByteArray("{\"usage\":[{\"id\":\"x\",\"date\":1,\"bytes\":2}]}");
        QTest::newRow("check flag as text") << QByteArray("{\"integritySucceeded\":\"yes\",\"usage\":[]}");
    }
    void undecodableFilesAreSetAside()
    {
        // Kept under another name, while the destination's checks and restores go on afresh.
        QFETCH(QByteArray, content);
        const QString damaged = recordFile() + RepositoryHealthStore::setAsideSuffix();
        test::writeFile(recordFile(), content);
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("set aside as .*\\.json\\.damaged\\.$")));
        QVERIFY(store().load(m_destination) == RepositoryHealth {});
        QCOMPARE(test::readFile(damaged), content);
        QCOMPARE(store().setAsideRecords(m_destination.id), QStringList { QFileInfo(damaged).fileName() });

        test::writeFile(recordFile(), content);
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("set aside as .*\\.damaged-2\\.$")));
        store().recordRestore(m_destination, QStringLiteral("abc"), std::nullopt);
        QCOMPARE(store().load(m_destination).restoredSnapshot, QStringLiteral("abc"));
        QCOMPARE(test::readFile(damaged + QStringLiteral("-2")), content);
    }

    void updateWaitsForTheRecordLock()
    {
        if (!test::LockHolder::available())
            QSKIP("flock(1) is not installed");
        test::LockHolder holder;
        QVERIFY(holder.hold(store().lockPath(m_destination.id)));
        std::atomic<bool> done = false;
        std::thread writer([&] {
            store().recordRestore(m_destination, QStringLiteral("abc"), std::nullopt);
            done = true;
        });
        QTest::qWait(300);
        const bool finishedWhileHeld = done;
        holder.release();
        writer.join();
        QVERIFY(!finishedWhileHeld);
        QCOMPARE(store().load(m_destination).restoredSnapshot, QStringLiteral("abc"));
    }

    void checkRecordsItsOutcome_data()
    {
        QTest::addColumn<int>("exit");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QString>("message");
        test::dataRow("passed", 0, QByteArray("no errors were found\n"), QByteArray(),
            RepositoryHealthStore::checkSucceededMessage());
        test::dataRow("failed with stderr", 1, QByteArray("out\n"), QByteArray("  pack damaged\n"),
            QStringLiteral("Check failed:   pack damaged\n"));
        test::dataRow(
            "failed, stdout only", 1, QByteArray("summary\n"), QByteArray(), QStringLiteral("Check failed: summary\n"));
    }
    void checkRecordsItsOutcome()
    {
        QFETCH(int, exit);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(QString, message);
        script(QStringLiteral("exit"), QByteArray::number(exit));
        script(QStringLiteral("stdout"), out);
        script(QStringLiteral("stderr"), err);
        const Date before = Date::now();
        try {
            store().check(m_destination, engine());
            QCOMPARE(exit, 0);
        } catch (const ResticError &error) {
            QCOMPARE(error.message(), QStringLiteral("Integrity check failed. Review the recorded result."));
        }
        QCOMPARE(lastArguments(), QStringList({ "check", "--read-data-subset", "5%" }));
        const RepositoryHealth health = store().load(m_destination);
        QCOMPARE(health.integritySucceeded, exit == 0);
        QCOMPARE(health.integrityMessage, message);
        QVERIFY(*health.lastIntegrityCheck >= before);
    }

    void operationsThatNeverRanRecordNothing()
    {
        const ResticEngine missing(std::nullopt, m_home->path(), QStringList {}); // finds no restic
        QVERIFY_THROWS_EXCEPTION(ResticError, store().check(m_destination, missing));
        try {
            store().check(m_destination, missing);
        } catch (const ResticError &error) {
            QCOMPARE(error.message(), QStringLiteral("restic not found"));
        }
        QVERIFY_THROWS_EXCEPTION(ResticError, store().measure(m_destination, missing));
        QVERIFY(!QFileInfo::exists(recordFile()));

        m_credentials.keyring().remove(CredentialsStore::service(),
            CredentialsStore::account(CredentialRole::repoPassword, m_destination.credentialID));
        QVERIFY_THROWS_EXCEPTION(ConfigError, store().check(m_destination, engine()));
        QVERIFY(!QFileInfo::exists(m_fake->filePath(QStringLiteral("args"))));
        QVERIFY(!QFileInfo::exists(recordFile()));
    }

    void measureNeedsANumericTotalSize_data()
    {
        QTest::addColumn<int>("exit");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<qint64>("bytes"); // -1: refused with the sentence
        test::dataRow("restic's output", 0, test::readData(QStringLiteral("health/stats-raw-data-json.json")),
            QByteArray("oops\n"), qint64(283260));
        test::dataRow("size as text", 0, QByteArray("{\"total_size\":\"283260\"}"), QByteArray("oops\n"), qint64(-1));
        QTest::newRow("no size") << 0 << QByteArray("{\"total_blob_count\":3}") << QByteArray("oops\n") << qint64(-1);
        QTest::newRow("not an object") << 0 << QByteArray("[1]") << QByteArray("oops\n") << qint64(-1);
        QTest::newRow("failed run") << 1 << QByteArray("{\"total_size\":5}") << QByteArray("oops\n") << qint64(-1);
        test::dataRow("restic's JSON error", 1, QByteArray(),
            QByteArray("{\"message_type\":\"exit_error\",\"code\":1,\"message\":\"Fatal: wrong password\"}\n"),
            qint64(-1));
    }
    void measureNeedsANumericTotalSize()
    {
        QFETCH(int, exit);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(qint64, bytes);
        script(QStringLiteral("exit"), QByteArray::number(exit));
        script(QStringLiteral("stdout"), out);
        script(QStringLiteral("stderr"), err);
        if (bytes < 0) {
            try {
                store().measure(m_destination, engine());
                QFAIL("measure did not throw");
            } catch (const ResticError &error) {
                QCOMPARE(error.message(),
                    QStringLiteral("Could not measure repository data. ")
                        + (err.startsWith('{') ? QStringLiteral("Fatal: wrong password") : QStringLiteral("oops")));
            }
            QVERIFY(!QFileInfo::exists(recordFile()));
            return;
        }
        store().measure(m_destination, engine());
        QCOMPARE(lastArguments(), QStringList({ "stats", "--mode", "raw-data", "--json" }));
        QCOMPARE(store().load(m_destination).usage.size(), 1);
        QCOMPARE(store().load(m_destination).usage.first().bytes, bytes);
    }

    void measureOfNonJsonOutputThrowsTheParserError()
    {
        script(QStringLiteral("stdout"), "total 5\n");
        QVERIFY_THROWS_EXCEPTION(JsonError, store().measure(m_destination, engine()));
        QVERIFY(!QFileInfo::exists(recordFile()));
    }

    void testRecoveryChoosesSnapshotAndSample_data()
    {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<QString>("error"); // empty: a restore of /s/exact is attempted
        const auto node = [](const char *path, const char *type, qint64 size) {
            return QByteArray("{\"struct_type\":\"node\",\"path\":\"") + path + "\",\"type\":\"" + type
                + "\",\"size\":" + QByteArray::number(size) + "}\n";
        };
        const QByteArray tooSmallOrBig
            = node("/s", "dir", 0) + node("/s/empty", "file", 0) + node("/s/big", "file", 1048577);
        QTest::newRow("exactly 1 MiB") << tooSmallOrBig + node("/s/exact", "file", 1048576) << QString();
        test::dataRow("nothing small", tooSmallOrBig + node("/s/link", "symlink", 5),
            QStringLiteral("No small file found in the first 1,000 entries. Select a file in the browser and restore "
                           "it to test recovery."));
    }
    void testRecoveryChoosesSnapshotAndSample()
    {
        QFETCH(QByteArray, listing);
        QFETCH(QString, error);
        const QByteArray ownHost = MachineIdentity::knownHostnames().first().toUtf8();
        script(QStringLiteral("snapshots.stdout"),
            "[{\"id\":\"newest-elsewhere\",\"time\":\"2025-02-01T10:00:00Z\",\"hostname\":\"elsewhere\"},"
            "{\"id\":\"mine\",\"time\":\"2025-01-01T10:00:00Z\",\"hostname\":\""
                + ownHost + "\"}]");
        script(QStringLiteral("ls.stdout"), listing);
        // The fake restores nothing, so even a successful run misses the file.
        if (error.isEmpty())
            error = QStringLiteral("The sample file was not restored.");
        try {
            store().testRecovery(m_destination, engine());
            QFAIL("testRecovery did not throw");
        } catch (const Error &thrown) {
            QCOMPARE(thrown.message(), error);
        }
        QVERIFY(!QFileInfo::exists(recordFile()));
        QVERIFY2(samples().isEmpty(), qPrintable(samples().join(u' ')));
        const QStringList arguments = lastArguments();
        if (arguments.first() == QLatin1String("restore")) {
            QCOMPARE(arguments.size(), 10);
            QVERIFY(arguments[2].startsWith(m_temp->path() + u'/' + RepositoryHealthStore::sampleFolderPrefix()));
            QCOMPARE(arguments.mid(3),
                QStringList({ "--include", "/s/exact", "--overwrite", "never", "--verify", "--", "mine" }));
        }
    }

    void testRecoveryWithoutSnapshots()
    {
        script(QStringLiteral("snapshots.stdout"), "[]");
        try {
            store().testRecovery(m_destination, engine());
            QFAIL("testRecovery did not throw");
        } catch (const OperationError &error) {
            QCOMPARE(error.message(), QStringLiteral("Create a backup before testing recovery."));
        }
    }
};

QTEST_GUILESS_MAIN(RepositoryHealthStoreTest)
#include "RepositoryHealthStoreTest.moc"
