#include "AgentFixture.h"

#include <QtTest>
#include <ctime>

using namespace vellmir;
using vellmir::test::AgentFixture;

namespace {

QUuid uuid(const char *text)
{
    return *parseUuid(QString::fromLatin1(text));
}

QStringList names(const QJsonArray &array, const char *key)
{
    QStringList list;
    for (const QJsonValue &value : array)
        list << value.toObject().value(QString::fromLatin1(key)).toString();
    return list;
}

} // namespace

class AgentControlTest : public QObject {
    Q_OBJECT

    std::unique_ptr<AgentFixture> f;

private Q_SLOTS:
    void init() { f = std::make_unique<AgentFixture>(); }
    void cleanup() { f.reset(); }

    void unknownCommandNamesTheList()
    {
        const std::optional<AgentError> error = f->failure("Status");
        QVERIFY(error && error->kind() == AgentError::Kind::usage);
        QCOMPARE(error->message(), QStringLiteral("Unknown command \"Status\". Run `vellmir commands` for the list."));
    }

    void resolve_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("found"); // a name, or the not-found message
        const QString all = QStringLiteral("No single destination matches \"%1\". Destinations: Photos, photos, "
                                           "Music, 1234ABCD-0000-4000-8000-000000000001.");
        test::dataRow("id in lower case", "abcd1234-0000-4000-8000-000000000001", "Photos");
        test::dataRow("name ignoring case, first in order", "PHOTOS", "Photos");
        test::dataRow("second by exact id", "ABCD1234-0000-4000-8000-000000000002", "photos");
        test::dataRow("unique longer prefix", "abcd1234-0000-4000-8000-0000000000",
            all.arg("abcd1234-0000-4000-8000-0000000000"));
        QTest::newRow("shared four-character prefix") << "abcd" << all.arg("abcd");
        test::dataRow("unique prefix", "ffee", "Music");
        QTest::newRow("three characters are too few") << "ffe" << all.arg("ffe");
        test::dataRow("a name that looks like a prefix wins", "1234ABCD-0000-4000-8000-000000000001",
            "1234ABCD-0000-4000-8000-000000000001");
        test::dataRow("unknown id falls through to the prefix", "ffee0000-0000-4000-8000-000000000009",
            all.arg("ffee0000-0000-4000-8000-000000000009"));
        QTest::newRow("no trimming") << " Music" << all.arg(" Music");
    }
    void resolve()
    {
        QFETCH(QString, key);
        QFETCH(QString, found);
        f->add("Photos", {}, uuid("ABCD1234-0000-4000-8000-000000000001"));
        f->add("photos", {}, uuid("ABCD1234-0000-4000-8000-000000000002"));
        f->add("Music", {}, uuid("FFEE0000-0000-4000-8000-000000000003"));
        // Its own id shares no prefix with the others; its name is another's id.
        f->add("1234ABCD-0000-4000-8000-000000000001", {}, uuid("99990000-0000-4000-8000-000000000004"));
        f->store->reload();
        const AgentParameters parameters({ { "destination", key } }, *AgentCommand::named("destination"));
        try {
            QCOMPARE(f->control->resolve(parameters).name, found);
        } catch (const AgentError &error) {
            QVERIFY(error.kind() == AgentError::Kind::notFound);
            QCOMPARE(error.message(), found);
        }
    }

    void everyDestinationCommandFailsWithoutDestinations()
    {
        for (const char *command : { "destination", "history", "snapshots", "check", "retention-preview" }) {
            const std::optional<AgentError> error = f->failure(command, { { "destination", "x" } });
            QVERIFY(error && error->kind() == AgentError::Kind::notFound);
            QCOMPARE(error->message(), QStringLiteral("No single destination matches \"x\". Destinations: none."));
        }
        const std::optional<AgentError> empty = f->failure("history", { { "destination", "" } });
        QCOMPARE(empty->message(), QStringLiteral("destination must not be empty."));
        // No destination can be named so: a usage error, with the value written out.
        const std::optional<AgentError> hidden = f->failure("history", { { "destination", "Off\u202Esite" } });
        QVERIFY(hidden && hidden->kind() == AgentError::Kind::usage);
        QCOMPARE(hidden->message(),
            QStringLiteral("destination must not contain line breaks, control characters or bidirectional formatting "
                           "characters. It was given as \"Off\u27E8U+202E\u27E9site\"."));
        // A byte that is not UTF-8 is named as such, and shown as the byte it is.
        QCOMPARE(f->failure("history", { { "destination", "Ho" + QString(QChar(0xDCED)) + "me" } })->message(),
            QStringLiteral("destination is not valid UTF-8: it holds the byte \\xED. It was given as \"Ho\\xEDme\"."));
        // Every value is checked before the destination is looked up: the same answer whatever
        // destinations there are.
        QVERIFY(f->failure("history", { { "destination", "x" }, { "limit", "x" } })->kind() == AgentError::Kind::usage);

        // Nothing trusted behind a damaged seal is not "none": the answer names the seal and the
        // review as the way out.
        f->add("Photos");
        test::writeFile(f->store->seal().sealPath(), "damaged");
        f->store->reload();
        const std::optional<AgentError> untrusted = f->failure("destination", { { "destination", "Photos" } });
        QVERIFY(untrusted && untrusted->kind() == AgentError::Kind::failed);
        QCOMPARE(untrusted->message(),
            QStringLiteral("Vellmir's record of its own settings (") + f->store->seal().sealPath()
                + QStringLiteral(") is missing or damaged, so none of its destinations can be used. Review the change "
                                 "in Vellmir's window to keep the settings as they are."));
    }

    void historyKeepsTheNewestRuns()
    {
        const Destination d = f->add("Photos");
        for (int i = 0; i < 12; ++i)
            f->record(d, 1000 + i, BackupRecord::Outcome::complete, 1000.5 + i);
        const QJsonArray runs = f->run("history", { { "destination", "Photos" } }).value("runs").toArray();
        QCOMPARE(runs.size(), 10);
        // Newest first, dates as local ISO 8601 text (the tests run in UTC).
        QCOMPARE(runs.first().toObject().value("startedAt").toString(), QStringLiteral("2001-01-01T00:16:51Z"));
        QCOMPARE(runs.first().toObject().value("finishedAt").toString(), QStringLiteral("2001-01-01T00:16:51Z"));
        QCOMPARE(f->run("history", { { "destination", "Photos" }, { "limit", 3 } }).value("runs").toArray().size(), 3);
        QCOMPARE(f->run("history", { { "destination", "Photos" }, { "limit", 0 } }),
            QJsonObject({ { "runs", QJsonArray() } }));
        QCOMPARE(f->failure("history", { { "destination", "Photos" }, { "limit", -1 } })->message(),
            QStringLiteral("limit must not be negative."));
    }

    void auditListsTheNewestFirst()
    {
        const AgentAuditLog log = f->control->audit();
        for (int i = 0; i < 25; ++i)
            log.append({ Date { 100.0 * i }, QStringLiteral("c%1").arg(i), QStringLiteral("s"),
                ApprovalDecision::approvedByUser, std::nullopt });
        QFile file(log.url());
        QVERIFY(file.open(QIODevice::Append));
        file.write("not json\n");
        file.close();

        const QJsonArray entries = f->run("audit").value("entries").toArray();
        QCOMPARE(entries.size(), 19); // the damaged line takes one of the 20 places
        QCOMPARE(entries.first().toObject().value("command").toString(), QStringLiteral("c24"));
        QCOMPARE(entries.first().toObject().value("time").toString(), QStringLiteral("2001-01-01T00:40:00Z"));
        QCOMPARE(entries.first().toObject().value("decision").toString(), QStringLiteral("approved"));
        QVERIFY(!entries.first().toObject().contains("outcome"));
        QCOMPARE(
            names(f->run("audit", { { "limit", "2" } }).value("entries").toArray(), "command"), QStringList({ "c24" }));
    }

    void retentionPreviewCountsWithoutChanging()
    {
        Destination d = f->add("Photos");
        f->script("stdout", test::readData("restic/forget-dry-run-json.json"));
        const QJsonObject reply = f->run("retention-preview", { { "destination", "photos" } });
        QCOMPARE(reply.value("destination").toString(), QStringLiteral("Photos"));
        QCOMPARE(reply.value("policy").toString(), QStringLiteral("Keep 7 daily, 4 weekly, 12 monthly, 3 yearly"));
        QVERIFY(reply.value("wouldRemove").isDouble());
        QVERIFY(f->resticArguments().contains("--dry-run"));
        QVERIFY(!f->resticArguments().contains("--prune"));
        QVERIFY(f->approver->requests.isEmpty());
    }

    void retentionPreviewWithoutPasswordFails()
    {
        f->add("Photos", {}, std::nullopt, false);
        const std::optional<AgentError> error = f->failure("retention-preview", { { "destination", "Photos" } });
        QVERIFY(error && error->kind() == AgentError::Kind::failed);
        QVERIFY2(error->message().endsWith(". Edit the destination and supply its credentials before running."),
            qPrintable(error->message()));
        QVERIFY(!f->resticRan());
    }

    void reloadFailureStopsEveryCommand()
    {
        f->add("Photos");
        f->keys->failReads = true; // the seal cannot be checked
        try {
            f->run("audit");
        } catch (const AgentError &) {
            QFAIL("a store failure is not an agent error");
        } catch (const Error &) {
            return;
        }
        // A store that loads its sealed copy instead of failing still reports the seal as unverified.
        QCOMPARE(f->run("status").value("configuration").toString(), QStringLiteral("changed-outside-vellmir"));
    }

    void folders_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("result"); // "@" stands for the home folder
        QTest::addColumn<QString>("error");
        QTest::newRow("home") << QStringList { "~" } << QStringList { "@" } << "";
        test::dataRow("below home, trimmed, cleaned, once",
            QStringList { " ~/Documents/ \n", "@/Documents/../Documents", "~/./Documents", "~" },
            QStringList { "@/Documents", "@" }, "");
        test::dataRow("relative", QStringList { "~/Documents", "Documents" }, QStringList {},
            "Documents must be an absolute path or start with ~.");
        test::dataRow(
            "other user", QStringList { "~root" }, QStringList {}, "~root must be an absolute path or start with ~.");
        test::dataRow(
            "missing, shown with a tilde", QStringList { "@/Missing" }, QStringList {}, "~/Missing does not exist.");
        QTest::newRow("a file passes") << QStringList { "~/file" } << QStringList { "@/file" } << "";
        test::dataRow("relative wins over missing in the first pass order", QStringList { "/nonexistent-x", "rel" },
            QStringList {}, "/nonexistent-x does not exist.");
    }
    void folders()
    {
        QFETCH(QStringList, paths);
        QFETCH(QStringList, result);
        QFETCH(QString, error);
        const QString home = f->home.path();
        QDir().mkpath(home + "/Documents");
        test::writeFile(home + "/file", "x");
        for (QString &path : paths)
            path.replace('@', home);
        for (QString &path : result)
            path.replace('@', home);
        try {
            QCOMPARE(AgentControl::folders(paths), result);
            QVERIFY(error.isEmpty());
        } catch (const AgentError &thrown) {
            QVERIFY(thrown.kind() == AgentError::Kind::usage);
            QCOMPARE(thrown.message(), error);
        }
    }

    void mergedAppendsWhatIsNew()
    {
        QCOMPARE(AgentControl::merged({ "a", "b" }, { "b", "c", "c" }), QStringList({ "a", "b", "c", "c" }));
        QCOMPARE(AgentControl::merged({}, { "A", "a" }), QStringList({ "A", "a" }));
    }

    void formatterWritesLocalTimeWithOffset()
    {
        const Date date = Date::fromUnix(1767225600.75); // 2026-01-01T00:00:00.75Z
        QCOMPARE(AgentControl::formatter().string(date), QStringLiteral("2026-01-01T00:00:00Z"));
        // A file may say anything: beyond the years a date can be written in, a day inside them.
        QCOMPARE(AgentControl::formatter().string(Date { 1e300 }), QStringLiteral("9999-12-30T23:59:59Z"));
        QCOMPARE(AgentControl::formatter().string(Date { -1e300 }), QStringLiteral("0001-01-02T00:00:00Z"));
        const QByteArray saved = qgetenv("TZ");
        qputenv("TZ", "America/St_Johns");
        tzset();
        const QString newfoundland = AgentControl::formatter().string(date);
        qputenv("TZ", "Europe/Berlin");
        tzset();
        const QString berlin = AgentControl::formatter().string(date);
        qputenv("TZ", "Pacific/Kiritimati");
        tzset();
        const QString kiritimati = AgentControl::formatter().string(Date { 1e300 });
        qputenv("TZ", saved);
        tzset();
        QCOMPARE(newfoundland, QStringLiteral("2025-12-31T20:30:00-03:30"));
        QCOMPARE(berlin, QStringLiteral("2026-01-01T01:00:00+01:00"));
        QCOMPARE(kiritimati, QStringLiteral("9999-12-31T13:59:59+14:00"));
    }

    void summaryAndSnapshotObjects()
    {
        Destination d = f->add("Photos", { "/a" }, uuid("abcd1234-0000-4000-8000-000000000001"));
        const QJsonObject summary = f->control->destinationSummary(d);
        QCOMPARE(summary.keys(),
            QStringList({ "excludes", "id", "kind", "name", "repository", "retention", "schedule", "sources" }));
        QCOMPARE(summary.value("id").toString(), QStringLiteral("ABCD1234-0000-4000-8000-000000000001"));
        QCOMPARE(summary.value("kind").toString(), QStringLiteral("local"));
        QCOMPARE(summary.value("schedule").toString(), QStringLiteral("manual"));

        Snapshot snapshot;
        snapshot.id = "abcdef0123";
        snapshot.shortID = "abcdef01";
        snapshot.time = Date::fromUnix(0);
        snapshot.hostname = "host";
        snapshot.paths = { "/a" };
        snapshot.sizeBytes = 5000000000LL;
        QCOMPARE(AgentControl::json(snapshot),
            QJsonObject({ { "id", "abcdef0123" }, { "shortID", "abcdef01" }, { "time", "1970-01-01T00:00:00Z" },
                { "host", "host" }, { "paths", QJsonArray { "/a" } }, { "bytes", 5000000000LL } }));
    }
};

QTEST_GUILESS_MAIN(AgentControlTest)
#include "AgentControlTest.moc"
