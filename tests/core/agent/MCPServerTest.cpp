#include "agent/MCPServer.h"
#include "agent/AgentCommand.h"
#include "agent/AgentError.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QRegularExpression>
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
    const std::function<void(const QJsonObject &)> &observe = {})
{
    int fds[2];
    if (::pipe(fds) != 0)
        qFatal("pipe failed");
    // Written while the server reads, so lines longer than the pipe holds get through.
    std::thread client([&lines, fd = fds[1]] {
        for (const QByteArray &line : lines) {
            const QByteArray bytes = line + '\n';
            for (qsizetype done = 0; done < bytes.size();) {
                const ssize_t count = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
                if (count <= 0)
                    qFatal("pipe write failed");
                done += count;
            }
        }
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

// Whether `value` fits one property of an input schema, for the keywords the tools use. The
// patterns are ECMAScript's: "\uXXXX" and the end anchor are spelt for PCRE first.
bool fits(const QJsonObject &schema, const QJsonValue &value)
{
    const QString type = schema.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("array")) {
        const QJsonArray items = value.toArray();
        return value.isArray() && std::all_of(items.begin(), items.end(), [&](const QJsonValue &item) {
            return fits(schema.value(QStringLiteral("items")).toObject(), item);
        });
    }
    if (type == QLatin1String("integer"))
        return value.isDouble() && value.toDouble() == std::floor(value.toDouble())
            && value.toDouble() >= schema.value(QStringLiteral("minimum")).toDouble(-1e300);
    if (type == QLatin1String("boolean"))
        return value.isBool();
    if (!value.isString())
        return false;
    if (schema.contains(QStringLiteral("enum")) && !schema.value(QStringLiteral("enum")).toArray().contains(value))
        return false;
    QString pattern = schema.value(QStringLiteral("pattern")).toString();
    pattern.replace(QRegularExpression(QStringLiteral(R"(\\u([0-9A-F]{4}))")), QStringLiteral(R"(\x{\1})"));
    pattern.replace(u'$', QStringLiteral(R"(\z)"));
    return QRegularExpression(pattern).match(value.toString()).hasMatch();
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
        QTest::newRow("unfinished object")
            << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"") << parseError;
        QTest::newRow("batch") << QByteArray(R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])")
                               << QByteArray(R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,)"
                                             R"("jsonrpc":"2.0"})");
        QTest::newRow("method not text") << QByteArray(R"({"id":1,"method":5})") << parseError;
        QTest::newRow("no method") << QByteArray(R"({"id":1})") << parseError;
        QTest::newRow("ping") << QByteArray(R"({"jsonrpc":"2.0","id":1,"method":"ping"})")
                              << QByteArray(R"({"id":1,"jsonrpc":"2.0","result":{}})");
        QTest::newRow("notification") << QByteArray(R"({"jsonrpc":"2.0","method":"notifications/initialized"})")
                                      << QByteArray();
        QTest::newRow("unknown method") << QByteArray(R"({"jsonrpc":"2.0","id":"r","method":"resources/list"})")
                                        << QByteArray(R"({"error":{"code":-32601,"message":"Method not found: )"
                                                      R"(resources/list"},"id":"r","jsonrpc":"2.0"})");
        QTest::newRow("call without name")
            << QByteArray(R"({"id":2,"method":"tools/call","params":{"arguments":{}}})")
            << QByteArray(R"({"error":{"code":-32602,"message":"tools/call needs a name."},"id":2,"jsonrpc":"2.0"})");
        QTest::newRow("call of unknown tool")
            << QByteArray(R"({"id":3,"method":"tools/call","params":{"name":"Status"}})")
            << QByteArray(R"({"error":{"code":-32602,"message":"Unknown tool Status."},"id":3,"jsonrpc":"2.0"})");
        QTest::newRow("call without id") << QByteArray(R"({"method":"tools/call","params":{"name":"status"}})")
                                         << QByteArray();
        QTest::newRow("cancel is silent")
            << QByteArray(R"({"id":4,"method":"notifications/cancelled","params":{}})") << QByteArray();
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
            const QByteArray line = "{\"id\":" + QByteArray::number(id) + ",\"method\":\"ping\",\"pad\":\"";
            return line + QByteArray(size - line.size() - 2, 'x') + "\"}";
        };
        const QList<QJsonObject> sent = serveLines(echoRunner,
            { ping(1, MCPServer::maxLineBytes), ping(2, MCPServer::maxLineBytes + 1), R"({"id":3,"method":"ping"})" });
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
        QVERIFY(first.value(QStringLiteral("instructions")).toString().startsWith(QStringLiteral("Controls Vellmir,")));
        for (int i : { 1, 2, 3 })
            QCOMPARE(sent.at(i).value(QStringLiteral("result")).toObject().value(QStringLiteral("protocolVersion")),
                QJsonValue(QStringLiteral("2025-06-18")));
        QCOMPARE(sent.at(4).value(QStringLiteral("result")).toObject().value(QStringLiteral("protocolVersion")),
            QJsonValue(QStringLiteral("2025-03-26")));
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
        QCOMPARE(json::compact(toolNamed(QStringLiteral("history")).value(QStringLiteral("inputSchema"))),
            QByteArray(R"({"additionalProperties":false,"properties":{"destination":{"description":"Destination name, )"
                       R"(id, or unique id prefix.","pattern":"^[^\\u0000]+$","type":"string"},"limit":{"description":)"
                       R"("Runs to return (default 10).","minimum":0,"type":"integer"}},"required":["destination"],)"
                       R"("type":"object"})"));
        const QJsonObject status = toolNamed(QStringLiteral("status"));
        QCOMPARE(json::compact(status.value(QStringLiteral("inputSchema"))),
            QByteArray(R"({"additionalProperties":false,"properties":{},"required":[],"type":"object"})"));
        QCOMPARE(status.value(QStringLiteral("annotations")).toObject().value(QStringLiteral("readOnlyHint")),
            QJsonValue(true));

        const QJsonObject add = toolNamed(QStringLiteral("add-destination"));
        const QJsonObject schema = add.value(QStringLiteral("inputSchema")).toObject();
        QCOMPARE(json::compact(schema.value(QStringLiteral("properties")).toObject().value(QStringLiteral("sources"))),
            QByteArray(R"({"description":"Folders to back up (absolute or ~).","items":{"pattern":)"
                       R"("^\\s*(~\\s*$|~/|/)[^\\u0000]*$","type":"string"},"type":"array"})"));
        QCOMPARE(json::compact(schema.value(QStringLiteral("required"))),
            QByteArray(R"(["name","kind","repository","password"])"));
        QCOMPARE(add.value(QStringLiteral("description")).toString(),
            QStringLiteral(
                "Add a destination. Pass secrets in JSON on standard input, never as flags. Needs the user's "
                "approval in a dialog on this computer unless they have allowed changes without approval."));
        QCOMPARE(add.value(QStringLiteral("annotations")).toObject().value(QStringLiteral("destructiveHint")),
            QJsonValue(true));

        const QJsonObject backup = toolNamed(QStringLiteral("backup"));
        QCOMPARE(backup.value(QStringLiteral("description")).toString(),
            AgentCommand::named(QStringLiteral("backup"))->summary);
        QCOMPARE(json::compact(backup.value(QStringLiteral("annotations"))),
            QByteArray(R"({"destructiveHint":false,"openWorldHint":false,"readOnlyHint":false})"));
    }

    // A client that checks its arguments against the schema refuses what the server refuses,
    // and lets through what the server takes.
    void schemasSayWhatTheServerAccepts_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QString>("parameter");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("accepted");
        const QString nul(QChar(0));
        const auto row = [](const char *name, const char *tool, const char *parameter, const QJsonValue &value,
                             bool accepted) { QTest::newRow(name) << tool << parameter << value << accepted; };
        row("unknown kind", "add-destination", "kind", "floppy", false);
        row("kind", "add-destination", "kind", "s3", true);
        row("unknown schedule", "update-destination", "schedule", "weekly", false);
        row("schedule", "add-destination", "schedule", "daily", true);
        row("negative limit", "history", "limit", -1, false);
        row("no limit", "snapshots", "limit", 0, true);
        row("negative count", "update-destination", "keepDaily", -1, false);
        row("negative wait counts as none", "backup", "waitSeconds", -5, true);
        row("request not an id", "backup-result", "request", "abc", false);
        row("request id in lower case", "backup-result", "request", "0a1b2c3d-0000-4000-8000-00000000000f", true);
        row("empty destination", "check", "destination", "", false);
        row("blank name", "add-destination", "name", " ", false);
        row("line feed in a name", "add-destination", "name", "a\nb", false);
        row("override in a name", "update-destination", "name", "photos\u202Egpj.exe", false);
        row("name", "add-destination", "name", "Fotos \u2713", true);
        row("empty new name is no change", "update-destination", "name", "", true);
        row("rclone repository", "add-destination", "repository", "rclone:x:y", false);
        row("relative repository", "add-destination", "repository", "relrepo", false);
        row("repository", "add-destination", "repository", "sftp:u@h:/r", true);
        row("relative source", "add-destination", "sources", QJsonArray { "Documents" }, false);
        row("home source", "update-destination", "addSources", QJsonArray { "~", " ~/x " }, true);
        row("NUL in an exclude", "add-destination", "excludes", QJsonArray { "*" + nul + ".tmp" }, false);
        row("restore path going up", "restore", "path", "/a/../b", false);
        row("restore path with a line feed", "restore", "path", "/a\n", false);
        row("restore path with dots", "restore", "path", "/a..b", true);
        row("relative target", "restore", "target", "out", false);
        row("relative browse path", "browse", "path", "a", false);
        row("blank password", "add-destination", "password", " \t", false);
        row("password", "add-destination", "password", " pw ", true);
    }
    void schemasSayWhatTheServerAccepts()
    {
        QFETCH(QString, tool);
        QFETCH(QString, parameter);
        QFETCH(QJsonValue, value);
        QFETCH(bool, accepted);
        const QJsonObject properties = toolNamed(tool)
                                           .value(QStringLiteral("inputSchema"))
                                           .toObject()
                                           .value(QStringLiteral("properties"))
                                           .toObject();
        QVERIFY(properties.contains(parameter));
        QCOMPARE(fits(properties.value(parameter).toObject(), value), accepted);
    }

    void shapesToolResults_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QByteArray>("text"); // the text content; empty for success
        QTest::newRow("not found") << 0 << QByteArray(R"({"code":"not-found","error":"No single destination."})");
        QTest::newRow("denied")
            << 1
            << QByteArray("{\"code\":\"denied\",\"error\":\"The change was denied in Vellmir's approval dialog.\"}");
        QTest::newRow("timed out") << 2
                                   << QByteArray(R"({"code":"timed-out","error":"Nobody answered the approval request )"
                                                 R"(within 5 minutes, so the change was not made."})");
        QTest::newRow("other error") << 3 << QByteArray(R"({"code":"failed","error":"disk on fire"})");
        QTest::newRow("success") << 4 << QByteArray();
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
            { R"({"id":1,"method":"tools/call","params":{"name":"status","arguments":{"order":1}}})",
                R"({"id":2,"method":"tools/call","params":{"name":"status","arguments":{"order":2}}})" },
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
        std::atomic<int> running = 0;
        std::atomic<int> most = 0;
        const auto runner = [&](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            const int now = ++running;
            for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) { }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --running;
            return echoRunner(name, arguments, stop);
        };
        QList<QByteArray> lines;
        for (int id = 0; id < 200; ++id)
            lines.append(
                R"({"id":)" + QByteArray::number(id) + R"(,"method":"tools/call","params":{"name":"status"}})");
        const QList<QJsonObject> sent = serveLines(runner, lines);
        QSet<int> answered;
        for (const QJsonObject &message : sent)
            answered.insert(message.value(QStringLiteral("id")).toInt());
        QCOMPARE(sent.size(), 200);
        QCOMPARE(answered.size(), 200);
        QVERIFY2(most <= MCPServer::maxRunningCalls, QByteArray::number(most.load()));
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
            { R"({"id":1,"method":"tools/call","params":{"name":"backup","arguments":{"token":"p"},)"
              R"("_meta":{"progressToken":"p"}}})",
                R"({"id":2,"method":"tools/call","params":{"name":"check","arguments":{"token":"9"},)"
                R"("_meta":{"progressToken":9}}})",
                R"({"id":3,"method":"tools/call","params":{"name":"status","arguments":{"token":"p"},)"
                R"("_meta":{"progressToken":null}}})" },
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
            QVERIFY(!answered.contains(token == QLatin1String("9") ? 2 : 1));
        }
        QCOMPARE(progress.keys(), (QStringList { "9", "p" }));
        QCOMPARE(answered.size(), 3);
    }

    void cancelsCallsByRequestId()
    {
        std::mutex mutex;
        std::condition_variable_any changed;
        bool released = false;
        bool firstStopped = false;
        const auto runner = [&](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
            std::unique_lock lock(mutex);
            if (arguments.value(QStringLiteral("which")).toString() == QLatin1String("a")) {
                // Ends only through its cancellation.
                changed.wait(lock, stop, [] { return false; });
                firstStopped = stop.stop_requested();
                throw CancellationError();
            }
            // Ends when the ping has been answered, unless it is (wrongly) cancelled first.
            if (!changed.wait(lock, stop, [&] { return released; }))
                throw CancellationError();
            return echoRunner(name, arguments, stop);
        };
        const QList<QJsonObject> sent = serveLines(runner,
            { R"({"id":"a","method":"tools/call","params":{"name":"status","arguments":{"which":"a"}}})",
                R"({"method":"notifications/cancelled","params":{"requestId":"a"}})",
                R"({"id":7,"method":"tools/call","params":{"name":"status","arguments":{"which":"7"}}})",
                R"({"method":"notifications/cancelled","params":{"requestId":"7"}})",
                R"({"method":"notifications/cancelled","params":{"requestId":8}})", R"({"id":99,"method":"ping"})" },
            [&](const QJsonObject &message) {
                if (message.value(QStringLiteral("id")) == QJsonValue(99)) {
                    std::lock_guard lock(mutex);
                    released = true;
                    changed.notify_all();
                }
            });
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent.at(0).value(QStringLiteral("id")), QJsonValue(99));
        QCOMPARE(sent.at(1).value(QStringLiteral("id")), QJsonValue(7));
        QCOMPARE(resultText(sent.at(1)).value(QStringLiteral("tool")).toString(), QStringLiteral("status"));
        std::lock_guard lock(mutex);
        QVERIFY(firstStopped);
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
            { R"({"id":7,"method":"tools/call","params":{"name":"status"}})",
                R"({"method":"notifications/cancelled","params":{"requestId":7,"reason":"user"}})" });
        QCOMPARE(sent.size(), 0);
        QVERIFY(stopped);
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
            = serveLines(runner, { R"({"id":1,"method":"tools/call","params":{"name":"backup"}})" });
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
