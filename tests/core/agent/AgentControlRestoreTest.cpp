#include "AgentFixture.h"
#include "operations/RestoreRunner.h"

#include <QtTest>

#include <stop_token>
#include <thread>

using namespace vellmir;
using namespace vellmir::test;

namespace {
// restic's forget --json answer with `count` snapshots to remove.
QByteArray forgetJson(int count)
{
    QJsonArray remove;
    for (int i = 0; i < count; ++i)
        remove.append(QJsonObject { { "id", QString::number(i) } });
    return QJsonDocument(QJsonArray { QJsonObject { { "keep", QJsonArray {} }, { "remove", remove } } })
        .toJson(QJsonDocument::Compact);
}

const QByteArray restoreSummary = "{\"message_type\":\"summary\",\"total_files\":3,\"files_restored\":6,\"total_"
                                  "bytes\":121,\"bytes_restored\":121}\n";
const char *snapshotID = "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90";
} // namespace

class AgentControlRestoreTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void applyRetentionWithoutPruneAndNothingToForget()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.script("forget.stdout", forgetJson(0));
        const QJsonObject reply = fx.run("apply-retention", args({ { "destination", "Home" }, { "prune", false } }));
        QCOMPARE(reply, args({ { "destination", "Home" }, { "removed", 0 } }));
        QVERIFY(fx.approver->requests.isEmpty());
        QVERIFY(fx.control->audit().entries(10).isEmpty());
        QVERIFY(fx.resticArguments().contains("--dry-run"));
    }

    void applyRetentionAsksEvenForNothingWhenPruning()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.script("forget.stdout", forgetJson(0));
        fx.approver->decision = ApprovalDecision::approvedByUser;
        const QJsonObject reply = fx.run("apply-retention", args({ { "destination", "Home" } }));
        QCOMPARE(fx.approver->requests.size(), 1);
        const ChangeRequest &request = fx.approver->requests.first();
        QCOMPARE(request.command, QStringLiteral("apply-retention"));
        QCOMPARE(request.title, QStringLiteral("Apply retention to “\u2068Home\u2069”?"));
        QCOMPARE(request.details,
            QStringList({ "Keep 7 daily, 4 weekly, 12 monthly, 3 yearly", "Snapshots to remove: 0",
                "Data no remaining snapshot uses is deleted. This cannot be undone." }));
        QCOMPARE(reply,
            args({ { "destination", "Home" }, { "removed", 0 }, { "pruned", true }, { "approval", "approved" } }));
        QCOMPARE(fx.resticArguments().value(0), QStringLiteral("prune"));
        QCOMPARE(fx.control->audit().entries(10).size(), 2);
    }

    void applyRetentionWithoutPruneShowsCount()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.script("forget.stdout", forgetJson(3));
        fx.approver->decision = ApprovalDecision::approvedByUser;
        // Two more backups land while the question is open: they wait for the next count.
        fx.approver->onDecide = [&fx] { fx.script("forget.stdout", forgetJson(5)); };
        const QJsonObject reply = fx.run("apply-retention", args({ { "destination", "Home" }, { "prune", "no" } }));
        QCOMPARE(fx.approver->requests.first().details.mid(1),
            QStringList({ "Snapshots to remove: 3", "Data is not pruned." }));
        QCOMPARE(reply.value("removed").toInt(), 3);
        QCOMPARE(reply.value("pruned").toBool(), false);
        const QStringList forgotten = fx.resticArguments();
        QVERIFY(!forgotten.contains("--prune"));
        QCOMPARE(forgotten.mid(forgotten.indexOf("--")), QStringList({ "--", "0", "1", "2" }));
    }

    void failuresBeforeAnyQuestion_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<bool>("keepsNothing");
        QTest::addColumn<bool>("withPassword");
        QTest::addColumn<QString>("message");
        dataRow("retention keeps nothing", "apply-retention", QJsonObject {}, true, true,
            "Choose at least one retained snapshot before applying retention.");
        dataRow("preview, no password", "retention-preview", QJsonObject {}, false, false,
            "Missing Repository password. Edit the destination and supply its credentials before running.");
        dataRow("restore, no password", "restore", args({ { "snapshot", "latest" }, { "target", "~" } }), false, false,
            "Missing Repository password. Edit the destination and supply its credentials before running.");
        dataRow("restore into a file", "restore", args({ { "snapshot", "latest" }, { "target", "~/file" } }), false,
            true, "target must be an existing folder.");
        dataRow("restore into a relative folder", "restore", args({ { "snapshot", "latest" }, { "target", "." } }),
            false, true, "target must be an absolute path or start with ~.");
        dataRow("restore a relative path", "restore",
            args({ { "snapshot", "latest" }, { "target", "~" }, { "path", "docs/a" } }), false, true,
            "The path must be an absolute path inside the snapshot, such as /home/you/Documents, with no \"..\" "
            "step.");
        dataRow("restore an unknown snapshot", "restore", args({ { "snapshot", "ffffffff" }, { "target", "~" } }),
            false, true, "");
    }

    void failuresBeforeAnyQuestion()
    {
        QFETCH(QString, command);
        QFETCH(QJsonObject, arguments);
        QFETCH(bool, keepsNothing);
        QFETCH(bool, withPassword);
        QFETCH(QString, message);
        AgentFixture fx;
        Destination home = fx.add(QStringLiteral("Home"), {}, std::nullopt, withPassword);
        if (keepsNothing) {
            home.retention = { 0, 0, 0, 0 };
            fx.store->upsert(home);
        }
        writeFile(fx.home.path() + "/file", "x");
        fx.script("snapshots.stdout", snapshotsJson({ { snapshotID, "2026-01-02T03:04:05Z" } }));
        fx.approver->decision = ApprovalDecision::approvedByUser;
        arguments.insert("destination", "Home");
        QString thrown;
        try {
            fx.run(command, arguments);
            QFAIL("the command succeeded");
        } catch (const Error &error) {
            thrown = error.message();
        }
        if (!message.isEmpty())
            QCOMPARE(thrown, message);
        else
            QVERIFY(!thrown.isEmpty());
        QVERIFY(fx.approver->requests.isEmpty());
        QVERIFY(fx.control->audit().entries(10).isEmpty());
        if (!withPassword || keepsNothing)
            QVERIFY(!fx.resticRan());
    }

    void previewAsksNothing()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.script("forget.stdout", forgetJson(2));
        const QJsonObject reply = fx.run("retention-preview", args({ { "destination", "Home" } }));
        QCOMPARE(reply.value("wouldRemove").toInt(), 2);
        QVERIFY(fx.approver->requests.isEmpty());
        QVERIFY(fx.control->audit().entries(10).isEmpty());
    }

    void restoreWholeSnapshotAfterApproval()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        const QString target = fx.home.path() + "/target";
        QDir().mkpath(target);
        fx.script("snapshots.stdout", snapshotsJson({ { snapshotID, "2026-01-02T03:04:05Z" } }));
        fx.script("restore.stdout", restoreSummary);
        fx.script("restore.writes", "src/docs/a.txt\n");
        fx.approver->decision = ApprovalDecision::approvedByUser;

        const QJsonObject reply = fx.run(
            "restore", args({ { "destination", "Home" }, { "snapshot", "latest" }, { "target", " ~/target " } }));
        const ChangeRequest &request = fx.approver->requests.first();
        QCOMPARE(request.command, QStringLiteral("restore"));
        QCOMPARE(request.title, QStringLiteral("Restore from “\u2068Home\u2069”?"));
        QVERIFY(request.details.value(0).startsWith("Snapshot \u2068a1b2c3d4\u2069 from \u2068host\u2069, "));
        QCOMPARE(request.details.mid(1),
            QStringList({ "Restore: the whole snapshot",
                "Into a new folder inside \u2068~/target\u2069. Existing files are never overwritten." }));

        QCOMPARE(reply.value("snapshot").toString(), QStringLiteral("a1b2c3d4"));
        QCOMPARE(reply.value("verified").toBool(), true);
        QCOMPARE(reply.value("files").toInt(), 1); // restic's 6 counted the folders it recreated
        QCOMPARE(reply.value("bytes").toInt(), 121);
        QCOMPARE(reply.value("approval").toString(), QStringLiteral("approved"));
        const QString restoredTo = reply.value("restoredTo").toString();
        QVERIFY(restoredTo.startsWith(target + "/" + RestoreRunner::folderPrefix()));
        QVERIFY(QFileInfo(restoredTo).isDir());
        const QStringList restic = fx.resticArguments();
        QCOMPARE(restic.value(0), QStringLiteral("restore"));
        QVERIFY(restic.contains("--verify"));
        QVERIFY(!restic.contains("--include"));
        QCOMPARE(fx.control->audit().entries(10).value(1).outcome, std::optional<QString>("succeeded"));
    }

    void restoreOnePathAndFailure()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.script("snapshots.stdout", snapshotsJson({ { snapshotID, "2026-01-02T03:04:05Z" } }));
        fx.script("ls.stdout",
            R"({"struct_type":"node","path":"/src/a*","type":"file","size":3})"
            "\n");
        fx.script("restore.exit", "1");
        fx.script("restore.stderr", "Fatal: broken\n");
        fx.approver->decision = ApprovalDecision::approvedByUser;
        const auto restoring = [](const QString &path) {
            return args({ { "destination", "Home" }, { "snapshot", "a1b2c3d4" }, { "target", "~" }, { "path", path } });
        };
        // A path the snapshot lacks is refused before anyone is asked.
        const std::optional<AgentError> missing = fx.failure("restore", restoring("/src/b"));
        QVERIFY(missing && missing->kind() == AgentError::Kind::notFound);
        QCOMPARE(missing->message(), QStringLiteral("Snapshot a1b2c3d4 holds nothing at /src/b."));
        QVERIFY(fx.approver->requests.isEmpty());

        const std::optional<AgentError> error = fx.failure("restore", restoring("/src/a*"));
        QVERIFY(error);
        QVERIFY(error->kind() == AgentError::Kind::failed);
        QCOMPARE(error->message(), QStringLiteral("Fatal: broken")); // the runner's own message
        QCOMPARE(fx.approver->requests.first().details.value(1), QStringLiteral("Restore: \u2068/src/a*\u2069"));
        QVERIFY(fx.resticArguments().contains("/src/a\\*"));
        const QList<AgentAuditLog::Entry> lines = fx.control->audit().entries(10);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.last().outcome, "failed: " + error->message());
    }

    // Nobody to ask: the query is looked up once and restic restores the snapshot the lookup
    // named, the one the reply and the audit line name; a query it does not find is not-found.
    void restoreApprovedBySetting()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.store->setChangesWithoutApproval(true);
        fx.script("snapshots.stdout", snapshotsJson({ { snapshotID, "2026-01-02T03:04:05Z" } }));
        fx.script("restore.stdout", restoreSummary);
        fx.script("restore.writes", "src/docs/a.txt\n");
        const QJsonObject reply
            = fx.run("restore", args({ { "destination", "Home" }, { "snapshot", "latest" }, { "target", "~" } }));
        QCOMPARE(reply.value("snapshot").toString(), QStringLiteral("a1b2c3d4"));
        QCOMPARE(reply.value("files").toInt(), 1);
        QVERIFY(fx.resticArguments().contains(QString::fromLatin1(snapshotID)));
        QVERIFY(!fx.resticArguments().contains(QStringLiteral("latest")));
        QVERIFY(fx.approver->requests.isEmpty());
        const QList<AgentAuditLog::Entry> lines = fx.control->audit().entries(10);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.last().summary.contains(" | Snapshot a1b2c3d4 from host, "));

        // A whole id names the snapshot: restic runs once, with no listing beside it.
        QFile::remove(fx.fake.filePath(QStringLiteral("commands")));
        const QJsonObject whole
            = fx.run("restore", args({ { "destination", "Home" }, { "snapshot", snapshotID }, { "target", "~" } }));
        QCOMPARE(whole.value("snapshot").toString(), QStringLiteral("a1b2c3d4"));
        QCOMPARE(readFile(fx.fake.filePath(QStringLiteral("commands"))), QByteArray("restore\n"));

        fx.script("restore.exit", "1");
        fx.script("restore.stderr", "Fatal: failed to find snapshot\n");
        const std::optional<AgentError> error
            = fx.failure("restore", args({ { "destination", "Home" }, { "snapshot", "ffffffff" }, { "target", "~" } }));
        QVERIFY(error && error->kind() == AgentError::Kind::notFound);

        // A path the snapshot lacks is not found either, as when the user is asked first.
        fx.script("restore.exit", "0");
        fx.script("restore.stderr", "");
        fx.script("restore.writes", "");
        const std::optional<AgentError> missing = fx.failure("restore",
            args({ { "destination", "Home" }, { "snapshot", "latest" }, { "target", "~" }, { "path", "/src/b" } }));
        QVERIFY(missing && missing->kind() == AgentError::Kind::notFound);
    }

    // Stopped by a signal or a cancelled call: an answer, not a failure, and no empty folder left.
    void stoppedRestoreAnswersCancelled()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.script("snapshots.stdout", snapshotsJson({ { snapshotID, "2026-01-02T03:04:05Z" } }));
        fx.script("restore.sleep", "30");
        fx.approver->decision = ApprovalDecision::approvedByUser;
        std::stop_source stop;
        std::jthread stopper([&](std::stop_token done) {
            while (!done.stop_requested() && fx.resticArguments().value(0) != QStringLiteral("restore"))
                QThread::msleep(20);
            QThread::msleep(200);
            stop.request_stop();
        });
        const QJsonObject reply = fx.run("restore",
            args({ { "destination", "Home" }, { "snapshot", "latest" }, { "target", "~" } }), stop.get_token());
        QCOMPARE(reply.value("outcome").toString(), QStringLiteral("cancelled"));
        QVERIFY(!reply.contains("restoredTo"));
        QCOMPARE(fx.control->audit().entries(10).value(1).outcome, std::optional<QString>("cancelled"));
    }

    void deniedRestoreRunsNothing()
    {
        AgentFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.script("snapshots.stdout", snapshotsJson({ { snapshotID, "2026-01-02T03:04:05Z" } }));
        fx.approver->decision = ApprovalDecision::denied;
        const std::optional<AgentError> error
            = fx.failure("restore", args({ { "destination", "Home" }, { "snapshot", "latest" }, { "target", "~" } }));
        QVERIFY(error);
        QCOMPARE(error->code(), QStringLiteral("denied"));
        QCOMPARE(fx.resticArguments().value(0), QStringLiteral("snapshots"));
        QCOMPARE(fx.control->audit().entries(10).size(), 1);
    }
};

QTEST_GUILESS_MAIN(AgentControlRestoreTest)
#include "AgentControlRestoreTest.moc"
