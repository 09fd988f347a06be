#include "operations/BackupOutput.h"
#include "TestSupport.h"
#include "config/FileLock.h"
#include "engine/ResticEngine.h"

#include <QtTest>

using namespace vellmir;
using namespace Qt::StringLiterals;

namespace {
const QString home = QStringLiteral("/home/ada");

QString withHome(QString text)
{
    return text.replace(QStringLiteral("$H"), home);
}

QString describe(const BackupRunState &s)
{
    QStringList parts { QStringLiteral("phase=") + toString(s.phase), QStringLiteral("percent=%1").arg(s.percent),
        QStringLiteral("files=%1/%2").arg(s.filesDone).arg(s.totalFiles),
        QStringLiteral("bytes=%1/%2").arg(s.bytesDone).arg(s.totalBytes), QStringLiteral("current=") + s.currentFile,
        QStringLiteral("issues=[") + s.issues.join(QStringLiteral(" | ")) + u']',
        QStringLiteral("skipped=[") + s.skippedProtected.join(QStringLiteral(" | ")) + u']',
        QStringLiteral("failure=") + s.failureMessage.value_or(QStringLiteral("<nil>")) };
    if (s.summary)
        parts << QStringLiteral("summary=%1,%2,%3,%4,%5,%6")
                     .arg(s.summary->filesNew)
                     .arg(s.summary->filesChanged)
                     .arg(s.summary->filesUnmodified)
                     .arg(s.summary->dataAdded)
                     .arg(s.summary->totalBytesProcessed)
                     .arg(s.summary->snapshotID);
    return parts.join(QStringLiteral("; "));
}

// A run part-way through, so that "left unchanged" is visible.
BackupRunState midRun()
{
    BackupRunState s;
    s.phase = BackupRunState::Phase::scanning;
    s.percent = 0.25;
    s.filesDone = 1;
    s.totalFiles = 2;
    s.bytesDone = 3;
    s.totalBytes = 4;
    s.currentFile = QStringLiteral("/earlier");
    return s;
}

QStringList lines(const QByteArray &bytes)
{
    QStringList result;
    for (const QByteArray &line : bytes.split('\n'))
        result.append(QString::fromUtf8(line));
    return result;
}

void replay(BackupOutput &output, const QString &stdoutFile, const QString &stderrFile)
{
    if (!stdoutFile.isEmpty())
        for (const QString &line : lines(test::readData(stdoutFile)))
            output.parseStdout(line);
    if (!stderrFile.isEmpty())
        for (const QString &line : lines(test::readData(stderrFile)))
            output.parseStderr(line);
}
} // namespace

Q_DECLARE_METATYPE(BackupRunState)
Q_DECLARE_METATYPE(std::optional<QString>)

class BackupOutputTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statusLinesSetProgress_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<BackupRunState>("expected");

        BackupRunState all = midRun();
        all.phase = BackupRunState::Phase::running;
        all.percent = 0.5;
        all.filesDone = 10;
        all.totalFiles = 20;
        all.bytesDone = 100;
        all.totalBytes = 200;
        all.currentFile = QStringLiteral("/home/ada/a.txt");
        test::dataRow("every key",
            QStringLiteral(
                R"({"message_type":"status","percent_done":0.5,"files_done":10,"total_files":20,"bytes_done":100,)"
                R"("total_bytes":200,"current_files":["/home/ada/a.txt","/home/ada/b.txt"]})"),
            all);

        BackupRunState kept = all;
        kept.currentFile = QStringLiteral("/earlier");
        test::dataRow("no current_files",
            QStringLiteral(
                R"({"message_type":"status","percent_done":0.5,"files_done":10,"total_files":20,"bytes_done":100,)"
                R"("total_bytes":200})"),
            kept);
        test::dataRow("empty current_files",
            QStringLiteral(
                R"({"message_type":"status","percent_done":0.5,"files_done":10,"total_files":20,"bytes_done":100,)"
                R"("total_bytes":200,"current_files":[]})"),
            kept);
        test::dataRow("current_files not all text",
            QStringLiteral(
                R"({"message_type":"status","percent_done":0.5,"files_done":10,"total_files":20,"bytes_done":100,)"
                R"("total_bytes":200,"current_files":["/a",7]})"),
            kept);

        BackupRunState onlyPhase = midRun();
        onlyPhase.phase = BackupRunState::Phase::running;
        test::dataRow("values of the wrong type",
            QStringLiteral(R"({"message_type":"status","percent_done":"50%","files_done":"10","total_files":null,)"
                           R"("bytes_done":true,"current_files":"/a"})"),
            onlyPhase);
        QTest::newRow("no values") << QStringLiteral(R"({"message_type":"status"})") << onlyPhase;

        BackupRunState big = onlyPhase;
        big.bytesDone = 9007199254740993LL; // beyond a double's exact integers
        big.totalBytes = 12;
        test::dataRow("64-bit bytes, fractional counter cut",
            QStringLiteral(R"({"message_type":"status","bytes_done":9007199254740993,"total_bytes":12.9})"), big);

        BackupRunState fixture = midRun();
        fixture.phase = BackupRunState::Phase::running;
        fixture.percent = 0.9999593214823251;
        fixture.filesDone = 7;
        fixture.totalFiles = 8;
        fixture.bytesDone = 270402;
        fixture.totalBytes = 270413;
        test::dataRow("restic 0.18",
            lines(test::readData(QStringLiteral("restic/backup2-unreadable-json.jsonl"))).first(), fixture);
    }

    void statusLinesSetProgress()
    {
        QFETCH(QString, line);
        QFETCH(BackupRunState, expected);
        BackupRunState state = midRun();
        BackupOutput(state).parseStdout(line);
        QVERIFY2(state == expected, qPrintable(describe(state)));
    }

    void summaryLines_data()
    {
        QTest::addColumn<QStringList>("input");
        QTest::addColumn<BackupSummary>("expected");

        test::dataRow("restic 0.18",
            QStringList { lines(test::readData(QStringLiteral("restic/backup1-json-v.jsonl")))
                              .filter(QStringLiteral("\"summary\""))
                              .first() },
            BackupSummary { 7, 0, 0, 275632, 270394,
                QStringLiteral("5d64010835f3f382f07c09b6df710cfc49d679f2c22feb7942b03be1b86df877") });
        test::dataRow("no snapshot id",
            QStringList { QStringLiteral(
                R"({"message_type":"summary","files_new":1,"files_changed":2,"files_unmodified":3,"data_added":4,)"
                R"("total_bytes_processed":5})") },
            BackupSummary { 1, 2, 3, 4, 5, QString() });
        test::dataRow("wrong types give zero",
            QStringList {
                QStringLiteral(R"({"message_type":"summary","files_new":"1","data_added":null,"snapshot_id":42})") },
            BackupSummary {});
        test::dataRow("a later summary replaces",
            QStringList { QStringLiteral(R"({"message_type":"summary","files_new":9,"snapshot_id":"aaa"})"),
                QStringLiteral(R"({"message_type":"summary","files_changed":1})") },
            BackupSummary { 0, 1, 0, 0, 0, QString() });
    }

    void summaryLines()
    {
        QFETCH(QStringList, input);
        QFETCH(BackupSummary, expected);
        BackupRunState state = midRun();
        BackupOutput output(state);
        for (const QString &line : input)
            output.parseStdout(line);
        QVERIFY(state.summary.has_value());
        QVERIFY2(*state.summary == expected, qPrintable(describe(state)));
        QVERIFY(state.phase == BackupRunState::Phase::scanning);
    }

    void problemMessages_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("reported");

        test::dataRow("error object and item",
            R"({"message_type":"error","error":{"message":"open /x/y: permission denied"},"item":"/x/y"})",
            "open /x/y: permission denied (/x/y)");
        test::dataRow(
            "error as text, no item", R"({"message_type":"error","error":"lstat /x: gone"})", "lstat /x: gone");
        test::dataRow(
            "no usable text", R"({"message_type":"error","error":{"code":5}})", "restic reported an unreadable item.");
        test::dataRow("no usable text, with item", R"({"message_type":"error","item":"/x"})",
            "restic reported an unreadable item. (/x)");
        test::dataRow("top-level message", R"({"message_type":"error","error":{"code":5},"message":"top"})", "top");
        test::dataRow("nested message wins", R"({"message_type":"error","error":{"message":"nested"},"message":"top"})",
            "nested");
        test::dataRow("warning", R"({"message_type":"warning","message":"careful","item":"/w"})", "careful (/w)");
        test::dataRow("item not text", R"({"message_type":"error","error":"bad","item":["/x"]})", "bad");
    }

    void problemMessages()
    {
        QFETCH(QString, line);
        QFETCH(QString, reported);
        for (const bool onStderr : { false, true }) {
            BackupRunState state = midRun();
            BackupOutput output(state);
            if (onStderr)
                output.parseStderr(QStringLiteral("  ") + line + QStringLiteral("\r"));
            else
                output.parseStdout(line);
            QCOMPARE(state.issues, QStringList { reported });
            QVERIFY(state.skippedProtected.isEmpty());
            QVERIFY(!state.failureMessage);
        }
    }

    void exitErrorSetsFailureMessage_data()
    {
        QTest::addColumn<std::optional<QString>>("before");
        QTest::addColumn<QString>("line");
        QTest::addColumn<std::optional<QString>>("after");

        const std::optional<QString> none;
        const std::optional<QString> earlier = QStringLiteral("earlier");
        test::dataRow("set", none, R"({"message_type":"exit_error","code":1,"message":"Fatal: boom"})",
            std::optional<QString>(QStringLiteral("Fatal: boom")));
        test::dataRow("replaces", earlier, R"({"message_type":"exit_error","code":1,"message":"later"})",
            std::optional<QString>(QStringLiteral("later")));
        QTest::newRow("no message clears") << earlier << R"({"message_type":"exit_error","code":1})" << none;
        QTest::newRow("message not text clears") << earlier << R"({"message_type":"exit_error","message":3})" << none;
        // restic only says that the connection ended; ssh said why.
        test::dataRow("after ssh's reason", none,
            "subprocess ssh: ssh: connect to host h port 22: Connection refused\n"
            R"({"message_type":"exit_error","code":1,"message":"Fatal: unable to open repository: unexpected EOF"})",
            std::optional<QString>(QStringLiteral("subprocess ssh: ssh: connect to host h port 22: Connection "
                                                  "refused\nFatal: unable to open repository: unexpected EOF")));
        test::dataRow("ssh's reason is no item", none,
            "subprocess ssh: no such file /c\n"
            R"({"message_type":"exit_error","code":1,"message":"Fatal: EOF"})",
            std::optional<QString>(QStringLiteral("subprocess ssh: no such file /c\nFatal: EOF")));
        test::dataRow("ssh could not ask", none,
            "subprocess ssh: ssh_askpass: exec(/usr/bin/ssh-askpass): No such file or directory\n"
            "subprocess ssh: Host key verification failed.\n"
            R"({"message_type":"exit_error","code":1,"message":"Fatal: EOF"})",
            std::optional<QString>(
                ResticEngine::errorText(u"subprocess ssh: Host key verification failed."_s) + u"\nFatal: EOF"_s));
    }

    void exitErrorSetsFailureMessage()
    {
        QFETCH(std::optional<QString>, before);
        QFETCH(QString, line);
        QFETCH(std::optional<QString>, after);
        BackupRunState state;
        state.failureMessage = before;
        BackupOutput output(state);
        for (const QString &each : line.split(u'\n'))
            output.parseStderr(each);
        QCOMPARE(state.failureMessage, after);
        QVERIFY(state.issues.isEmpty());
    }

    void unusableLinesChangeNothing_data()
    {
        QTest::addColumn<bool>("onStderr");
        QTest::addColumn<QString>("line");

        QTest::newRow("malformed") << false << "{\"message_type\":\"status\",";
        QTest::newRow("plain text") << false << "using parent snapshot 5d640108";
        QTest::newRow("array") << false << R"([{"message_type":"status"}])";
        QTest::newRow("no message_type") << false << R"({"percent_done":0.5})";
        QTest::newRow("message_type not text") << false << R"({"message_type":7,"percent_done":0.5})";
        test::dataRow("other message type", false, R"({"message_type":"verbose_status","action":"new","item":"/a"})");
        QTest::newRow("empty") << false << "";
        QTest::newRow("stderr: broken JSON") << true << "{\"message_type\":\"exit_error\",\"message\":\"x\"";
        QTest::newRow("stderr: white space") << true << " \t\r";
        QTest::newRow("stderr: empty") << true << "";
    }

    void unusableLinesChangeNothing()
    {
        QFETCH(bool, onStderr);
        QFETCH(QString, line);
        BackupRunState state = midRun();
        BackupOutput output(state);
        if (onStderr)
            output.parseStderr(line);
        else
            output.parseStdout(line);
        QVERIFY2(state == midRun(), qPrintable(describe(state)));
    }

    void stderrLines_data()
    {
        QTest::addColumn<std::optional<QString>>("before");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("issues");
        QTest::addColumn<std::optional<QString>>("failure");

        const std::optional<QString> none;
        const std::optional<QString> earlier = QStringLiteral("earlier");
        auto same = [](const QString &text) { return std::optional<QString>(text); };
        const QStringList nothing;

        test::dataRow("fatal replaces", earlier, "Fatal: unable to open config file", nothing,
            same("Fatal: unable to open config file"));
        test::dataRow("fatal in any case", earlier, "  FATAL wrong password\n", nothing, same("FATAL wrong password"));
        test::dataRow("error: replaces", earlier, "Load(<lock/1>) returned error: EOF", nothing,
            same("Load(<lock/1>) returned error: EOF"));
        test::dataRow("first other line wins", none, "unable to open cache", nothing, same("unable to open cache"));
        test::dataRow("later other line ignored", earlier, "unable to open cache", nothing, earlier);
        test::dataRow("restic not found", none, "restic not found", nothing, same("restic not found"));
        test::dataRow("busy repository", none, FileLock::busyMessage(), nothing, same(FileLock::busyMessage()));
        test::dataRow("pipe read failure", none, "output read failed: Input/output error",
            QStringList { "output read failed: Input/output error" }, none);
        test::dataRow("error: about an unreadable file", none, "error: open $H/Documents/a: permission denied",
            QStringList { withHome("error: open $H/Documents/a: permission denied") }, none);
        test::dataRow("missing source", earlier, "/tmp/rp/nope does not exist, skipping",
            QStringList { "/tmp/rp/nope does not exist, skipping" }, earlier);
        test::dataRow("no such file", none, "lstat /gone: No such file or directory",
            QStringList { "lstat /gone: No such file or directory" }, none);
        test::dataRow("permission denied anywhere", none, "open $H/Documents/x: permission denied",
            QStringList { withHome("open $H/Documents/x: permission denied") }, none);
        test::dataRow("JSON error object", none,
            R"({"message_type":"error","error":{"message":"open $H/Library/k: permission denied"},"item":"$H/Library/k"})",
            QStringList { withHome("open $H/Library/k: permission denied ($H/Library/k)") }, none);
        test::dataRow("JSON exit_error, padded", earlier,
            "  {\"message_type\":\"exit_error\",\"code\":3,\"message\":\"Warning: x\"}  ", nothing, same("Warning: x"));
    }

    void stderrLines()
    {
        QFETCH(std::optional<QString>, before);
        QFETCH(QString, line);
        QFETCH(QStringList, issues);
        QFETCH(std::optional<QString>, failure);

        BackupRunState state;
        state.failureMessage = before;
        BackupOutput(state).parseStderr(withHome(line));
        QCOMPARE(state.issues, issues);
        QCOMPARE(state.failureMessage, failure);
    }

    // restic's fatal errors as it writes them: after a terminal control line, and over several lines.
    void resticFailures_data()
    {
        QTest::addColumn<QString>("stdoutFile");
        QTest::addColumn<QString>("stderrFile");
        QTest::addColumn<QString>("failure");

        test::dataRow("interrupted", "restic/backup-interrupted-json.jsonl", "restic/backup-interrupted-json.stderr",
            "Fatal: unable to save snapshot: context canceled");
        test::dataRow("locked", QString(), "restic/locked-backup-json.stderr",
            "unable to create lock in backend: repository is already locked exclusively by PID "
            "29412 on testhost by root (UID 0, GID 0)\nlock was created at 2026-12-07 08:18:35 "
            "(1.590184954s ago)\nstorage ID 42ed4a1b\nthe `unlock` command can be used to "
            "remove stale locks");
    }

    void resticFailures()
    {
        QFETCH(QString, stdoutFile);
        QFETCH(QString, stderrFile);
        QFETCH(QString, failure);

        BackupRunState state;
        BackupOutput output(state);
        replay(output, stdoutFile, stderrFile);
        QVERIFY(state.issues.isEmpty());
        QVERIFY(!state.summary);
        QCOMPARE(state.failureMessage, std::optional<QString>(failure));
    }
};

QTEST_GUILESS_MAIN(BackupOutputTest)
#include "BackupOutputTest.moc"
