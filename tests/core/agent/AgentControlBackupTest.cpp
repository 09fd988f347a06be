#include "AgentFixture.h"
#include "config/FileLock.h"
#include "util/Json.h"

#include <QtTest>
#include <thread>

using namespace vellmir;
using vellmir::test::AgentFixture;

class AgentControlBackupTest : public QObject {
    Q_OBJECT

    std::unique_ptr<AgentFixture> f;

    Destination photos()
    {
        QDir().mkpath(f->home.path() + "/Pictures");
        Destination d = f->add("Photos", { f->home.path() + "/Pictures" });
        return d;
    }
    void writeResult(const BackupRequests::Result &result)
    {
        QDir().mkpath(f->control->requests().directory());
        test::writeFile(f->control->requests().resultFilePath(result.requestID), json::compact(result.toJson()));
    }

private Q_SLOTS:
    void init() { f = std::make_unique<AgentFixture>(); }
    void cleanup() { f.reset(); }

    void backupWithoutFoldersWritesNoRequest()
    {
        f->add("Empty");
        const std::optional<AgentError> error = f->failure("backup", { { "destination", "Empty" } });
        QVERIFY(error && error->kind() == AgentError::Kind::failed);
        QCOMPARE(error->message(), QStringLiteral("Empty has no folders to back up."));
        QVERIFY(f->control->requests().pending().isEmpty());
        QVERIFY(f->kicks.isEmpty());
    }

    void backupQueuesOnceAndStartsTheAgent()
    {
        const Destination d = photos();
        const QJsonObject first = f->run("backup", { { "destination", "Photos" } });
        QCOMPARE(first.value("mode").toString(), QStringLiteral("background-agent"));
        QCOMPARE(first.value("state").toString(), QStringLiteral("started"));
        QCOMPARE(first.value("next").toString(),
            QStringLiteral("Run backup-result with this request id, or history, to see the outcome."));
        const QList<BackupRequests::Request> pending = f->control->requests().pending();
        QCOMPARE(pending.size(), 1);
        QCOMPARE(first.value("request").toString(), uuidText(pending.first().id));
        QCOMPARE(pending.first().destinationID, d.id);

        const QJsonObject second = f->run("backup", { { "destination", "Photos" } });
        QCOMPARE(second.value("request"), first.value("request"));
        QCOMPARE(f->kicks.size(), 2);

        // backup-result sees the queued request as running, whatever the id's letter case.
        QCOMPARE(f->run("backup-result", { { "request", first.value("request").toString().toLower() } }),
            QJsonObject({ { "request", first.value("request") }, { "state", "running" } }));
    }

    void agentThatCannotStartWithdrawsTheRequest()
    {
        photos();
        f->kickFailure = QStringLiteral("The background agent could not be started (no bus).");
        const std::optional<AgentError> error = f->failure("backup", { { "destination", "Photos" } });
        QVERIFY(error && error->kind() == AgentError::Kind::failed);
        QCOMPARE(error->message(),
            QStringLiteral(
                "The background agent could not be started (no bus). Give inProcess true (--inProcess on the command "
                "line) to run it here instead."));
        QVERIFY(f->control->requests().pending().isEmpty());
    }

    void waitingBackupReportsTheResult()
    {
        const Destination d = photos();
        const BackupRecord record = f->record(d, 100, BackupRecord::Outcome::complete, 200);
        const BackupRequests::Request request = f->control->requests().enqueue(d.id, Date::now());
        writeResult({ request.id, d.id, record.id, QStringLiteral("complete"), QStringLiteral("All good.") });

        const QJsonObject reply = f->run("backup", { { "destination", "Photos" }, { "waitSeconds", 5 } });
        QCOMPARE(reply.value("state").toString(), QStringLiteral("finished"));
        QCOMPARE(reply.value("request").toString(), uuidText(request.id));
        QCOMPARE(reply.value("outcome").toString(), QStringLiteral("complete"));
        QCOMPARE(reply.value("message").toString(), QStringLiteral("All good."));
        QCOMPARE(reply.value("run").toObject().value("id").toString(), uuidText(record.id));
    }

