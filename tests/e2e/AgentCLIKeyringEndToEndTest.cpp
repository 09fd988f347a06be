#include "AgentCLIRun.h"
#include "TestSupport.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QtTest>

using namespace vellmir;
using test::Finished, test::runCli;

// The command line against the real stores and keyring of a fresh home.
class AgentCLIKeyringEndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestHome> m_home;

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariable("VELLMIR_TEST_KEYRING") != QStringLiteral("1"))
            QSKIP("needs the private keyring of scripts/with-keyring");
        m_home = std::make_unique<test::TestHome>();
    }

    void statusOfFreshHome()
    {
        const Finished finished = runCli({ QStringLiteral("status") });
        QCOMPARE(finished.exitCode, 0);
        const QJsonObject reply = json::parseObject(finished.stdout);
        QCOMPARE(reply.value(QStringLiteral("destinations")).toArray().size(), 0);
        QCOMPARE(reply.value(QStringLiteral("changesWithoutApproval")), QJsonValue(false));
    }

    void unknownDestinationExitsThree()
    {
        const Finished finished
            = runCli({ QStringLiteral("history"), QStringLiteral("--destination"), QStringLiteral("x") });
        QCOMPARE(finished.exitCode, 3);
        QCOMPARE(json::compact(json::parseObject(finished.stdout)),
            QByteArray(
                "{\"code\":\"not-found\",\"error\":\"No single destination matches \\\"x\\\". Destinations: none.\"}"));
    }

    void changeWithADisplayNobodyAnswersOnIsRefusedAndAudited()
    {
        // What a closed "ssh -X" forwarding leaves: the dialog's process cannot reach the display,
        // and the agent's process answers that no dialog could be shown, creating nothing.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral("localhost:7391"));
        const QString repository = m_home->path() + QStringLiteral("/repo");
        const Finished finished = runCli({ "add-destination", "--name", "Home", "--kind", "local", "--repository",
                                             repository, "--initialize", "true", "--json", "-" },
            R"({"password":"pw"})", environment);
        QCOMPARE(finished.exitCode, 4);
        const QJsonObject reply = json::parseObject(finished.stdout);
        QCOMPARE(reply.value(QStringLiteral("code")).toString(), QStringLiteral("not-asked"));
        QVERIFY(reply.value(QStringLiteral("error")).toString().startsWith("No approval dialog can be shown"));
        QVERIFY(!QFileInfo::exists(repository));
        const QByteArray audit = test::readFile(m_home->dataDirectory() + QStringLiteral("/agent-audit.jsonl"));
        QCOMPARE(audit.count('\n'), 1);
        // Recorded as what it was, with the agent's own sentence: nobody was asked.
        QVERIFY(audit.contains("\"decision\":\"not-asked\",\"reason\":\"No approval dialog can be shown"));
    }

    void mcpCallsRunAndFinishAfterInputEnds()
    {
        // Input closes right after the calls: both still answer before the process exits 0.
        const Finished finished = runCli({ QStringLiteral("mcp") },
            "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"status\"}}\n"
            "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/call\",\"params\":{\"name\":\"history\","
            "\"arguments\":{\"destination\":\"x\",\"limit\":3}}}\n");
        QCOMPARE(finished.exitCode, 0);
        QMap<int, QJsonObject> results;
        for (const QByteArray &line : finished.stdout.chopped(1).split('\n')) {
            const QJsonObject message = json::parseObject(line);
            results.insert(
                message.value(QStringLiteral("id")).toInt(), message.value(QStringLiteral("result")).toObject());
        }
        QCOMPARE(results.keys(), (QList<int> { 1, 2 }));
        QCOMPARE(results.value(1).value(QStringLiteral("isError")), QJsonValue(false));
        QVERIFY(results.value(1)
                    .value(QStringLiteral("structuredContent"))
                    .toObject()
                    .contains(QStringLiteral("destinations")));
        QCOMPARE(results.value(2).value(QStringLiteral("isError")), QJsonValue(true));
        const QString text = results.value(2)
                                 .value(QStringLiteral("content"))
                                 .toArray()
                                 .at(0)
                                 .toObject()
                                 .value(QStringLiteral("text"))
                                 .toString();
        QCOMPARE(
            json::parseObject(text.toUtf8()).value(QStringLiteral("code")).toString(), QStringLiteral("not-found"));
    }
};

QTEST_GUILESS_MAIN(AgentCLIKeyringEndToEndTest)
#include "AgentCLIKeyringEndToEndTest.moc"
