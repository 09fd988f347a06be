#include "AgentFixture.h"
#include "config/UserDefaults.h"

#include <QDir>
#include <QtTest>

using namespace vellmir;
using vellmir::test::AgentFixture;

Q_DECLARE_METATYPE(vellmir::AgentService::Status)

namespace {

const QString idA = QStringLiteral("aaaaaaaa11111111aaaaaaaa11111111aaaaaaaa11111111aaaaaaaa11111111");
const QString idB = QStringLiteral("aaaaaaaa22222222bbbbbbbb22222222bbbbbbbb22222222bbbbbbbb22222222");
const QString idC = QStringLiteral("cccccccc33333333cccccccc33333333cccccccc33333333cccccccc33333333");

QByteArray node(const QString &path, const char *type)
{
    return QJsonDocument(QJsonObject { { "path", path }, { "type", type }, { "size", 7 }, { "struct_type", "node" },
                             { "message_type", "node" } })
               .toJson(QJsonDocument::Compact)
        + '\n';
}

// The first line of "restic ls --json": the snapshot it lists.
QByteArray snapshotLine(const QString &id)
{
    return QJsonDocument(QJsonObject { { "id", id }, { "short_id", id.left(8) }, { "time", "2025-01-01T10:00:00Z" },
                             { "struct_type", "snapshot" }, { "message_type", "snapshot" } })
               .toJson(QJsonDocument::Compact)
        + '\n';
}

} // namespace

class AgentControlReadTest : public QObject {
    Q_OBJECT

    std::unique_ptr<AgentFixture> f;

    void threeSnapshots()
    {
        f->script("snapshots.stdout",
            test::snapshotsJson(
                { { idC, "2025-01-01T10:00:00Z" }, { idB, "2025-01-02T10:00:00Z" }, { idA, "2025-01-03T10:00:00Z" } }));
    }

private Q_SLOTS:
    void init() { f = std::make_unique<AgentFixture>(); }
    void cleanup() { f.reset(); }

    void statusSummarisesEachDestination()
    {
        const Destination none = f->add("Empty", { "/a", "/b" });
        const Destination some = f->add("Some");
        f->record(some, 100, BackupRecord::Outcome::complete, 160);
        f->record(some, 200, BackupRecord::Outcome::failed, 210);
        const Destination open = f->add("Open");
        f->record(open, 100, BackupRecord::Outcome::complete);
        f->record(open, 50, BackupRecord::Outcome::complete, 60);
        const Destination ahead = f->add("Ahead");
        f->record(ahead, 100, BackupRecord::Outcome::complete, 160);
        f->record(ahead, 4e9, BackupRecord::Outcome::complete, 4e9 + 60); // the year 2127
        f->store->setChangesWithoutApproval(true);

        const QJsonObject status = f->run("status");
        QCOMPARE(status.value("backgroundAgent").toString(), QStringLiteral("off (no destination has a schedule)"));
        QCOMPARE(status.value("changesWithoutApproval").toBool(), true);
        QCOMPARE(status.value("configuration").toString(), QStringLiteral("sealed"));
        const QJsonArray list = status.value("destinations").toArray();
        QCOMPARE(list.size(), 4);

        const QJsonObject empty = list.at(0).toObject();
        QCOMPARE(empty.keys(), QStringList({ "id", "kind", "name", "schedule", "sources" }));
        QCOMPARE(empty.value("id").toString(), uuidText(none.id));
        QCOMPARE(empty.value("sources").toInt(), 2);

        const QJsonObject withRuns = list.at(1).toObject();
        QCOMPARE(withRuns.value("latest").toObject().value("outcome").toString(), QStringLiteral("failed"));
        QCOMPARE(withRuns.value("lastComplete").toString(), QStringLiteral("2001-01-01T00:02:40Z"));

        // The newest complete run is still open-ended: no lastComplete from an older one.
        const QJsonObject unfinished = list.at(2).toObject();
        QVERIFY(unfinished.contains("latest"));
        QVERIFY(!unfinished.contains("lastComplete"));

        // A run dated after now is not the last complete one, and is named as lying ahead.
        const QJsonObject future = list.at(3).toObject();
        QCOMPARE(future.value("lastComplete").toString(), QStringLiteral("2001-01-01T00:02:40Z"));
        QVERIFY2(future.value("datedInFuture").toString().startsWith("A backup is dated 2127-"),
            qPrintable(future.value("datedInFuture").toString()));
    }

