#include "ScriptedRestic.h"
#include "TestSupport.h"
#include "engine/MachineIdentity.h"
#include "engine/ResticEngine.h"
#include "util/Json.h"
#include "util/ResticError.h"

#include <QtTest>

using namespace vellmir;
using Kind = ConnectionStatus::Kind;

Q_DECLARE_METATYPE(vellmir::ConnectionStatus)

// The repository operations against a scripted restic replaying real restic 0.18 output.
class RepositoryOperationsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parseDate_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("unix"); // 0: the distant past
        QTest::newRow("utc") << "2025-01-01T10:00:00Z" << 1735725600.0;
        QTest::newRow("nanoseconds, local offset") << "2025-01-01T11:00:00.250000000+01:00" << 1735725600.25;
        QTest::newRow("microseconds, negative offset") << "2025-01-01T00:30:00.500000-09:30" << 1735725600.5;
        QTest::newRow("short fraction") << "2025-01-01T10:00:00.5Z" << 1735725600.5;
        QTest::newRow("space separator") << "2025-01-01 10:00:00Z" << 0.0;
        QTest::newRow("no zone") << "2025-01-01T10:00:00" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
    }
    void parseDate()
    {
        QFETCH(QString, text);
        QFETCH(double, unix);
        const Date expected = unix == 0 ? Date::distantPast() : Date::fromUnix(unix);
        QCOMPARE(Snapshot::parseDate(text).seconds, expected.seconds);
    }

    void listSnapshotsNewestFirst()
    {
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("snapshots.stdout"), test::readData(QStringLiteral("restic/snapshots-json.json")));
        QList<Snapshot> list = restic.engine().listSnapshots(restic.environment());
        QCOMPARE(restic.arguments(), QStringList({ "snapshots", "--json" }));
        QCOMPARE(list.size(), 7);
        QCOMPARE(list.first().shortID, QStringLiteral("43c4900e"));
        QCOMPARE(list.first().id.size(), 64);
        QCOMPARE(list.first().hostname, QStringLiteral("testhost"));
        QCOMPARE(list.first().paths, QStringList { QStringLiteral("/tmp/rp/src") });
        QCOMPARE(list.first().sizeBytes, qint64(270493));
        QCOMPARE(list.last().shortID, QStringLiteral("5d640108"));
        QCOMPARE(list.last().time, Date::fromUnix(1735725600));

        // Equal times keep restic's order; an unreadable time sorts last; no summary is size 0.
        restic.set(QStringLiteral("snapshots.stdout"),
            R"([{"id":"a","time":"yesterday","summary":{"total_bytes_processed":9}},
                {"id":"b","time":"2025-01-01T10:00:00Z","summary":{"total_bytes_processed":5},"paths":["/x",1]},
                {"id":"c","time":"2025-01-01T10:00:00Z","summary":[]}])");
        list = restic.engine().listSnapshots(restic.environment());
        QCOMPARE(list.size(), 3);
        QCOMPARE(list[0].id + list[1].id + list[2].id, QStringLiteral("bca"));
        QCOMPARE(list[0].sizeBytes, qint64(5));
        QVERIFY(list[0].paths.isEmpty());
        QCOMPARE(list[1].sizeBytes, qint64(0));
        QCOMPARE(list[2].time, Date::distantPast());
    }

    // probe and listSnapshots read the same command; each row gives both answers.
    void repositoryState_data()
    {
        QTest::addColumn<QByteArray>("stdout");
        QTest::addColumn<QByteArray>("stderr");
        QTest::addColumn<int>("exit");
        QTest::addColumn<ConnectionStatus>("probe");
        QTest::addColumn<int>("listed"); // -1: listSnapshots throws
        QTest::addColumn<QString>("error");
        const QByteArray wrongPassword = test::readData(QStringLiteral("restic/wrong-password.stderr"));
        QTest::newRow("seven") << test::readData(QStringLiteral("restic/snapshots-json.json")) << QByteArray() << 0
                               << ConnectionStatus::ok(7) << 7 << QString();
        QTest::newRow("empty") << QByteArray("[]\n") << QByteArray() << 0 << ConnectionStatus::ok(0) << 0 << QString();
        QTest::newRow("object") << QByteArray("{}") << QByteArray() << 0 << ConnectionStatus::ok(0) << 0 << QString();
        QTest::newRow("not objects") << QByteArray("[1,2]") << QByteArray() << 0 << ConnectionStatus::ok(2) << 0
                                     << QString();
        QTest::newRow("not json") << QByteArray("[{") << QByteArray() << 0 << ConnectionStatus::ok(0) << -1
                                  << QString();
        QTest::newRow("missing") << QByteArray() << QByteArray("Fatal: repository does not exist\n") << 10
                                 << ConnectionStatus::notInitialized() << -1 << "Fatal: repository does not exist";
        QTest::newRow("wrong password") << QByteArray() << wrongPassword << 12
                                        << ConnectionStatus::failed("Fatal: wrong password or no key found") << -1
                                        << "Fatal: wrong password or no key found";
        QTest::newRow("silent failure") << QByteArray() << QByteArray() << 1
                                        << ConnectionStatus::failed("restic exited with code 1") << -1
                                        << "restic exited with code 1";
    }
    void repositoryState()
    {
        QFETCH(QByteArray, stdout);
        QFETCH(QByteArray, stderr);
        QFETCH(int, exit);
        QFETCH(ConnectionStatus, probe);
        QFETCH(int, listed);
        QFETCH(QString, error);
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("stdout"), stdout);
        restic.set(QStringLiteral("stderr"), stderr);
        restic.set(QStringLiteral("exit"), QByteArray::number(exit));
        const ResticEngine engine = restic.engine();
        QVERIFY(engine.probe(restic.environment()) == probe);
        try {
            QCOMPARE(engine.listSnapshots(restic.environment()).size(), listed);
        } catch (const JsonError &) {
            QVERIFY(listed == -1 && error.isEmpty());
        } catch (const ResticError &e) {
            QVERIFY(listed == -1);
            QCOMPARE(e.message(), error);
        }
    }

    // Whatever asks, no restic (and so no ssh) starts for an address ssh would read as an option.
    void sftpOptionAddressesNeverRun_data()
    {
        QTest::addColumn<QString>("repository");
        QTest::addColumn<bool>("refused");
        QTest::newRow("host option") << "sftp:-oProxyCommand=touch /tmp/x:/r" << true;
        QTest::newRow("config file") << "sftp:-F/dev/null:/x" << true;
        QTest::newRow("user option") << "sftp:-oX@host:/r" << true;
        QTest::newRow("host after user") << "sftp:u@-oX:/r" << true;
        // restic takes "a@b" as the user; the host is what follows the second "@".
        QTest::newRow("host after a user with @") << "sftp:a@b@-oProxyCommand=touch x:/p" << true;
        QTest::newRow("user with @") << "sftp:a@b@host:/p" << false;
        QTest::newRow("url, encoded dash") << "sftp://%2DoProxyCommand=x/r" << true;
        QTest::newRow("url, bracketed host") << "sftp://u@[-oX]:22/r" << true;
        QTest::newRow("url, user") << "sftp://-oX@host/r" << true;
        QTest::newRow("dash in the path") << "sftp:user@host:/srv/-r" << false;
        QTest::newRow("url with port") << "sftp://user@host:2222//srv/r" << false;
        QTest::newRow("local folder") << "/srv/-r" << false;
    }
    void sftpOptionAddressesNeverRun()
    {
        QFETCH(QString, repository);
        QFETCH(bool, refused);
        QCOMPARE(ResticEngine::repositoryRefusal(repository).has_value(), refused);
        if (!refused)
            return;
        test::ScriptedRestic restic;
        ResticEnvironment environment = restic.environment();
        environment.insert(QStringLiteral("RESTIC_REPOSITORY"), repository);
        QVERIFY(restic.engine().probe(environment).kind == Kind::failed);
        QVERIFY(!restic.ran());
    }

    void probeAndInitializeReportInsteadOfThrowing()
    {
        test::ScriptedRestic restic;
        const ResticEngine engine = restic.engine();
        QVERIFY(engine.initialize(restic.environment()) == ConnectionStatus::ok(0));
        QCOMPARE(restic.arguments(), QStringList { "init" });
        restic.set(QStringLiteral("init.exit"), "1");
        restic.set(QStringLiteral("init.stderr"), test::readData(QStringLiteral("restic/init-again-exists.stderr")));
        const ConnectionStatus exists = engine.initialize(restic.environment());
        QVERIFY(exists.kind == Kind::failed);
        QVERIFY(exists.message.startsWith(QStringLiteral("Fatal: create repository at")));

        const ResticEngine missing(std::nullopt, restic.path(QStringLiteral("locks")), QStringList());
        QVERIFY(missing.probe(restic.environment()) == ConnectionStatus::failed("restic not found"));
        QVERIFY(missing.initialize(restic.environment()) == ConnectionStatus::failed("restic not found"));
        std::stop_source stop;
        stop.request_stop();
        QVERIFY(engine.probe(restic.environment(), stop.get_token())
            == ConnectionStatus::failed(CancellationError().message()));
    }

    // restic would go on retrying for 15 minutes, whatever the command.
    void runsStopRetryingWithResticsLastReason_data()
    {
        QTest::addColumn<QByteArray>("stderr");
        QTest::addColumn<int>("boundMs");
        QTest::addColumn<QString>("error"); // empty: the run ends as restic ends it
        QTest::addColumn<bool>("missing"); // the probe finds no repository
        const QByteArray stat = "Stat(<config/>) returned error, retrying after 1.2s: Stat: ";
        // With the bound passed, a report of a retry ends the run.
        QTest::newRow("refused connection")
            << stat + "dial tcp 127.0.0.1:1: connect: connection refused\n"
            << 0
            << "Stat: dial tcp 127.0.0.1:1: connect: connection refused (restic was still retrying after 0 seconds)"
            << false;
        // No retry mends these, so the first report ends the run, however long the bound.
        const QByteArray certificate = "Get \"https://127.0.0.1:9443/b/?location=\": tls: failed to verify "
                                       "certificate: x509: certificate signed by unknown authority";
        QTest::newRow("untrusted certificate") << stat + certificate + "\n"
                                               << 3600000 << "Stat: " + QString::fromUtf8(certificate) << false;
        QTest::newRow("missing bucket") << stat + "The specified bucket does not exist\n"
                                        << 3600000 << "Stat: The specified bucket does not exist" << true;
        // A repository reached again: work that goes on is never cut.
        QTest::newRow("recovered") << stat
                + "dial tcp: i/o timeout\n"
                  "Stat(<config/>) operation successful after 1 retries\n"
                                   << 300 << QString() << false;
    }
    void runsStopRetryingWithResticsLastReason()
    {
        QFETCH(QByteArray, stderr);
        QFETCH(int, boundMs);
        QFETCH(QString, error);
        QFETCH(bool, missing);
        const std::chrono::milliseconds bound(boundMs);
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("stderr"), stderr);
        // Long enough that an unbounded run ends well after a bounded one, short enough to fail, not hang.
        restic.set(QStringLiteral("sleep"), error.isEmpty() ? "1" : "5");
        restic.set(QStringLiteral("snapshots.stdout"), "[]");
        const ConnectionStatus status = restic.engine().probe(restic.environment(), {}, bound);
        if (missing)
            QVERIFY(status == ConnectionStatus::notInitialized());
        else if (error.isEmpty())
            QVERIFY(status == ConnectionStatus::ok(0));
        else
            QVERIFY(status == ConnectionStatus::failed(error));
        for (const QString &command : { QStringLiteral("snapshots"), QStringLiteral("check") }) {
            try {
                const ResticResult result
                    = restic.engine().withRetryBound(bound).run(ResticCommand(command), restic.environment());
                QCOMPARE(result.exitCode, 0);
                QVERIFY2(error.isEmpty(), qPrintable(command));
            } catch (const ResticError &thrown) {
                QCOMPARE(thrown.message(), error);
            }
        }
    }

    void estimateArguments()
    {
        test::TestHome home;
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("backup.stdout"), test::readData(QStringLiteral("restic/backup1-json-v.jsonl")));
        const BackupEstimate estimate = restic.engine().estimateBackupSize(
            { "/data", "--password-command=x" }, { "~", "~/Caches", "~bob/x", "*.tmp" }, restic.environment());
        QVERIFY(estimate == (BackupEstimate { 7, 270394 }));
        QCOMPARE(restic.arguments(),
            QStringList(
                { "backup", "--dry-run", "--json", "--exclude", home.path(), "--exclude", home.path() + "/Caches",
                    "--exclude", "~bob/x", "--exclude", "*.tmp", "--", "/data", "--password-command=x" }));
    }

    void estimateSummary_data()
    {
        QTest::addColumn<QByteArray>("stdout");
        QTest::addColumn<int>("exit");
        QTest::addColumn<int>("files");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("error");
        QTest::newRow("last summary wins") << QByteArray(
            R"({"message_type":"summary","total_files_processed":1,"total_bytes_processed":10})"
            "\n"
            R"({"message_type":"summary","total_files_processed":2,"total_bytes_processed":20})"
            "\n\n") << 0 << 2 << qint64(20) << QString();
        QTest::newRow("text after it") << QByteArray(R"({"message_type":"summary","total_files_processed":3})"
                                                     "\nnot json\n[1]\n")
                                       << 0 << 3 << qint64(0) << QString();
        QTest::newRow("no summary") << QByteArray(R"({"message_type":"status"})") << 0 << 0 << qint64(0)
                                    << "The scan returned no summary. Its size could not be verified.";
        QTest::newRow("incomplete scan") << QByteArray(R"({"message_type":"summary"})") << 3 << 0 << qint64(0)
                                         << "restic exited with code 3";
    }
    void estimateSummary()
    {
        QFETCH(QByteArray, stdout);
        QFETCH(int, exit);
        QFETCH(int, files);
        QFETCH(qint64, bytes);
        QFETCH(QString, error);
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("stdout"), stdout);
        restic.set(QStringLiteral("exit"), QByteArray::number(exit));
        try {
            const BackupEstimate estimate = restic.engine().estimateBackupSize({ "/data" }, {}, restic.environment());
            QVERIFY(error.isEmpty());
            QVERIFY(estimate == (BackupEstimate { files, bytes }));
        } catch (const ResticError &e) {
            QCOMPARE(e.message(), error);
        }
    }

    void retention_data()
    {
        QTest::addColumn<bool>("prune");
        QTest::addColumn<bool>("dryRun");
        QTest::addColumn<QByteArray>("stdout");
        QTest::addColumn<QStringList>("mode");
        QTest::addColumn<int>("removed");
        const QByteArray dryRun = test::readData(QStringLiteral("restic/forget-dry-run-json.json"));
        const QByteArray pruned = test::readData(QStringLiteral("restic/forget-prune-json.txt"));
        QTest::newRow("dry run wins over prune") << true << true << dryRun << QStringList { "--dry-run" } << 5;
        QTest::newRow("prune: the array before prune's report")
            << true << false << pruned << QStringList { "--prune", "--max-unused", "10%" } << 2;
        QTest::newRow("forget only") << false << false
                                     << QByteArray(R"([{"remove":null},{"remove":{}},{"remove":[{}]}])")
                                     << QStringList() << 1;
        QTest::newRow("undecodable") << false << false << QByteArray("removed 3 snapshots") << QStringList() << 0;
        QTest::newRow("not objects") << false << false << QByteArray(R"([{"remove":[{}]},1])") << QStringList() << 0;
    }
    void retention()
    {
        QFETCH(bool, prune);
        QFETCH(bool, dryRun);
        QFETCH(QByteArray, stdout);
        QFETCH(QStringList, mode);
        QFETCH(int, removed);
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("forget.stdout"), stdout);
        const Destination::RetentionPolicy policy { 1, 0, 0, 2 };
        QCOMPARE(restic.engine().applyRetention(policy, prune, dryRun, restic.environment()), removed);
        QStringList expected { "forget", "--json" }; // a first attempt never waits for a lock
        expected << mode;
        for (const QString &host : MachineIdentity::knownHostnames())
            expected << "--host" << host;
        expected << "--keep-daily"
                 << "1"
                 << "--keep-weekly"
                 << "0"
                 << "--keep-monthly"
                 << "0"
                 << "--keep-yearly"
                 << "2";
        QCOMPARE(restic.arguments(), expected);
    }

    void retentionRefusesAPolicyKeepingNothing()
    {
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("forget.stdout"), "[]");
        const ResticEngine engine = restic.engine();
        for (const Destination::RetentionPolicy &policy :
            { Destination::RetentionPolicy { 0, 0, 0, 0 }, Destination::RetentionPolicy { -1, 1, 0, 0 } }) {
            try {
                engine.applyRetention(policy, true, false, restic.environment());
                QFAIL("a policy keeping nothing was applied");
            } catch (const EngineRefusal &e) {
                QCOMPARE(
                    e.message(), QStringLiteral("Choose at least one retained snapshot before applying retention."));
            }
        }
        QVERIFY(!restic.ran());
        QCOMPARE(engine.applyRetention({ 0, 0, 0, 1 }, false, false, restic.environment()), 0);
        QVERIFY(restic.ran());
        restic.set(QStringLiteral("forget.exit"), "11");
        restic.set(QStringLiteral("forget.stderr"), "Fatal: repository is already locked\n");
        QVERIFY_THROWS_EXCEPTION(ResticError, engine.applyRetention({ 0, 0, 0, 1 }, false, true, restic.environment()));
    }
};

QTEST_GUILESS_MAIN(RepositoryOperationsTest)
#include "RepositoryOperationsTest.moc"