    void waitEndsWithStartedWhenNoResultComes()
    {
        photos();
        QElapsedTimer timer;
        timer.start();
        const QJsonObject reply = f->run("backup", { { "destination", "Photos" }, { "waitSeconds", 1 } });
        QCOMPARE(reply.value("state").toString(), QStringLiteral("started"));
        QVERIFY(timer.elapsed() >= 1000);
    }

    void resultArrivingDuringTheWaitIsSeen()
    {
        const Destination d = photos();
        const BackupRequests::Request request = f->control->requests().enqueue(d.id, Date::now());
        std::jthread writer([this, &request, &d] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            writeResult({ request.id, d.id, std::nullopt, QStringLiteral("failed"), std::nullopt });
        });
        const QJsonObject reply = f->run("backup", { { "destination", "Photos" }, { "waitSeconds", 10 } });
        QCOMPARE(reply.value("outcome").toString(), QStringLiteral("failed"));
        QVERIFY(!reply.contains("run"));
        QVERIFY(!reply.contains("message"));
    }

    void stopEndsTheWait()
    {
        photos();
        std::stop_source stop;
        std::jthread stopper([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop.request_stop();
        });
        QVERIFY_THROWS_EXCEPTION(CancellationError,
            f->run("backup", { { "destination", "Photos" }, { "waitSeconds", 60 } }, stop.get_token()));
    }

    void malformedValueQueuesNothing_data()
    {
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<QString>("message");
        test::dataRow("wait", QJsonObject { { "destination", "Photos" }, { "waitSeconds", "soon" } },
            "waitSeconds must be a whole number.");
        test::dataRow("switch", QJsonObject { { "destination", "Photos" }, { "inProcess", "maybe" } },
            "inProcess must be true or false.");
        // Refused with its range rather than cut short without a word.
        test::dataRow("wait beyond 100 years",
            QJsonObject { { "destination", "Photos" }, { "waitSeconds", 99999999999.0 } },
            "waitSeconds must be a whole number from 0 to 3153600000.");
    }
    void malformedValueQueuesNothing()
    {
        QFETCH(QJsonObject, arguments);
        QFETCH(QString, message);
        photos();
        const std::optional<AgentError> error = f->failure("backup", arguments);
        QVERIFY(error && error->kind() == AgentError::Kind::usage);
        QCOMPARE(error->message(), message);
        QVERIFY(f->control->requests().pending().isEmpty());
        QVERIFY(f->kicks.isEmpty());
        QVERIFY(!f->resticRan());
    }

    void backupResultOfFinishedAndUnknownRequests()
    {
        const Destination d = photos();
        const QUuid finished = newUuid();
        const QUuid gone = newUuid();
        writeResult({ finished, d.id, gone, QStringLiteral("incomplete"), std::nullopt });
        const QJsonObject reply = f->run("backup-result", { { "request", uuidText(finished).toLower() } });
        QCOMPARE(reply,
            QJsonObject({ { "mode", "background-agent" }, { "request", uuidText(finished) }, { "state", "finished" },
                { "outcome", "incomplete" } })); // the deleted record leaves no "run"

        const std::optional<AgentError> unknown = f->failure("backup-result", { { "request", uuidText(gone) } });
        QVERIFY(unknown && unknown->kind() == AgentError::Kind::notFound);
        QCOMPARE(unknown->message(),
            QStringLiteral("No backup request %1. Results are kept for seven days.").arg(uuidText(gone)));
        const std::optional<AgentError> malformed
            = f->failure("backup-result", { { "request", "{" + uuidText(gone) + "}" } });
        QVERIFY(malformed && malformed->kind() == AgentError::Kind::usage);
        QCOMPARE(malformed->message(), QStringLiteral("request must be a request id."));

        test::writeFile(f->control->requests().resultFilePath(gone), "{");
        const std::optional<AgentError> damaged = f->failure("backup-result", { { "request", uuidText(gone) } });
        QVERIFY(damaged && damaged->kind() == AgentError::Kind::failed);
        QVERIFY(damaged->message().startsWith(
            QStringLiteral("The result of backup request %1 is damaged: ").arg(uuidText(gone))));
    }

    void inProcessBackupRunsHereAndReportsTheRecord()
    {
        Destination d = photos();
        d.pruneAfterBackup = false;
        f->store->upsert(d);
        f->script("backup.stdout", test::readData("restic/backup1-json-v.jsonl"));
        // Another run's record that sorts newest must not stand in for this run's.
        const BackupRecord later = f->record(d, Date::now().seconds + 3600, BackupRecord::Outcome::failed);
        const QJsonObject reply = f->run("backup", { { "destination", "Photos" }, { "inProcess", "yes" } });
        QCOMPARE(reply.value("mode").toString(), QStringLiteral("in-process"));
        QCOMPARE(reply.value("fullDiskAccess").toBool(), true);
        const QJsonObject run = reply.value("run").toObject();
        QCOMPARE(run.value("outcome").toString(), QStringLiteral("complete"));
        QCOMPARE(run.value("destinationID").toString(), uuidText(d.id));
        QVERIFY(run.value("id").toString() != uuidText(later.id));
        QVERIFY(run.value("finishedAt").isString());
        QVERIFY(f->control->requests().pending().isEmpty());
        QVERIFY(f->kicks.isEmpty());
    }

    void checkReportsPassAndFailure_data()
    {
        QTest::addColumn<int>("exit");
        QTest::addColumn<bool>("passed");
        QTest::addColumn<QString>("message");
        QTest::newRow("passed") << 0 << true << RepositoryHealthStore::checkSucceededMessage();
        QTest::newRow("failed") << 1 << false << "Check failed: pack damaged\n";
    }
    void checkReportsPassAndFailure()
    {
        QFETCH(int, exit);
        QFETCH(bool, passed);
        QFETCH(QString, message);
        photos();
        f->script("check.exit", QByteArray::number(exit));
        f->script("check.stderr", exit ? "pack damaged\n" : "");
        const QJsonObject reply = f->run("check", { { "destination", "Photos" } });
        QCOMPARE(reply, QJsonObject({ { "destination", "Photos" }, { "passed", passed }, { "message", message } }));
    }

    // A check that never ran says nothing about the repository: the command fails with the
    // reason, and neither an old message nor "passed": false stands in for it.
    void checkThatNeverRanFails_data()
    {
        QTest::addColumn<bool>("withPassword");
        QTest::addColumn<bool>("resticLocked"); // restic refuses it for another's lock, twice
        QTest::addColumn<QString>("ending");
        QTest::newRow("no password") << false << false << "supply its credentials before running.";
        QTest::newRow("busy with a backup") << true << false << FileLock::busyMessage();
        QTest::newRow("locked by another restic") << true << true << "already locked by PID 1 on host by user";
    }
    void checkThatNeverRanFails()
    {
        QFETCH(bool, withPassword);
        QFETCH(bool, resticLocked);
        QFETCH(QString, ending);
        const Destination d = f->add("Photos", { f->home.path() }, std::nullopt, withPassword);
        f->control->health().update(d.id, [&d](RepositoryHealth &health) {
            health.repository = d.repository;
            health.lastIntegrityCheck = Date { 10 };
            health.integritySucceeded = true;
            health.integrityMessage = RepositoryHealthStore::checkSucceededMessage();
        });
        std::unique_ptr<FileLock> backup;
        if (resticLocked)
            f->script("check.locked", "2");
        else
            backup = FileLock::repository(d.repository, f->engine().lockDirectory().value());
        const std::optional<AgentError> error = f->failure("check", { { "destination", "Photos" } });
        QVERIFY(error);
        QVERIFY(error->kind() == AgentError::Kind::failed);
        QVERIFY2(error->message().endsWith(ending), qPrintable(error->message()));
        QCOMPARE(f->resticRan(), resticLocked);
        QVERIFY(f->control->health().load(d).lastIntegrityCheck == std::optional<Date>(Date { 10 }));
    }
};

QTEST_GUILESS_MAIN(AgentControlBackupTest)
#include "AgentControlBackupTest.moc"
