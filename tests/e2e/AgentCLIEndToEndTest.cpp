#include "AgentCLIRun.h"
#include "LockHolder.h"
#include "TestSupport.h"
#include "util/AppPaths.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QtTest>

#include <csignal>

using namespace vellmir;
using test::Finished, test::runCli;

class AgentCLIEndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestHome> m_home;

private Q_SLOTS:
    void init() { m_home = std::make_unique<test::TestHome>(); }
    void cleanup() { m_home.reset(); }

    void usageAndHelp_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("nothing") << QStringList() << 2;
        QTest::newRow("help") << QStringList { "help" } << 0;
        QTest::newRow("-h with more") << QStringList { "-h", "status", "--bogus" } << 0;
        QTest::newRow("--help") << QStringList { "--help" } << 0;
        QTest::newRow("mcp --help") << QStringList { "mcp", "--help" } << 0;
        QTest::newRow("a command's --help") << QStringList { "backup", "--help" } << 0;
        QTest::newRow("a command's -h") << QStringList { "backup", "--destination", "x", "-h" } << 0;
    }

    void usageAndHelp()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        const Finished finished = runCli(arguments);
        QCOMPARE(finished.exitCode, exitCode);
        // Asked for, help goes to standard output; only the usage of a bare call is an error's.
        const bool commandHelp = arguments.value(0) == QLatin1String("backup");
        const QByteArray &help = exitCode == 0 ? finished.stdout : finished.stderr;
        QCOMPARE(exitCode == 0 ? finished.stderr : finished.stdout, QByteArray());
        if (arguments.value(0) == QLatin1String("mcp")) {
            QVERIFY(help.startsWith("usage: vellmir mcp\n"));
            return;
        }
        QVERIFY(help.startsWith(commandHelp ? "usage: vellmir backup " : "usage: vellmir <command>"));
        QVERIFY(!commandHelp || help.contains("\n  --waitSeconds NUMBER\n"));
        QVERIFY(commandHelp || exitCode != 0 || help.contains("\n  backup-result "));
        QVERIFY(help.contains("\nExit status: 0 success, 1 failed, 2 usage error, 3 not found, 4 denied or timed out, "
                              "128+n ended by signal n.\n"));
    }

    void listsCommands()
    {
        const Finished finished = runCli({ QStringLiteral("commands") });
        QCOMPARE(finished.exitCode, 0);
        QVERIFY(finished.stdout.endsWith("}\n"));
        const QJsonArray commands = json::parseObject(finished.stdout).value(QStringLiteral("commands")).toArray();
        QCOMPARE(commands.size(), 15);
        QCOMPARE(commands.first().toObject().value(QStringLiteral("name")).toString(), QStringLiteral("status"));
    }

    void reportsErrorsWithExitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("display"); // "": none; "wayland": one that seems to answer; else DISPLAY
        test::dataRow("unknown command", QStringList { "Status" }, 2, "usage", "");
        test::dataRow("unknown flag", QStringList { "status", "--verbose" }, 2, "usage", "");
        test::dataRow("commands with more", QStringList { "commands", "extra" }, 2, "usage", "");
        test::dataRow("mcp with a flag", QStringList { "mcp", "--bogus", "1" }, 2, "usage", "");
        test::dataRow("bad json", QStringList { "history", "--json", "-" }, 2, "usage", "");
        test::dataRow(
            "missing json file", QStringList { "history", "--json", "/nonexistent/args.json" }, 2, "usage", "");
        test::dataRow("endless json file", QStringList { "history", "--json", "/dev/zero" }, 2, "usage", "");
        // After "cli" no word is a start mode or a Qt option: each is the tool's to refuse.
        test::dataRow("scheduler switch", QStringList { "status", "--scheduled-run" }, 2, "usage", "");
        test::dataRow(
            "qt option with a desktop", QStringList { "status", "--platform", "nowhere" }, 2, "usage", "wayland");
        // A display nobody answers on (a closed "ssh -X" forwarding) is never tried without a dialog.
        test::dataRow("display not answering", QStringList { "status", "--verbose" }, 2, "usage", "localhost:7391");
        test::dataRow("secret as a flag", QStringList { "add-destination", "--password", "pw" }, 2, "usage", "");
        // A wrong value is wrong whatever the destination: it is refused before any is looked up.
        test::dataRow("wrong value, unknown destination",
            QStringList { "apply-retention", "--destination", "Nope", "--prune", "maybe" }, 2, "usage", "");
    }

    void reportsErrorsWithExitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, code);
        QFETCH(QString, display);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (display == u"wayland") {
            // A Wayland socket path that exists reads as a desktop session; the offscreen
            // platform stands in for the display server.
            const QString runtime = m_home->path() + QStringLiteral("/run");
            QVERIFY(QDir().mkpath(runtime));
            QVERIFY(QFile::setPermissions(
                runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
            const QString socket = runtime + QStringLiteral("/wayland-0");
            test::writeFile(socket, "");
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
            environment.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        } else if (!display.isEmpty()) {
            environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
            environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
            environment.insert(QStringLiteral("DISPLAY"), display);
        }
        const Finished finished = runCli(arguments, "[1]", environment);
        QCOMPARE(finished.exitCode, exitCode);
        const QJsonObject reply = json::parseObject(finished.stdout);
        QCOMPARE(reply.keys(), (QStringList { "code", "error" }));
        QCOMPARE(reply.value(QStringLiteral("code")).toString(), code);
        QCOMPARE(finished.stderr, QByteArray());
    }

    // A command waiting for a lock that another process holds (or a stopped Vellmir keeps) ends
    // on SIGTERM like any other command.
    void aSignalEndsAWaitForALock()
    {
        if (!test::LockHolder::available())
            QSKIP("flock(1) is not installed");
        QVERIFY(QDir().mkpath(AppPaths::dataDirectory()));
        test::LockHolder holder;
        QVERIFY(holder.hold(AppPaths::destinationsFile() + QStringLiteral(".lock")));
        QProcess process;
        process.start(QStringLiteral(VELLMIR_APP), { QStringLiteral("cli"), QStringLiteral("status") });
        QVERIFY(process.waitForStarted(10000));
        QVERIFY(!process.waitForFinished(1000));
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(3000));
        QCOMPARE(process.exitCode(), 128 + SIGTERM);
    }

    void servesMcpUntilInputEnds()
    {
        const QByteArray input
            = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{\"protocolVersion\":"
              "\"2025-06-18\",\"capabilities\":{},\"clientInfo\":{\"name\":\"t\",\"version\":\"1\"}}}\n"
              "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n"
              "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/list\"}\n"
              "\n"
              "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"tools/call\",\"params\":{\"name\":\"nope\"}}\n"
              "{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"ping\"}";
        const Finished finished = runCli({ QStringLiteral("mcp") }, input);
        QCOMPARE(finished.exitCode, 0);
        // Standard output carries protocol lines and nothing else.
        QVERIFY(finished.stdout.endsWith('\n'));
        const QList<QByteArray> lines = finished.stdout.chopped(1).split('\n');
        QCOMPARE(lines.size(), 4);
        QMap<int, QJsonObject> byId;
        for (const QByteArray &line : lines) {
            const QJsonObject message = json::parseObject(line);
            QCOMPARE(message.value(QStringLiteral("jsonrpc")).toString(), QStringLiteral("2.0"));
            byId.insert(message.value(QStringLiteral("id")).toInt(), message);
        }
        // Inline messages answer in order; the tool call runs on its own and may come later.
        QCOMPARE(byId.keys(), (QList<int> { 1, 2, 3, 4 }));
        QCOMPARE(json::parseObject(lines.at(0)).value(QStringLiteral("id")), QJsonValue(1));
        QCOMPARE(
            byId.value(2).value(QStringLiteral("result")).toObject().value(QStringLiteral("tools")).toArray().size(),
            15);
        QCOMPARE(
            byId.value(3).value(QStringLiteral("error")).toObject().value(QStringLiteral("code")), QJsonValue(-32602));
    }
};

QTEST_GUILESS_MAIN(AgentCLIEndToEndTest)
#include "AgentCLIEndToEndTest.moc"
