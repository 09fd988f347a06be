#include "agent/MCPServer.h"
#include "agent/AgentCommand.h"
#include "agent/AgentControl.h"
#include "agent/AgentError.h"
#include "agent/AgentParameters.h"
#include "util/Json.h"

#include "TestSupport.h"
#include <QJsonArray>
#include <QJsonDocument>

#include <QProcess>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace vellmir;

namespace {

// Feeds `lines` to a server as its standard input would, closed at the end, and collects
// what it sends.
QList<QJsonObject> serveLines(const MCPServer::ToolRunner &runner, const QList<QByteArray> &lines,
    const std::function<void(const QJsonObject &)> &observe = {}, const std::function<void()> &beforeClose = {})
{
    int fds[2];
    if (::pipe(fds) != 0)
        qFatal("pipe failed");
    // Written while the server reads, so lines longer than the pipe holds get through.
    std::thread client([&lines, &beforeClose, fd = fds[1]] {
        for (const QByteArray &line : lines) {
            const QByteArray bytes = line + '\n';
            for (qsizetype done = 0; done < bytes.size();) {
                const ssize_t count = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
                if (count <= 0)
                    qFatal("pipe write failed");
                done += count;
            }
        }
        if (beforeClose)
            beforeClose();
        ::close(fd);
    });
    QList<QJsonObject> sent;
    {
        MCPServer server(runner, [&](const QJsonObject &message) {
            sent.append(message);
            if (observe)
                observe(message);
        });
        server.serve(fds[0]);
    }
    client.join();
    ::close(fds[0]);
    return sent;
}

QJsonObject echoRunner(const QString &name, const QJsonObject &arguments, std::stop_token)
{
    return QJsonObject { { QStringLiteral("tool"), name }, { QStringLiteral("arguments"), arguments },
        { QStringLiteral("path"), QStringLiteral("/a/b") } };
}

QJsonObject toolNamed(const QString &name)
{
    return MCPServer::tool(*AgentCommand::named(name));
}

QJsonObject resultText(const QJsonObject &response)
{
    const QJsonObject result = response.value(QStringLiteral("result")).toObject();
    const QString text
        = result.value(QStringLiteral("content")).toArray().at(0).toObject().value(QStringLiteral("text")).toString();
    return json::parseObject(text.toUtf8());
}

} // namespace

class MCPServerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answersInlineMessages_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("expected"); // compact response; empty for no reply

        const QByteArray parseError(R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
        QTest::newRow("blank") << QByteArray("") << QByteArray();
        QTest::newRow("spaces and tabs") << QByteArray(" \t  ") << QByteArray();
        test::dataRow("unfinished object", QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\""), parseError);
        test::dataRow("batch", QByteArray(R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])"),
            QByteArray(R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,)"
                       R"("jsonrpc":"2.0"})"));
        const QByteArray invalid(R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})");
        QTest::newRow("method not text") << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":5})") << invalid;
        QTest::newRow("no method") << QByteArray(R"({"jsonrpc":"2.0","id":1})") << invalid;
        QTest::newRow("no version") << QByteArray(R"({"id":1,"method":"ping"})") << invalid;
        QTest::newRow("version 1.0") << QByteArray(R"({"jsonrpc":"1.0","id":1,"method":"ping"})") << invalid;
        QTest::newRow("null id") << QByteArray(R"({"jsonrpc":"2.0","id":null,"method":"ping"})") << invalid;
        QTest::newRow("object id") << QByteArray(R"({"jsonrpc":"2.0","id":{},"method":"ping"})") << invalid;
        QTest::newRow("Boolean id") << QByteArray(R"({"jsonrpc":"2.0","id":true,"method":"ping"})") << invalid;
        QTest::newRow("fraction id") << QByteArray(R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})") << invalid;
        test::dataRow("id beyond 64 bits", QByteArray(R"({"jsonrpc":"2.0","id":12345678901234567890,"method":"ping"})"),
            QByteArray(R"({"id":12345678901234567890,"jsonrpc":"2.0","result":{}})"));
        // Valid JSON, but beyond what a double holds: not a parse error.
        test::dataRow("id beyond a double",
            QByteArray(R"({"jsonrpc":"2.0","id":)") + QByteArray(400, '1') + QByteArray(R"(,"method":"ping"})"),
            invalid);
        QTest::newRow("id 1E400") << QByteArray(R"({"jsonrpc":"2.0","id":1E400,"method":"ping"})") << invalid;
        QTest::newRow("malformed number") << QByteArray(R"({"jsonrpc":"2.0","id":01,"method":"ping"})") << parseError;
        QTest::newRow("lone value") << QByteArray("42") << invalid;
        test::dataRow("id just below 64 bits",
            QByteArray(R"({"jsonrpc":"2.0","id":-9223372036854775809,"method":"ping"})"),
            QByteArray(R"({"id":-9223372036854775809,"jsonrpc":"2.0","result":{}})"));
        test::dataRow("key written with an escape", QByteArray(R"({"jsonrpc":"2.0","\u0069d":6,"method":"ping"})"),
            QByteArray(R"({"id":6,"jsonrpc":"2.0","result":{}})"));
        test::dataRow("id between carriage returns",
            QByteArray("{\"jsonrpc\":\"2.0\",\"id\"\r:\r7,\"method\":\"ping\"}"),
            QByteArray(R"({"id":7,"jsonrpc":"2.0","result":{}})"));
        QTest::newRow("client's response") << QByteArray(R"({"jsonrpc":"2.0","id":10,"result":{}})") << QByteArray();
        test::dataRow("arguments not an object",
            QByteArray(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"status","arguments":[1]}})"),
            QByteArray(R"({"error":{"code":-32602,"message":"tools/call arguments must be an object."},"id":4,)"
                       R"("jsonrpc":"2.0"})"));
        test::dataRow("ping", QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"),
            QByteArray(R"({"id":1,"jsonrpc":"2.0","result":{}})"));
        test::dataRow(
            "notification", QByteArray(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"), QByteArray());
        test::dataRow("unknown method", QByteArray(R"({"jsonrpc":"2.0","id":"r","method":"resources/list"})"),
            QByteArray(R"({"error":{"code":-32601,"message":"Method not found: )"
                       R"(resources/list"},"id":"r","jsonrpc":"2.0"})"));
        test::dataRow("call without name",
            QByteArray(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"arguments":{}}})"),
            QByteArray(R"({"error":{"code":-32602,"message":"tools/call needs a name."},"id":2,"jsonrpc":"2.0"})"));
        test::dataRow("call of unknown tool",
            QByteArray(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"Status"}})"),
            QByteArray(R"({"error":{"code":-32602,"message":"Unknown tool Status."},"id":3,"jsonrpc":"2.0"})"));
        // Of a key written twice the parsed message keeps the last: nothing is guessed.
        test::dataRow("argument given twice",
            QByteArray(R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"remove-destination",)"
                       R"("arguments":{"destination":"Home","destination":"Cloud"}}})"),
            QByteArray("{\"id\":8,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"{\\\"code\\\":"
                       "\\\"usage\\\",\\\"error\\\":\\\"destination takes one value, but was given "
                       "\\\\\\\"Home\\\\\\\" and \\\\\\\"Cloud\\\\\\\".\\\"}\",\"type\":\"text\"}],"
                       "\"isError\":true}}"));
        test::dataRow("argument given twice beside repeats elsewhere",
            QByteArray(R"({"jsonrpc":"2.0","id":8,"method":"tools/call","x":{"arguments":{"k":1,"k":2}},"params":)"
                       R"({"_meta":{"p":1,"p":2},"name":"remove-destination",)"
                       R"("arguments":{"destination":"Home","destination":"Cloud"}}})"),
            QByteArray("{\"id\":8,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"{\\\"code\\\":"
                       "\\\"usage\\\",\\\"error\\\":\\\"destination takes one value, but was given "
                       "\\\\\\\"Home\\\\\\\" and \\\\\\\"Cloud\\\\\\\".\\\"}\",\"type\":\"text\"}],"
                       "\"isError\":true}}"));
        test::dataRow("tool named twice",
            QByteArray(R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"status","name":"audit"}})"),
            QByteArray("{\"error\":{\"code\":-32602,\"message\":\"Invalid params: \\\"name\\\" is given twice.\"},"
                       "\"id\":9,\"jsonrpc\":\"2.0\"}"));
        test::dataRow("method given twice",
            QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping","method":"tools/list"})"),
            QByteArray("{\"error\":{\"code\":-32600,\"message\":\"Invalid Request: \\\"method\\\" is given "
                       "twice.\"},\"id\":null,\"jsonrpc\":\"2.0\"}"));
        test::dataRow("call without id",
            QByteArray(R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"status"}})"), QByteArray());
        test::dataRow("cancel is silent",
            QByteArray(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{}})"), QByteArray());
    }

    void answersInlineMessages()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, expected);
        const QList<QJsonObject> sent = serveLines(echoRunner, { line });
        if (expected.isEmpty()) {
            QCOMPARE(sent.size(), 0);
        } else {
            QCOMPARE(sent.size(), 1);
            QCOMPARE(json::compact(sent.first()), expected);
        }
    }

    void skipsOverlongLines()
    {
        // A line of exactly the bound is read; one byte more is refused, and reading goes on
        // after its line feed.
        const auto ping = [](int id, qsizetype size) {
            const QByteArray line
                = "{\"jsonrpc\":\"2.0\",\"id\":" + QByteArray::number(id) + ",\"method\":\"ping\",\"pad\":\"";
            return line + QByteArray(size - line.size() - 2, 'x') + "\"}";
        };
        const QList<QJsonObject> sent = serveLines(echoRunner,
            { ping(1, MCPServer::maxLineBytes), ping(2, MCPServer::maxLineBytes + 1),
                R"({"jsonrpc":"2.0","id":3,"method":"ping"})" });
        QCOMPARE(sent.size(), 3);
        QCOMPARE(sent.at(0).value(QStringLiteral("id")), QJsonValue(1));
        QCOMPARE(sent.at(1).value(QStringLiteral("id")), QJsonValue(QJsonValue::Null));
        QCOMPARE(
            sent.at(1).value(QStringLiteral("error")).toObject().value(QStringLiteral("code")), QJsonValue(-32600));
        QCOMPARE(sent.at(2).value(QStringLiteral("id")), QJsonValue(3));
    }

    void initializeAnswersKnownProtocolVersion()
    {
        const QList<QJsonObject> sent = serveLines(echoRunner,
            { R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
                R"({"jsonrpc":"2.0","id":2,"method":"initialize"})",
                R"({"jsonrpc":"2.0","id":3,"method":"initialize","params":{"protocolVersion":3}})",
                R"({"jsonrpc":"2.0","id":4,"method":"initialize","params":{"protocolVersion":"1999-01-01"}})",
                R"({"jsonrpc":"2.0","id":5,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})" });
        QCOMPARE(sent.size(), 5);
        const QJsonObject first = sent.at(0).value(QStringLiteral("result")).toObject();
        QCOMPARE(first.value(QStringLiteral("protocolVersion")).toString(), QStringLiteral("2024-11-05"));
        QCOMPARE(json::compact(first.value(QStringLiteral("capabilities"))), QByteArray(R"({"tools":{}})"));
        QCOMPARE(first.value(QStringLiteral("serverInfo")).toObject().value(QStringLiteral("name")).toString(),
            QStringLiteral("vellmir"));
        QVERIFY(first.value(QStringLiteral("instructions"))
                    .toString()
                    .startsWith(QStringLiteral("Controls Vellmir, the restic backup app. Changes (add/update/remove "
                                               "destination, restore, apply-retention) wait for the user")));
        // 2025-03-26 has batches, which the server refuses: it is not offered.
        for (int i : { 1, 2, 3, 4 })
            QCOMPARE(sent.at(i).value(QStringLiteral("result")).toObject().value(QStringLiteral("protocolVersion")),
                QJsonValue(QStringLiteral("2025-06-18")));
    }

    void listsEveryCommandAsTool()
    {
        const QList<QJsonObject> sent = serveLines(echoRunner, { R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})" });
        QCOMPARE(sent.size(), 1);
        const QJsonArray tools
            = sent.first().value(QStringLiteral("result")).toObject().value(QStringLiteral("tools")).toArray();
        QCOMPARE(tools.size(), 15);
        int readOnly = 0, destructive = 0;
        for (int i = 0; i < tools.size(); ++i) {
            const QJsonObject tool = tools.at(i).toObject();
            QCOMPARE(tool.keys(), (QStringList { "annotations", "description", "inputSchema", "name" }));
            QCOMPARE(tool.value(QStringLiteral("name")).toString(), AgentCommand::all().at(i).name);
            const QJsonObject annotations = tool.value(QStringLiteral("annotations")).toObject();
            readOnly += annotations.value(QStringLiteral("readOnlyHint")).toBool();
            destructive += annotations.value(QStringLiteral("destructiveHint")).toBool();
            QCOMPARE(annotations.value(QStringLiteral("openWorldHint")), QJsonValue(false));
        }
        QCOMPARE(readOnly, 7);
        QCOMPARE(destructive, 5);
    }

    void describesTools()
    {
        const QJsonObject history
            = toolNamed(QStringLiteral("history")).value(QStringLiteral("inputSchema")).toObject();
        QCOMPARE(json::compact(history.value(QStringLiteral("properties")).toObject().value(QStringLiteral("limit"))),
            QByteArray(R"({"description":"Runs to return (default 10).","maximum":9007199254740991,"minimum":0,)"
                       R"("type":"integer"})"));
        QCOMPARE(json::compact(history.value(QStringLiteral("required"))), QByteArray(R"(["destination"])"));
        const QJsonObject status = toolNamed(QStringLiteral("status"));
        QCOMPARE(json::compact(status.value(QStringLiteral("inputSchema"))),
            QByteArray(R"({"additionalProperties":false,"properties":{},"required":[],"type":"object"})"));
        QCOMPARE(status.value(QStringLiteral("annotations")).toObject().value(QStringLiteral("readOnlyHint")),
            QJsonValue(true));

        const QJsonObject add = toolNamed(QStringLiteral("add-destination"));
        const QJsonObject schema = add.value(QStringLiteral("inputSchema")).toObject();
        // Which repositories a kind takes depends on the kind: the schema says so with if/then.
        QCOMPARE(json::compact(schema.value(QStringLiteral("allOf")).toArray().at(1)),
            QByteArray(R"({"if":{"properties":{"kind":{"const":"s3"}},"required":["kind"]},)"
                       R"("then":{"properties":{"repository":{"pattern":"^[\\u0009-\\u000D\\u0020\\u0085\\u00A0\\u1680)"
                       R"(\\u2000-\\u200A\\u2028\\u2029\\u202F\\u205F\\u3000]*s3:","type":"string"}}}})"));
        QCOMPARE(json::compact(schema.value(QStringLiteral("required"))),
            QByteArray(R"(["name","kind","repository","password"])"));
        QCOMPARE(add.value(QStringLiteral("description")).toString(),
            QStringLiteral("Add a destination. Pass secrets in this call's arguments. Needs the user's "
                           "approval in a dialog on this computer unless they have allowed changes without approval."));
        QCOMPARE(add.value(QStringLiteral("annotations")).toObject().value(QStringLiteral("destructiveHint")),
            QJsonValue(true));

        const QJsonObject backup = toolNamed(QStringLiteral("backup"));
        QCOMPARE(backup.value(QStringLiteral("description")).toString(),
            AgentCommand::named(QStringLiteral("backup"))->summary);
        QCOMPARE(json::compact(backup.value(QStringLiteral("annotations"))),
            QByteArray(R"({"destructiveHint":false,"openWorldHint":false,"readOnlyHint":false})"));
    }

    // A client that checks its arguments against the schema with a Draft 2020-12 validator
    // refuses what the server refuses, and lets through what the server takes.
    void schemasSayWhatTheServerAccepts()
    {
        const QString nul(QChar(0));
        const QString byte(QChar(0xDCE9)); // a file-name byte that is not UTF-8
        const QString add = QStringLiteral("add-destination");
        const auto adding = [](QJsonObject arguments) {
            const QJsonObject base { { "name", "n" }, { "kind", "local" }, { "repository", "/r" },
                { "password", "p" } };
            for (auto it = base.begin(); it != base.end(); ++it)
                if (!arguments.contains(it.key()))
                    arguments.insert(it.key(), it.value());
            return arguments;
        };
        const QJsonObject d { { "destination", "d" } };
        const auto with = [](QJsonObject arguments, const QString &key, const QJsonValue &value) {
            arguments.insert(key, value);
            return arguments;
        };
        const QJsonObject browse = with(d, "snapshot", "latest");
        const QJsonObject restore = with(browse, "target", "/tmp");
        const struct {
            QString tool;
            QJsonObject arguments;
            bool accepted;
        } cases[] = {
            { "status", {}, true },
            { "status", { { "limit", 1 } }, false },
            { "history", {}, false },
            { "history", with(d, "limit", -1), false },
            { "history", with(d, "limit", "5"), false },
            { "history", with(d, "limit", 1e30), false },
            { "snapshots", with(d, "limit", 0), true },
            { "update-destination", with(d, "keepDaily", -1), false },
            { "backup", with(d, "waitSeconds", -5), false },
            { "backup", with(d, "waitSeconds", 99999999999.0), false },
            { "backup", with(d, "inProcess", "yes"), false },
            { "backup-result", { { "request", "abc" } }, false },
            { "backup-result", { { "request", "0a1b2c3d-0000-4000-8000-00000000000f" } }, true },
            { "check", { { "destination", "" } }, false },
            { add, adding({}), true },
            { add, adding({ { "kind", "floppy" } }), false },
            { add, adding({ { "name", " " } }), false },
            { add, adding({ { "name", "a\nb" } }), false },
            { add, adding({ { "name", QString(257, u'x') } }), false },
            { add, adding({ { "name", QString(256, u'x') } }), true },
            { add, adding({ { "name", "Fotos \u2713" } }), true },
            { add, adding({ { "name", "Home\u200B" } }), false },
            { add, adding({ { "name", "Home\uFFFC" } }), false },
            { add, adding({ { "name", "Home\u00A0" } }), false },
            { add, adding({ { "name", "Home" + QString::fromUcs4(U"\U000E0041") } }), false },
            { add, adding({ { "name", "\u3000" } }), false },
            { add, adding({ { "name", "Cafe\u0301" } }), true },
            { add, adding({ { "sources", QJsonArray { "~/Docu\u200Bments", "~/caf" + byte } } }), true },
            { add, adding({ { "sources", QJsonArray { "~/x" + QString(QChar(0xD800)) } } }), false },
            { add, adding({ { "excludes", QJsonArray { "*" + byte } } }), false },
            { add, adding({ { "excludes", QJsonArray { "*.tmp\uFFFF" } } }), false },
            { add, adding({ { "excludes", QJsonArray { "*.tmp\u200D" } } }), true },
            { add, adding({ { "password", QString(QChar(0xFEFF)) } }), true },
            { add, adding({ { "repository", "rclone:x:y" } }), false },
            { add, adding({ { "repository", "relrepo" } }), false },
            { add, adding({ { "repository", "/r\nRepository: existing, 12 snapshot(s)" } }), false },
            { add, adding({ { "kind", "s3" }, { "repository", "/abs/path" } }), false },
            { add, adding({ { "kind", "local" }, { "repository", "s3:h/b" } }), false },
            { add, adding({ { "kind", "sftp" }, { "repository", "sftp:u@h:/r" } }), true },
            { add, adding({ { "sources", QJsonArray { "Documents" } } }), false },
            { add, adding({ { "sources", QJsonArray { "~/a", "~/a" } } }), false },
            { add, adding({ { "sources", "~/a" } }), false },
            { add, adding({ { "excludes", QJsonArray { "*" + nul + ".tmp" } } }), false },
            { add, adding({ { "excludes", QJsonArray { "*.tmp\u202E" } } }), false },
            { add, adding({ { "schedule", "Daily" } }), false },
            { add, adding({ { "password", " \t" } }), false },
            { add, adding({ { "password", "p" + nul } }), false },
            { add, adding({ { "password", " line\nbreak " } }), true },
            { add, adding({ { "awsSecretAccessKey", "k" + nul } }), false },
            { "update-destination", with(d, "name", ""), false },
            { "update-destination", with(d, "name", " \u3000"), false },
            { "update-destination", with(d, "name", "photos\u202Egpj.exe"), false },
            { "update-destination", with(d, "name", "Home\u2800"), false },
            { "update-destination", with(d, "name", "\u3164Home"), false },
            { "update-destination", with(d, "removeSources", QJsonArray { "/a" + byte }), true },
            { "update-destination", with(d, "addSources", QJsonArray { "~", " ~/x " }), true },
            { "browse", browse, true },
            { "browse", with(browse, "path", "/"), true },
            { "browse", with(browse, "path", "/home/u/a..b"), true },
            { "browse", with(browse, "path", "Documents"), false },
            { "browse", with(browse, "path", "~/Documents"), false },
            { "browse", with(browse, "path", "/a/../b"), false },
            { "browse", with(browse, "path", "/a/./b"), true },
            { "browse", with(browse, "path", "//a"), true },
            { "browse", with(browse, "path", "/a/"), true },
            // A name in a snapshot may hold a line feed, and bytes that are not UTF-8.
            { "restore", with(restore, "path", "/a\n"), true },
            { "browse", with(browse, "path", "/caf" + byte), true },
            { "restore", with(restore, "path", "/a/.."), false },
            { "restore", with(restore, "target", "out"), false },
            { "restore", with(restore, "target", "~"), true },
        };

        QJsonArray documents;
        QList<bool> server;
        for (const auto &[tool, arguments, accepted] : cases) {
            const AgentCommand &command = *AgentCommand::named(tool);
            documents.append(
                QJsonObject { { "schema", toolNamed(tool).value("inputSchema") }, { "instance", arguments } });
            bool taken = true;
            try {
                AgentParameters(arguments, command).check(command);
            } catch (const AgentError &) {
                taken = false;
            }
            QVERIFY2(taken == accepted, json::compact(arguments).constData());
            server.append(taken);
        }
        test::TestHome home;
        const QString input = home.path() + QStringLiteral("/cases.json");
        QFile file(input);
        // QJsonDocument writes a lone surrogate as its escape, which Python reads back as it is.
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(documents).toJson()) > 0);
        file.close();
        QProcess validator;
        validator.start(QStringLiteral("/usr/bin/python3"),
            { QStringLiteral("-c"),
                QStringLiteral("import json, sys\n"
                               "from jsonschema import Draft202012Validator as V\n"
                               "cases = json.load(open(sys.argv[1]))\n"
                               "for case in cases: V.check_schema(case['schema'])\n"
                               // As a strict validator wants it: a keyword of one type has the
                               // type beside it, or above it at the same place in the data.
                               "def strict(schema, above):\n"
                               "    kind = schema.get('type', above)\n"
                               "    if 'pattern' in schema and kind != 'string': sys.exit('pattern without type')\n"
                               "    for key in ('not', 'if', 'then', 'else'):\n"
                               "        if key in schema: strict(schema[key], kind)\n"
                               "    for sub in schema.get('allOf', []): strict(sub, kind)\n"
                               "    for sub in schema.get('properties', {}).values(): strict(sub, None)\n"
                               "    if 'items' in schema: strict(schema['items'], None)\n"
                               "for case in cases: strict(case['schema'], None)\n"
                               "print(json.dumps([V(case['schema']).is_valid(case['instance']) for case in cases]))\n"),
                input });
        QVERIFY(validator.waitForFinished(60000));
        QVERIFY2(validator.exitCode() == 0, validator.readAllStandardError().constData());
        const QJsonArray verdicts = json::parseArray(validator.readAllStandardOutput());
        QCOMPARE(verdicts.size(), server.size());
        for (qsizetype i = 0; i < server.size(); ++i)
            QVERIFY2(verdicts.at(i).toBool() == server.at(i), json::compact(documents.at(i)).constData());
    }

    void shapesToolResults_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QByteArray>("text"); // the text content; empty for success
        QTest::newRow("not found") << 0 << QByteArray(R"({"code":"not-found","error":"No single destination."})");
        test::dataRow("denied", 1,
            QByteArray("{\"code\":\"denied\",\"error\":\"The change was denied in Vellmir's approval dialog.\"}"));
        test::dataRow("timed out", 2,
            QByteArray(R"({"code":"timed-out","error":"Nobody answered the approval request )"
                       R"(within 5 minutes, so the change was not made."})"));
        QTest::newRow("other error") << 3 << QByteArray(R"({"code":"failed","error":"disk on fire"})");
        QTest::newRow("success") << 4 << QByteArray();
        // A backup's reply as it came, flagged as an error only when the run failed.
        test::dataRow("failed backup run", 5, QByteArray(R"({"mode":"in-process","run":{"outcome":"failed"}})"));
        test::dataRow("incomplete backup run", 6, QByteArray(R"({"outcome":"incomplete","state":"finished"})"));
    }

    void shapesToolResults()
    {
        QFETCH(int, which);
        QFETCH(QByteArray, text);
        const auto runner = [which](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            switch (which) {
            case 0:
                throw AgentError::notFound(QStringLiteral("No single destination."));
            case 1:
                throw AgentError::denied(ApprovalDecision::denied);
            case 2:
                throw AgentError::denied(ApprovalDecision::timedOut);
            case 3:
                throw std::runtime_error("disk on fire");
            }
            return echoRunner(name, arguments, stop);
        };
        if (which >= 5) {
            const auto backup
                = [&text](const QString &, const QJsonObject &, std::stop_token) { return json::parseObject(text); };
            const QJsonObject result = serveLines(backup,
                { R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"backup","arguments":{}}})" })
                                           .value(0)
                                           .value(QStringLiteral("result"))
                                           .toObject();
            QCOMPARE(json::compact(result.value(QStringLiteral("structuredContent"))), text);
            QCOMPARE(result.value(QStringLiteral("content")).toArray().at(0).toObject().value(QStringLiteral("text")),
                QJsonValue(QString::fromUtf8(text)));
            QCOMPARE(result.value(QStringLiteral("isError")), QJsonValue(which == 5));
            return;
        }
        const QList<QJsonObject> sent = serveLines(runner,
            { R"({"jsonrpc":"2.0","id":"c","method":"tools/call","params":{"name":"history","arguments":{"limit":3,"x":[true]}}})" });
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().value(QStringLiteral("id")), QJsonValue(QStringLiteral("c")));
        QVERIFY(!sent.first().contains(QStringLiteral("error")));
        const QJsonObject result = sent.first().value(QStringLiteral("result")).toObject();
        const QJsonArray content = result.value(QStringLiteral("content")).toArray();
        QCOMPARE(content.size(), 1);
        QCOMPARE(content.at(0).toObject().value(QStringLiteral("type")).toString(), QStringLiteral("text"));
        const QByteArray actual = content.at(0).toObject().value(QStringLiteral("text")).toString().toUtf8();
        if (!text.isEmpty()) {
            QCOMPARE(actual, text);
            QCOMPARE(result.value(QStringLiteral("isError")), QJsonValue(true));
            QVERIFY(!result.contains(QStringLiteral("structuredContent")));
            return;
        }
        // The arguments arrive as sent, with their JSON types; the reply comes as compact text
        // (slashes unescaped) and as structured content.
        const QByteArray expected(R"({"arguments":{"limit":3,"x":[true]},"path":"/a/b","tool":"history"})");
        QCOMPARE(actual, expected);
        QCOMPARE(json::compact(result.value(QStringLiteral("structuredContent"))), expected);
        QCOMPARE(result.value(QStringLiteral("isError")), QJsonValue(false));
    }

    void runsCallsConcurrently()
    {
        // The first call finishes only after the second one's response has gone out, which
        // can happen only when both run at once.
        std::mutex mutex;
        std::condition_variable changed;
        bool secondAnswered = false;
        const auto runner = [&](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            if (arguments.value(QStringLiteral("order")).toInt() == 1) {
                std::unique_lock lock(mutex);
                if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return secondAnswered; }))
                    throw std::runtime_error("the second call never answered");
            }
            return echoRunner(name, arguments, stop);
        };
        const QList<QJsonObject> sent = serveLines(runner,
            { R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"status","arguments":{"order":1}}})",
                R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"status","arguments":{"order":2}}})" },
            [&](const QJsonObject &message) {
                if (message.value(QStringLiteral("id")) == QJsonValue(2)) {
                    std::lock_guard lock(mutex);
                    secondAnswered = true;
                    changed.notify_all();
                }
            });
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent.at(0).value(QStringLiteral("id")), QJsonValue(2));
        QCOMPARE(sent.at(1).value(QStringLiteral("id")), QJsonValue(1));
        QCOMPARE(
            sent.at(1).value(QStringLiteral("result")).toObject().value(QStringLiteral("isError")), QJsonValue(false));
    }

    void runsManyCallsOnFewWorkers()
    {
        // Input ends right after the calls: those still waiting for a worker are answered as
        // cancelled without running.
        std::atomic<int> running = 0;
        std::atomic<int> most = 0;
        std::atomic<int> ran = 0;
        const auto runner = [&](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            ++ran;
            const int now = ++running;
            for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) { }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --running;
            return echoRunner(name, arguments, stop);
        };
        QList<QByteArray> lines;
        for (int id = 0; id < 200; ++id)
            lines.append(R"({"jsonrpc":"2.0","id":)" + QByteArray::number(id)
                + R"(,"method":"tools/call","params":{"name":"status"}})");
        const QList<QJsonObject> sent = serveLines(runner, lines);
        QSet<int> answered;
        for (const QJsonObject &message : sent)
            answered.insert(message.value(QStringLiteral("id")).toInt());
        QCOMPARE(sent.size(), 200);
        QCOMPARE(answered.size(), 200);
        QVERIFY2(most <= MCPServer::maxRunningCalls, QByteArray::number(most.load()).constData());
        QVERIFY2(ran < 100, QByteArray::number(ran.load()).constData());
        QCOMPARE(std::count_if(sent.begin(), sent.end(),
                     [](const QJsonObject &message) {
                         return resultText(message).value(QStringLiteral("code")) == QLatin1String("cancelled");
                     }),
            200 - ran);
    }

    void callsWaitingForTheUserLeaveTheirPlaces()
    {
        // More changes than there are places wait for their dialogs; a status sent after them is
        // answered while they all still wait.
        std::mutex mutex;
        std::condition_variable changed;
        bool statusAnswered = false;
        const auto runner = [&](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            if (name == QLatin1String("remove-destination")) {
                const WaitingForUser waiting;
                std::unique_lock lock(mutex);
                if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return statusAnswered; }))
                    throw std::runtime_error("the status call never answered");
            }
            return echoRunner(name, arguments, stop);
        };
        QList<QByteArray> lines;
        for (int id = 1; id <= MCPServer::maxRunningCalls + 1; ++id)
            lines.append(R"({"jsonrpc":"2.0","id":)" + QByteArray::number(id)
                + R"(,"method":"tools/call","params":{"name":"remove-destination"}})");
        lines.append(R"({"jsonrpc":"2.0","id":99,"method":"tools/call","params":{"name":"status"}})");
        const QList<QJsonObject> sent = serveLines(
            runner, lines,
            [&](const QJsonObject &message) {
                if (message.value(QStringLiteral("id")) == QJsonValue(99)) {
                    std::lock_guard lock(mutex);
                    statusAnswered = true;
                    changed.notify_all();
                }
            },
            [&] {
                // Input ends only once the status is answered: nothing is cancelled before.
                std::unique_lock lock(mutex);
                changed.wait_for(lock, std::chrono::seconds(30), [&] { return statusAnswered; });
            });
        QCOMPARE(sent.size(), MCPServer::maxRunningCalls + 2);
        QCOMPARE(sent.first().value(QStringLiteral("id")), QJsonValue(99));
        for (const QJsonObject &message : sent)
            QCOMPARE(
                message.value(QStringLiteral("result")).toObject().value(QStringLiteral("isError")), QJsonValue(false));
    }

    void reportsProgressUntilAnswered()
    {
        // Each call ends only once its client has heard progress for it. The third call runs as
        // long as the first and carries no token (a null one is none), so it must hear nothing.
        std::mutex mutex;
        std::condition_variable changed;
        QSet<QString> heard;
        const auto runner = [&](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            const QString token = arguments.value(QStringLiteral("token")).toString();
            std::unique_lock lock(mutex);
            if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return heard.contains(token); }))
                throw std::runtime_error("no progress was sent");
            return echoRunner(name, arguments, stop);
        };
        const QList<QJsonObject> sent = serveLines(runner,
            { R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"backup","arguments":{"token":"p"},)"
              R"("_meta":{"progressToken":"p"}}})",
                R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"check","arguments":{"token":"9"},)"
                R"("_meta":{"progressToken":9}}})",
                R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"status","arguments":{"token":"p"},)"
                R"("_meta":{"progressToken":null}}})",
                R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"check","arguments":{"token":"1.5"},)"
                R"("_meta":{"progressToken":1.5}}})" },
            [&](const QJsonObject &message) {
                if (message.value(QStringLiteral("method")) != QJsonValue(QStringLiteral("notifications/progress")))
                    return;
                std::lock_guard lock(mutex);
                heard.insert(message.value(QStringLiteral("params"))
                                 .toObject()
                                 .value(QStringLiteral("progressToken"))
                                 .toVariant()
                                 .toString());
                changed.notify_all();
            });
        QMap<QString, int> progress; // by token: the last number heard
        QSet<int> answered;
        for (const QJsonObject &message : sent) {
            if (message.contains(QStringLiteral("id"))) {
                QCOMPARE(message.value(QStringLiteral("result")).toObject().value(QStringLiteral("isError")),
                    QJsonValue(false));
                answered.insert(message.value(QStringLiteral("id")).toInt());
                continue;
            }
            const QJsonObject params = message.value(QStringLiteral("params")).toObject();
            const QString token = params.value(QStringLiteral("progressToken")).toVariant().toString();
            // Numbers only grow, and nothing follows the call's answer.
            QVERIFY(params.value(QStringLiteral("progress")).toInt() > progress.value(token));
            progress.insert(token, params.value(QStringLiteral("progress")).toInt());
            QVERIFY(!answered.contains(token == QLatin1String("9") ? 2 : token == QLatin1String("p") ? 1 : 4));
        }
        QCOMPARE(progress.keys(), (QStringList { "1.5", "9", "p" }));
        QCOMPARE(answered.size(), 4);
    }

    void cancelsCallsByRequestId()
    {
        std::mutex mutex;
        std::condition_variable_any changed;
        bool released = false;
        int stopped = 0;
        const auto runner = [&](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            std::unique_lock lock(mutex);
            if (arguments.value(QStringLiteral("which")).toString() == QLatin1String("a")) {
                // Ends only through its cancellation.
                changed.wait(lock, stop, [] { return false; });
                stopped += stop.stop_requested() ? 1 : 0;
                throw CancellationError();
            }
            // Ends when the ping has been answered, unless it is (wrongly) cancelled first.
            if (!changed.wait(lock, stop, [&] { return released; }))
                throw CancellationError();
            return echoRunner(name, arguments, stop);
        };
        const QList<QJsonObject> sent = serveLines(runner,
            { R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{"name":"status","arguments":{"which":"a"}}})",
                R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"a"}})",
                R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"status","arguments":{"which":"7"}}})",
                R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"7"}})",
                R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":8}})",
                // Two ids beyond 64 bits, one double apart: only the one named stops.
                R"({"jsonrpc":"2.0","id":18446744073709551616,"method":"tools/call","params":{"name":"status",)"
                R"("arguments":{"which":"a"}}})",
                R"({"jsonrpc":"2.0","id":18446744073709551617,"method":"tools/call","params":{"name":"status",)"
                R"("arguments":{"which":"b"}}})",
                R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":18446744073709551616}})",
                R"({"jsonrpc":"2.0","id":99,"method":"ping"})" },
            [&](const QJsonObject &message) {
                if (message.value(QStringLiteral("id")) == QJsonValue(99)) {
                    std::lock_guard lock(mutex);
                    released = true;
                    changed.notify_all();
                }
            });
        QCOMPARE(sent.size(), 3);
        QCOMPARE(sent.at(0).value(QStringLiteral("id")), QJsonValue(99));
        QSet<QByteArray> ids { json::compact(sent.at(1).value(QStringLiteral("id"))),
            json::compact(sent.at(2).value(QStringLiteral("id"))) };
        QCOMPARE(ids, (QSet<QByteArray> { "7", "18446744073709551617" }));
        QCOMPARE(resultText(sent.at(1)).value(QStringLiteral("tool")).toString(), QStringLiteral("status"));
        std::lock_guard lock(mutex);
        QCOMPARE(stopped, 2);
    }

    void cancelsNumericIdWithNumber()
    {
        std::atomic<bool> stopped = false;
        const auto runner = [&](const QString &, const QJsonObject &, std::stop_token stop) -> QJsonObject {
            std::mutex mutex;
            std::condition_variable_any never;
            std::unique_lock lock(mutex);
            never.wait(lock, stop, [] { return false; });
            stopped = true;
            throw CancellationError();
        };
        const QList<QJsonObject> sent = serveLines(runner,
            { R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"status"}})",
                R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":7,"reason":"user"}})" });
        QCOMPARE(sent.size(), 0);
        QVERIFY(stopped);

        // Two ids just below 64 bits, which a double rounds to one 64-bit integer: only the one
        // named is withdrawn, and the other answers (cancelled as input ends) by its own id.
        const QList<QJsonObject> below = serveLines(runner,
            { R"({"jsonrpc":"2.0","id":-9223372036854775809,"method":"tools/call","params":{"name":"status"}})",
                R"({"jsonrpc":"2.0","id":-9223372036854775810,"method":"tools/call","params":{"name":"status"}})",
                R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":-9223372036854775809}})" });
        QCOMPARE(below.size(), 1);
        QCOMPARE(json::compact(below.first().value(QStringLiteral("id"))), QByteArray("-9223372036854775810"));
    }

    void closedInputStopsCallsThatStillAnswer()
    {
        // A client that closes its input is gone: a backup it left running is stopped, as a
        // cancelled call is, and still answers with what it recorded.
        std::atomic<bool> stopped = false;
        const auto runner = [&](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            std::mutex mutex;
            std::condition_variable_any never;
            std::unique_lock lock(mutex);
            never.wait_for(lock, stop, std::chrono::seconds(60), [] { return false; });
            stopped = stop.stop_requested();
            return echoRunner(name, arguments, stop);
        };
        const QList<QJsonObject> sent
            = serveLines(runner, { R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"backup"}})" });
        QVERIFY(stopped);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(resultText(sent.at(0)).value(QStringLiteral("tool")).toString(), QStringLiteral("backup"));
    }

    void keysSeparateNumbersFromTexts()
    {
        QCOMPARE(MCPServer::key(QJsonValue(7)), QStringLiteral("n:7"));
        QCOMPARE(MCPServer::key(QJsonValue(QStringLiteral("7"))), QStringLiteral("s:7"));
        QCOMPARE(MCPServer::key(QJsonValue(QJsonValue::Null)), QStringLiteral("n:null"));
    }
};

QTEST_GUILESS_MAIN(MCPServerTest)
#include "MCPServerTest.moc"