    void statusSurvivesAnUnreadableHistory()
    {
        const Destination d = f->add("Photos");
        f->record(d, 100, BackupRecord::Outcome::complete, 160);
        // A damaged record is set aside and hides nothing.
        const QString folder = f->control->history().directory();
        test::writeFile(folder + "/broken.json", "{");
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("broken\\.json")));
        QVERIFY(f->run("status").value("destinations").toArray().first().toObject().contains("latest"));

        QVERIFY(QDir(folder).removeRecursively());
        test::writeFile(folder, "not a folder");
        const QJsonObject entry = f->run("status").value("destinations").toArray().first().toObject();
        QVERIFY(!entry.contains("latest"));
        QCOMPARE(entry.value("name").toString(), QStringLiteral("Photos"));
        // Not as if it had never been backed up: it says why nothing is known.
        QVERIFY2(entry.value("historyError").toString().startsWith("Could not list the history folder"),
            qPrintable(entry.value("historyError").toString()));
        // The full view reports what the summary leaves out.
        QVERIFY_THROWS_EXCEPTION(Error, f->run("destination", { { "destination", "Photos" } }));
    }

    void backgroundAgentStates_data()
    {
        QTest::addColumn<AgentService::Status>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("enabled") << AgentService::Status::enabled << "on";
        QTest::newRow("not found") << AgentService::Status::notFound << "unavailable";
        // Off although a destination is daily: its backups never start, and the reply says why.
        test::dataRow("registration failed", AgentService::Status::notRegistered,
            "off: registering the systemd user timer failed: No user manager.");
        test::dataRow("not registered", AgentService::Status::notRegistered,
            "off: the systemd user timer is not registered, although a destination has "
            "a schedule");
    }
    void backgroundAgentStates()
    {
        QFETCH(AgentService::Status, status);
        QFETCH(QString, text);
        f->agentStatus = status;
        if (status == AgentService::Status::notRegistered) {
            Destination daily = f->add("Photos");
            daily.schedule = Destination::Schedule::daily;
            f->store->upsert(daily);
            if (text.contains("failed"))
                UserDefaults().setValue(UserDefaults::schedulerRegistrationFailure, QStringLiteral("No user manager."));
        }
        QCOMPARE(f->run("status").value("backgroundAgent").toString(), text);
    }

    // A long-running server keeps the verified configuration and the agent's registration while
    // the files behind them are unchanged: a keyring that fails to read goes unnoticed then, as
    // nothing is read. Each change another process makes is seen at the next command.
    void keptStateFollowsChangesMadeElsewhere_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<int>("agentAsked");
        test::dataRow("nothing", "", "Photos", "sealed", 1);
        test::dataRow("renamed elsewhere", "rename", "Pictures", "sealed", 1);
        test::dataRow("secret replaced", "secret", "", "changed-outside-vellmir", 1);
        test::dataRow("timer disabled", "unit", "Photos", "sealed", 2);
    }
    void keptStateFollowsChangesMadeElsewhere()
    {
        QFETCH(QString, change);
        QFETCH(QString, name);
        QFETCH(QString, configuration);
        QFETCH(int, agentAsked);
        const QString keyring = f->home.path() + QStringLiteral("/keyrings");
        const QString wants = f->home.path() + QStringLiteral("/units/timers.target.wants");
        QVERIFY(QDir().mkpath(keyring) && QDir().mkpath(wants));
        test::writeFile(keyring + QStringLiteral("/login.keyring"), "1");
        test::writeFile(wants + QStringLiteral("/vellmir-scheduler.timer"), "1");
        f->build(std::make_shared<AgentKeptState>(AgentKeptState::Files { {}, { keyring }, { wants } }));
        Destination photos = f->add("Photos");
        QCOMPARE(f->run("status").value("destinations").toArray().size(), 1);

        if (change == "rename") {
            DestinationStore other(f->store->filePath(), f->credentials, f->keys);
            photos.name = QStringLiteral("Pictures");
            other.upsert(photos);
        } else if (change == "secret") {
            f->credentials.setSecret(QStringLiteral("new"), CredentialRole::repoPassword, photos.credentialID);
            test::writeFile(keyring + QStringLiteral("/login.keyring"), "2");
        } else if (change == "unit") {
            QVERIFY(QFile::remove(wants + QStringLiteral("/vellmir-scheduler.timer")));
        }
        f->secrets->failReads = change.isEmpty();
        const QJsonObject status = f->run("status");
        QCOMPARE(status.value("configuration").toString(), configuration);
        const QJsonArray destinations = status.value("destinations").toArray();
        QCOMPARE(destinations.isEmpty() ? QString() : destinations.first()["name"].toString(), name);
        QCOMPARE(f->agentAsked, agentAsked);
    }

    void statusReportsAnOutsideChange()
    {
        f->add("Photos");
        QFile file(f->store->filePath());
        QVERIFY(file.open(QIODevice::Append));
        file.write(" ");
        file.close();
        QCOMPARE(f->run("status").value("configuration").toString(), QStringLiteral("changed-outside-vellmir"));
        // Without a seal nothing is trusted: the destinations, and their schedules, wait for the review.
        QVERIFY(QFile::remove(f->store->seal().sealPath()));
        QCOMPARE(f->run("status").value("backgroundAgent").toString(),
            QStringLiteral("off: destinations await review in Vellmir's window"));
    }

    void destinationShowsConfigurationRunsAndHealth()
    {
        const Destination d = f->add("Photos", { "/a" });
        QJsonObject detail = f->run("destination", { { "destination", "Photos" } });
        QVERIFY(!detail.contains("credentialID"));
        QVERIFY(!detail.contains("lastBackup"));
        QCOMPARE(detail.value("name").toString(), QStringLiteral("Photos"));
        QCOMPARE(detail.value("sources").toArray(), QJsonArray { "/a" });
        QCOMPARE(detail.value("recentRuns").toArray(), QJsonArray());
        QVERIFY(detail.value("alwaysExcluded").isArray());
        QCOMPARE(detail.value("alwaysExcluded").toArray(), QJsonArray());
        QCOMPARE(detail.value("health").toObject().value("usage").toArray(), QJsonArray());

        for (int i = 0; i < 7; ++i)
            f->record(d, 100 + i, BackupRecord::Outcome::complete, 150 + i);
        f->control->health().update(d.id, [&d](RepositoryHealth &health) {
            health.repository = d.repository;
            health.lastIntegrityCheck = Date { 60 };
            health.integritySucceeded = true;
            health.appendUsage({ newUuid(), Date { 120 }, 42 });
        });
        detail = f->run("destination", { { "destination", "Photos" } });
        const QJsonArray runs = detail.value("recentRuns").toArray();
        QCOMPARE(runs.size(), 5);
        QCOMPARE(runs.first().toObject().value("startedAt").toString(), QStringLiteral("2001-01-01T00:01:46Z"));
        const QJsonObject health = detail.value("health").toObject();
        QCOMPARE(health.value("lastIntegrityCheck").toString(), QStringLiteral("2001-01-01T00:01:00Z"));
        QCOMPARE(health.value("integritySucceeded").toBool(), true);
        QCOMPARE(health.value("usage").toArray().first().toObject().value("date").toString(),
            QStringLiteral("2001-01-01T00:02:00Z"));
    }

    void snapshotsAreCutToTheLimit_data()
    {
        QTest::addColumn<QJsonValue>("limit");
        QTest::addColumn<QStringList>("shortIDs");
        test::dataRow("default", QJsonValue(QJsonValue::Undefined), QStringList { "aaaaaaaa", "aaaaaaaa", "cccccccc" });
        QTest::newRow("larger") << QJsonValue(50) << QStringList { "aaaaaaaa", "aaaaaaaa", "cccccccc" };
        QTest::newRow("one") << QJsonValue(1) << QStringList { "aaaaaaaa" };
        QTest::newRow("zero") << QJsonValue(0) << QStringList {};
    }
    void snapshotsAreCutToTheLimit()
    {
        QFETCH(QJsonValue, limit);
        QFETCH(QStringList, shortIDs);
        f->add("Photos");
        threeSnapshots();
        QJsonObject arguments { { "destination", "Photos" } };
        if (!limit.isUndefined())
            arguments.insert("limit", limit);
        const QJsonObject reply = f->run("snapshots", arguments);
        QCOMPARE(reply.value("total").toInt(), 3);
        QStringList got;
        for (const QJsonValue &value : reply.value("snapshots").toArray())
            got << value.toObject().value("shortID").toString();
        QCOMPARE(got, shortIDs);
        if (!shortIDs.isEmpty()) {
            const QJsonObject newest = reply.value("snapshots").toArray().first().toObject();
            QCOMPARE(newest.value("id").toString(), idA);
            QCOMPARE(newest.value("time").toString(), QStringLiteral("2025-01-03T10:00:00Z"));
            QCOMPARE(newest.value("bytes").toInteger(), 1234);
        }
    }

    void snapshotsWithoutPasswordFail()
    {
        f->add("Photos", {}, std::nullopt, false);
        const std::optional<AgentError> error = f->failure("snapshots", { { "destination", "Photos" } });
        QVERIFY(error && error->kind() == AgentError::Kind::failed);
        QVERIFY(!f->resticRan());
    }

    void keyringReadEndedByTheStopIsCancelled_data()
    {
        QTest::addColumn<bool>("sealKey");
        QTest::newRow("seal key") << true;
        QTest::newRow("password") << false;
    }
    void keyringReadEndedByTheStopIsCancelled()
    {
        QFETCH(bool, sealKey);
        f->add("Photos");
        (sealKey ? f->keys->cancelReads : f->secrets->cancelReads) = true;
        try {
            f->run("snapshots", { { "destination", "Photos" } });
            QFAIL("no error");
        } catch (const CancellationError &) {
        }
        QVERIFY(!f->resticRan());
    }

    void resticFailurePassesThroughUnchanged()
    {
        f->add("Photos");
        f->script("snapshots.exit", "1");
        f->script("snapshots.stderr", "Fatal: wrong password or no key found\n");
        try {
            f->run("snapshots", { { "destination", "Photos" } });
            QFAIL("no error");
        } catch (const AgentError &) {
            QFAIL("an engine error stays the engine's");
        } catch (const Error &error) {
            QCOMPARE(error.message(), QStringLiteral("Fatal: wrong password or no key found"));
        }
    }

    void findSnapshot_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("found"); // full id, or empty for not found
        QTest::newRow("latest") << "latest" << idA;
        QTest::newRow("full id") << idC << idC;
        QTest::newRow("short id") << "cccccccc" << idC;
        test::dataRow("seven characters are no prefix", "ccccccc", "");
        QTest::newRow("unique eight-plus prefix") << "aaaaaaaa1" << idA;
        test::dataRow("short id shared by two", "aaaaaaaa", "");
        test::dataRow("upper case", "CCCCCCCC", "");
        test::dataRow("Latest", "Latest", "");
    }
    void findSnapshot()
    {
        QFETCH(QString, query);
        QFETCH(QString, found);
        threeSnapshots();
        try {
            QCOMPARE(f->control->findSnapshot(query, {}).id, found);
        } catch (const AgentError &error) {
            QVERIFY(found.isEmpty());
            QVERIFY(error.kind() == AgentError::Kind::notFound);
            QCOMPARE(error.message(), QStringLiteral("No single snapshot matches \"%1\".").arg(query));
        }
    }

    void latestOfAnEmptyRepositoryIsNotFound()
    {
        f->script("snapshots.stdout", "[]");
        QVERIFY_THROWS_EXCEPTION(AgentError, f->control->findSnapshot("latest", {}));
    }

    void browseListsOneFolder_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("truncated");
        QTest::addColumn<QString>("path"); // as given; empty: none
        QTest::addColumn<QString>("listed"); // as restic is asked for it
        QTest::newRow("999") << 999 << false << QString() << QStringLiteral("/");
        QTest::newRow("1000") << 1000 << true << QString() << QStringLiteral("/");
        // As tab completion writes it: the same folder.
        QTest::newRow("empty and dot steps, closing slash")
            << 1 << false << QStringLiteral("//a/./b/") << QStringLiteral("/a/b");
    }
    void browseListsOneFolder()
    {
        QFETCH(int, count);
        QFETCH(bool, truncated);
        QFETCH(QString, path);
        QFETCH(QString, listed);
        f->add("Photos");
        // restic finds the snapshot itself and names it first: no listing runs before.
        f->script("snapshots.exit", "1");
        QByteArray listing = snapshotLine(idC);
        for (int i = 0; i < count; ++i)
            listing += node(QStringLiteral("/f%1").arg(i, 4, 10, QLatin1Char('0')), "file");
        f->script("ls.stdout", listing);
        QJsonObject arguments { { "destination", "Photos" }, { "snapshot", "cccccccc" } };
        if (!path.isEmpty())
            arguments.insert("path", path);
        const QJsonObject reply = f->run("browse", arguments);
        QCOMPARE(reply.value("snapshot").toString(), QStringLiteral("cccccccc"));
        QCOMPARE(reply.value("path").toString(), listed);
        QCOMPARE(reply.value("truncated").toBool(), truncated);
        const QJsonArray entries = reply.value("entries").toArray();
        QCOMPARE(entries.size(), count);
        QCOMPARE(entries.first().toObject(), QJsonObject({ { "path", "/f0000" }, { "type", "file" }, { "size", 7 } }));
        const QStringList resticArguments = f->resticArguments();
        QVERIFY(!resticArguments.contains("--recursive"));
        QCOMPARE(resticArguments.mid(resticArguments.size() - 2), QStringList({ "cccccccc", listed }));
    }

    void browseSearchesBelowThePath()
    {
        f->add("Photos");
        threeSnapshots();
        f->script("ls.stdout", node("/docs/a/Report.txt", "file") + node("/docs/b.txt", "file"));
        const QJsonObject reply = f->run("browse",
            { { "destination", "Photos" }, { "snapshot", "latest" }, { "path", "/docs" }, { "search", "report" } });
        QCOMPARE(reply.value("path").toString(), QStringLiteral("/docs"));
        QCOMPARE(reply.value("entries").toArray().size(), 1);
        QVERIFY(f->resticArguments().contains("--recursive"));
        QCOMPARE(f->failure("browse", { { "destination", "Photos" }, { "snapshot", "" } })->message(),
            QStringLiteral("snapshot must not be empty."));

        // Nothing found in a folder the snapshot has is an empty answer; in one it lacks, not found.
        f->script("ls.stdout", node("/docs", "dir") + node("/docs/b.txt", "file"));
        const auto search = [](const char *path) {
            return QJsonObject { { "destination", "Photos" }, { "snapshot", "latest" }, { "path", path },
                { "search", "zzz" } };
        };
        QCOMPARE(f->run("browse", search("/docs")).value("entries").toArray().size(), 0);
        const std::optional<AgentError> missing = f->failure("browse", search("/gone"));
        QVERIFY(missing && missing->kind() == AgentError::Kind::notFound);

        // A query restic does not find is the lookup's not-found; one restic is not handed
        // (too short a prefix) is looked up first, as before.
        f->script("ls.exit", "1");
        f->script("ls.stderr", "{\"message_type\":\"exit_error\",\"code\":1,\"message\":\"Fatal: no matching ID\"}\n");
        for (const QString &query : { QStringLiteral("dddddddd"), QStringLiteral("ccc") }) {
            const std::optional<AgentError> error
                = f->failure("browse", { { "destination", "Photos" }, { "snapshot", query } });
            QVERIFY(error && error->kind() == AgentError::Kind::notFound);
        }
    }
};

QTEST_GUILESS_MAIN(AgentControlReadTest)
#include "AgentControlReadTest.moc"
