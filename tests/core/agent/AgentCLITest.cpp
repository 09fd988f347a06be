#include "agent/AgentCLI.h"
#include "TestSupport.h"
#include "agent/AgentCommand.h"
#include "agent/AgentError.h"
#include "util/Error.h"
#include "util/Json.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>
#include <sys/stat.h>

using namespace vellmir;

class AgentCLITest : public QObject {
    Q_OBJECT

    static QStringList words(const QString &line)
    {
        return line.isEmpty() ? QStringList() : line.split(QLatin1Char('|'));
    }

private Q_SLOTS:
    void parseBuildsParameters_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("arguments"); // split at "|"
        QTest::addColumn<QByteArray>("expected"); // compact JSON, or empty when it fails
        QTest::addColumn<QString>("message");

        test::dataRow("none", "status", "", QByteArray("{}"), "");
        test::dataRow(
            "list repeats", "add-destination", "--sources|a|--sources|b", QByteArray(R"({"sources":["a","b"]})"), "");
        test::dataRow("single value repeated", "history", "--limit|5|--limit|7", QByteArray(),
            "--limit takes one value, but was given \"5\" and \"7\".");
        test::dataRow("switch alone", "backup", "--inProcess", QByteArray(R"({"inProcess":true})"), "");
        test::dataRow("switch with word", "backup", "--inProcess|false", QByteArray(R"({"inProcess":false})"), "");
        test::dataRow("switch then flag", "backup", "--inProcess|--destination|d",
            QByteArray(R"({"destination":"d","inProcess":true})"), "");
        test::dataRow(
            "string takes dashes", "history", "--destination|--limit", QByteArray(R"({"destination":"--limit"})"), "");
        test::dataRow("inline keeps equals", "browse", "--search=a=b=c", QByteArray(R"({"search":"a=b=c"})"), "");
        test::dataRow("inline empty", "browse", "--path=", QByteArray(R"({"path":""})"), "");
        test::dataRow("inline switch", "backup", "--inProcess=no", QByteArray(R"({"inProcess":false})"), "");
        test::dataRow("unknown command", "Status", "", QByteArray(),
            "Unknown command \"Status\". Run `vellmir commands` for the list.");
        test::dataRow("bare word", "history", "limit", QByteArray(),
            "Unexpected argument \"limit\". Parameters take the form --name value.");
        test::dataRow("two dashes", "history", "--", QByteArray(),
            "Unexpected argument \"--\". Parameters take the form --name value.");
        test::dataRow("single dash", "history", "-x", QByteArray(),
            "Unexpected argument \"-x\". Parameters take the form --name value.");
        test::dataRow("unknown flag", "status", "--verbose", QByteArray(), "status has no parameter --verbose.");
        test::dataRow(
            "flag names are exact", "history", "--Limit|3", QByteArray(), "history has no parameter --Limit.");
        test::dataRow("missing value", "history", "--destination|x|--limit", QByteArray(), "--limit needs a value.");
        // Secrets only through --json: a flag shows in the process list and shell history.
        test::dataRow("secret flag", "add-destination", "--password|pw", QByteArray(),
            "Pass password through --json - (a JSON object on standard input), never as "
            "a flag: flags show in the process list and the shell's history.");
        test::dataRow("inline secret flag", "add-destination", "--awsSecretAccessKey=k", QByteArray(),
            "Pass awsSecretAccessKey through --json - (a JSON object on standard input), never as a flag: flags "
            "show in the process list and the shell's history.");
        test::dataRow("json without path", "history", "--json", QByteArray(), "--json needs a file or -.");
        // Where a parameter would stand, the help words ask for the command's help.
        test::dataRow("help after a parameter", "backup", "--destination|d|--help", QByteArray("help"), "");
        test::dataRow("short help", "status", "-h", QByteArray("help"), "");
        test::dataRow(
            "help as a value", "history", "--destination|--help", QByteArray(R"({"destination":"--help"})"), "");
    }

    void parseBuildsParameters()
    {
        QFETCH(QString, command);
        QFETCH(QString, arguments);
        QFETCH(QByteArray, expected);
        QFETCH(QString, message);
        const auto noStdin = []() -> QByteArray { throw std::logic_error("stdin read"); };
        if (expected == "help") {
            try {
                AgentCLI::parse(words(arguments), command, noStdin);
                QFAIL("parse succeeded");
            } catch (const AgentCLI::HelpRequested &asked) {
                QCOMPARE(asked.command->name, command);
            }
            return;
        }
        if (expected.isEmpty()) {
            try {
                AgentCLI::parse(words(arguments), command, noStdin);
                QFAIL("parse succeeded");
            } catch (const AgentError &error) {
                QVERIFY(error.kind() == AgentError::Kind::usage);
                QCOMPARE(error.message(), message);
            }
            return;
        }
        QCOMPARE(json::compact(AgentCLI::parse(words(arguments), command, noStdin)), expected);
    }

    void parseMergesJson()
    {
        test::TestHome home;
        const QString first = home.path() + QStringLiteral("/first.json");
        const QString second = home.path() + QStringLiteral("/second.json");
        test::writeFile(first, R"({"limit": 3, "extra": [1, true]})");
        test::writeFile(second, R"({"destination": "json"})");
        int stdinReads = 0;
        const auto input = [&stdinReads] {
            ++stdinReads;
            return QByteArray(R"({"sources": ["x", "y"], "initialize": true})");
        };
        // Objects and flags merge; JSON values keep their types.
        QCOMPARE(json::compact(AgentCLI::parse({ QStringLiteral("--json"), first, QStringLiteral("--json=") + second,
                                                   QStringLiteral("--search"), QStringLiteral("flag") },
                     QStringLiteral("browse"), input)),
            QByteArray(R"({"destination":"json","extra":[1,true],"limit":3,"search":"flag"})"));
        QCOMPARE(stdinReads, 0);
        QCOMPARE(json::compact(AgentCLI::parse(
                     { QStringLiteral("--name"), QStringLiteral("z"), QStringLiteral("--json"), QStringLiteral("-") },
                     QStringLiteral("add-destination"), input)),
            QByteArray(R"({"initialize":true,"name":"z","sources":["x","y"]})"));
        QCOMPARE(stdinReads, 1);
        // Text where a number belongs stays text for the check to refuse, as over MCP.
        QCOMPARE(json::compact(AgentCLI::parse({ QStringLiteral("--json"), QStringLiteral("-") },
                     QStringLiteral("history"), [] { return QByteArray(R"({"limit":"5"})"); })),
            QByteArray(R"({"limit":"5"})"));
    }

    void parseRefusesAParameterGivenTwice_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("arguments"); // split at "|"; "-" reads `json`
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("message");
        test::dataRow("key written twice", "remove-destination", "--json|-",
            QByteArray(R"({"destination":"Home","destination":"Cloud"})"),
            "--destination takes one value, but was given \"Home\" and \"Cloud\".");
        test::dataRow("flag and json", "history", "--destination|Home|--json|-",
            QByteArray(R"({"destination":"Cloud"})"),
            "--destination takes one value, but was given \"Home\" and \"Cloud\".");
        test::dataRow("list flag and json", "add-destination", "--sources|z|--json|-",
            QByteArray(R"({"sources":["x"]})"), "--sources takes one list, but was given [\"z\"] and [\"x\"].");
        // A secret is never written out, nor what may be a misspelt one.
        test::dataRow("secret twice", "add-destination", "--json|-", QByteArray(R"({"password":"a","password":"b"})"),
            "--password takes one value, but was given two.");
        test::dataRow("unknown key twice", "add-destination", "--json|-",
            QByteArray(R"({"pasword":"a","pasword":"b"})"), "--pasword takes one value, but was given two.");
    }

    void parseRefusesAParameterGivenTwice()
    {
        QFETCH(QString, command);
        QFETCH(QString, arguments);
        QFETCH(QByteArray, json);
        QFETCH(QString, message);
        try {
            AgentCLI::parse(words(arguments), command, [&json] { return json; });
            QFAIL("parse succeeded");
        } catch (const AgentError &error) {
            QCOMPARE(error.message(), message);
            QCOMPARE(error.exitStatus(), 2);
        }
    }

    void parseRejectsBadJson_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("array") << QByteArray("[1, 2]");
        QTest::newRow("unfinished") << QByteArray("{\"limit\": ");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("string") << QByteArray("\"x\"");
    }

    void parseRejectsBadJson()
    {
        QFETCH(QByteArray, content);
        try {
            AgentCLI::parse({ QStringLiteral("--json"), QStringLiteral("-") }, QStringLiteral("history"),
                [&content] { return content; });
            QFAIL("parse succeeded");
        } catch (const AgentError &error) {
            QCOMPARE(error.message(), QStringLiteral("--json must contain one JSON object."));
        }
    }

    void parseReportsMissingFileAsUsage()
    {
        test::TestHome home;
        try {
            AgentCLI::parse({ QStringLiteral("--json"), home.path() + QStringLiteral("/missing.json") },
                QStringLiteral("history"), [] { return QByteArray(); });
            QFAIL("parse succeeded");
        } catch (const AgentError &error) {
            QVERIFY(error.message().contains(QStringLiteral("missing.json")));
            QCOMPARE(error.exitStatus(), 2);
        }
    }

    void usageTextIsExact()
    {
        const QByteArray exitStatus("Exit status: 0 success, 1 failed, 2 usage error, 3 not found, 4 denied or timed "
                                    "out, 128+n ended by signal n.\n");
        const QByteArray usage = AgentCLI::usageText();
        QCOMPARE(usage.size(), 369 + 58 + 1 + exitStatus.size());
        QCOMPARE(usage.count('\n'), 9);
        QVERIFY(usage.startsWith("usage: vellmir <command> [--parameter value ...] [--json FILE|-]\n"));
        QVERIFY(usage.endsWith("\nvellmir <command> --help lists that command's parameters.\n\n" + exitStatus));

        // A command's help comes from its row of the table.
        const QString help
            = QString::fromUtf8(AgentCLI::commandHelp(*AgentCommand::named(QStringLiteral("add-destination"))));
        QVERIFY(
            help.startsWith(QStringLiteral("usage: vellmir add-destination [--parameter value ...] [--json FILE|-]\n\n"
                                           "Add a destination. Pass secrets in JSON on standard input, never as "
                                           "flags.\n")));
        QVERIFY(help.contains(QStringLiteral("\n  --name TEXT\n      (required) Display name.\n")));
        QVERIFY(help.contains(QStringLiteral("\n  --sources TEXT (repeat for several)\n      Folders to back up")));
        QVERIFY(help.contains(
            QStringLiteral("\n  --password TEXT\n      (required, in --json only) Repository password.\n")));
        QVERIFY(help.contains(QStringLiteral("\n  --initialize [true|false]\n")));
        QVERIFY(help.contains(QStringLiteral("\n  --schedule manual|hourly|daily\n")));
        QVERIFY(help.endsWith(QString::fromUtf8("\n\n" + exitStatus)));
    }

    void commandListFollowsTable()
    {
        const QJsonArray commands = AgentCLI::commandList().value(QStringLiteral("commands")).toArray();
        QCOMPARE(commands.size(), 15);
        QCOMPARE(commands.at(7).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("backup-result"));
        QCOMPARE(commands.at(7).toObject().value(QStringLiteral("tier")).toString(), QStringLiteral("read"));
        const QJsonObject backup = commands.at(6).toObject();
        QCOMPARE(backup.value(QStringLiteral("tier")).toString(), QStringLiteral("operate"));
        const QJsonArray parameters = backup.value(QStringLiteral("parameters")).toArray();
        QCOMPARE(parameters.size(), 3);
        QCOMPARE(json::compact(parameters.at(2)),
            QByteArray(R"({"help":"Run in this process instead of the background agent.","name":"inProcess",)"
                       R"("required":false,"type":"boolean"})"));
        const QJsonObject add = commands.at(10).toObject();
        QCOMPARE(add.value(QStringLiteral("parameters")).toArray().at(3).toObject().value(QStringLiteral("type")),
            QJsonValue(QStringLiteral("strings")));
    }

    void emittedIsSortedPrettyWithOneLineFeed()
    {
        const QByteArray bytes = AgentCLI::emitted(
            QJsonObject { { QStringLiteral("b"), QStringLiteral("/x/y") }, { QStringLiteral("a"), 1 } });
        QVERIFY(bytes.endsWith("}\n"));
        QVERIFY(!bytes.endsWith("\n\n"));
        QVERIFY(bytes.contains("\n"));
        QVERIFY(bytes.indexOf("\"a\"") < bytes.indexOf("\"b\""));
        QVERIFY(bytes.contains("\"/x/y\""));
        QCOMPARE(json::parseObject(bytes).value(QStringLiteral("a")).toInt(), 1);
    }

    void installWritesQuotedTwoLineScript_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << QStringLiteral("bin") << QStringLiteral("'%1/bin/app'");
        QTest::newRow("spaces") << QStringLiteral("my apps") << QStringLiteral("'%1/my apps/app'");
        QTest::newRow("apostrophe") << QStringLiteral("Jo's apps") << QStringLiteral("'%1/Jo'\\''s apps/app'");
    }

    void installWritesQuotedTwoLineScript()
    {
        QFETCH(QString, folder);
        QFETCH(QString, quoted);
        test::TestHome home;
        // A stand-in executable that echoes its arguments one per line.
        const QString executable = home.path() + QLatin1Char('/') + folder + QStringLiteral("/app");
        test::writeFile(executable, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done\n");
        QFile::setPermissions(executable, QFile::permissions(executable) | QFileDevice::ExeOwner);

        const QString directory = home.path() + QStringLiteral("/.local/bin");
        const QString path = AgentCLI::installCommand(executable, directory);
        QCOMPARE(path, directory + QStringLiteral("/vellmir"));
        const QString expected
            = QStringLiteral("#!/bin/sh\nexec ") + quoted.arg(home.path()) + QStringLiteral(" cli \"$@\"\n");
        QCOMPARE(QString::fromUtf8(test::readFile(path)), expected);

        QProcess process;
        process.start(
            path, { QStringLiteral("a b"), QStringLiteral("it's"), QStringLiteral("\"q\" $HOME"), QString() });
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), QStringLiteral("cli\na b\nit's\n\"q\" $HOME\n\n"));
    }

    void installSetsModeAndReplaces()
    {
        test::TestHome home;
        // Neither the folder nor its parent exists yet.
        const QString directory = home.path() + QStringLiteral("/other/.local/bin");
        const mode_t previous = ::umask(077);
        const QString first = AgentCLI::installCommand(QStringLiteral("/old/app"), directory);
        ::chmod(first.toLocal8Bit().constData(), 0600);
        const QString second = AgentCLI::installCommand(QStringLiteral("/new/app"), directory);
        ::umask(previous);
        QCOMPARE(second, first);
        QVERIFY(test::readFile(second).contains("'/new/app'"));
        struct stat info { };
        QCOMPARE(::stat(second.toLocal8Bit().constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0755));
        QCOMPARE(QDir(directory).entryList(QDir::Files | QDir::Hidden), QStringList { QStringLiteral("vellmir") });
    }

    void installFailsWhenFolderIsAFile()
    {
        test::TestHome home;
        const QString blocker = home.path() + QStringLiteral("/blocker");
        test::writeFile(blocker, "not a folder");
        QVERIFY_THROWS_EXCEPTION(
            Error, AgentCLI::installCommand(QStringLiteral("/app"), blocker + QStringLiteral("/bin")));
    }

    void installForCurrentUserReportsTildePath()
    {
        test::TestHome home;
        QCOMPARE(AgentCLI::installForCurrentUser(), QStringLiteral("Installed ~/.local/bin/vellmir."));
        // A folder where the script should go cannot be replaced by a file.
        const QString target = home.path() + QStringLiteral("/.local/bin/vellmir");
        QVERIFY(QFile::remove(target));
        QVERIFY(QDir().mkpath(target + QStringLiteral("/inside")));
        QVERIFY(AgentCLI::installForCurrentUser().startsWith(QStringLiteral("Install failed: ")));
    }
};

QTEST_GUILESS_MAIN(AgentCLITest)
#include "AgentCLITest.moc"
