#include "agent/AgentAuditLog.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QtTest>
#include <thread>

using namespace vellmir;
using Entry = AgentAuditLog::Entry;

namespace {
Entry entry(const QString &command, ApprovalDecision decision, std::optional<QString> outcome = std::nullopt,
    double unixTime = 1767322800) // 2026-01-02T03:00:00Z
{
    return Entry { Date::fromUnix(unixTime), command, QStringLiteral("Remove “Home”? | Local disk: /srv/r"), decision,
        std::move(outcome), std::nullopt };
}

QByteArray line(int n)
{
    return QStringLiteral(
               "{\"command\":\"c%1\",\"decision\":\"denied\",\"summary\":\"s\",\"time\":\"2026-01-02T03:00:00Z\"}")
               .arg(n)
               .toUtf8()
        + '\n';
}

void appendRaw(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write(bytes);
}
} // namespace

class AgentAuditLogTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaultLocationIsTheDataFolder()
    {
        test::TestHome home;
        QCOMPARE(AgentAuditLog().url(), home.dataDirectory() + "/agent-audit.jsonl");
    }

    void firstAppendCreatesFolderAndFile()
    {
        test::TestHome home;
        const AgentAuditLog log(home.path() + "/a/b/agent-audit.jsonl");
        QVERIFY(log.entries(20).isEmpty());
        log.append(entry("add-destination", ApprovalDecision::approvedByUser, "succeeded"));
        QVERIFY(QFile::exists(log.url()));
        QCOMPARE(log.entries(20).size(), 1);
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("decision");
        QTest::addColumn<std::optional<QString>>("outcome");
        QTest::addColumn<std::optional<QString>>("reason");
        QTest::addColumn<QByteArray>("expected");
        test::dataRow("with outcome", int(ApprovalDecision::approvedBySetting),
            std::optional<QString>("failed: No such file /x"), std::optional<QString>(),
            QByteArray(
                "{\"command\":\"restore\",\"decision\":\"approved-by-setting\",\"outcome\":\"failed: No such file "
                "\\/x\",\"summary\":\"Remove “Home”? | Local disk: \\/srv\\/r\",\"time\":\"2026-01-02T03:00:00Z\"}"
                "\n"));
        test::dataRow("not asked, with its reason", int(ApprovalDecision::notAsked), std::optional<QString>(),
            std::optional<QString>("No dialog."),
            QByteArray("{\"command\":\"restore\",\"decision\":\"not-asked\",\"reason\":\"No dialog.\","
                       "\"summary\":\"Remove “Home”? | Local disk: \\/srv\\/r\",\"time\":\"2026-01-02T03:00:00Z\"}"
                       "\n"));
    }

    void lineFormat()
    {
        QFETCH(int, decision);
        QFETCH(std::optional<QString>, outcome);
        QFETCH(std::optional<QString>, reason);
        QFETCH(QByteArray, expected);
        test::TestHome home;
        const AgentAuditLog log(home.path() + "/agent-audit.jsonl");
        Entry written = entry("restore", static_cast<ApprovalDecision>(decision), outcome, 1767322800.75);
        written.reason = reason;
        log.append(written);
        QCOMPARE(test::readFile(log.url()), expected);

        const QList<Entry> read = log.entries(5);
        QCOMPARE(read.size(), 1);
        QVERIFY(read.first().outcome == outcome);
        // Written to the second.
        QVERIFY(read.first().time == Date::fromUnix(1767322800));
        Entry truncated = written;
        truncated.time = Date::fromUnix(1767322800);
        QVERIFY(read.first() == truncated);
    }

    void limits_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QStringList>("commands");
        QTest::newRow("zero") << qint64(0) << QStringList {};
        QTest::newRow("negative") << qint64(-3) << QStringList {};
        QTest::newRow("two") << qint64(2) << QStringList { "c3", "c4" };
        QTest::newRow("more than there are") << qint64(100) << QStringList { "c0", "c1", "c2", "c3", "c4" };
    }

    void limits()
    {
        QFETCH(qint64, limit);
        QFETCH(QStringList, commands);
        test::TestHome home;
        const AgentAuditLog log(home.path() + "/agent-audit.jsonl");
        for (int i = 0; i < 5; ++i) {
            appendRaw(log.url(), line(i));
            if (i == 3)
                appendRaw(log.url(), "\n\n"); // empty lines do not count
        }
        QStringList read;
        for (const Entry &e : log.entries(limit))
            read << e.command;
        QCOMPARE(read, commands);
    }

    void damagedLinesAreSkippedNotReplaced()
    {
        test::TestHome home;
        const AgentAuditLog log(home.path() + "/agent-audit.jsonl");
        for (int i = 0; i < 25; ++i) {
            if (i == 10)
                appendRaw(log.url(),
                    "{\"command\":\"x\",\"decision\":\"maybe\",\"summary\":\"s\",\"time\":\"2026-01-02T03:00:00Z\"}"
                    "\n");
            else if (i == 12)
                appendRaw(log.url(),
                    "{\"command\":\"x\",\"decision\":\"denied\",\"summary\":\"s\",\"time\":\"2026-01-02T03:00:00.5Z\"}"
                    "\n");
            else
                appendRaw(log.url(), line(i));
        }
        const QList<Entry> read = log.entries(20);
        QCOMPARE(read.size(), 18);
        QCOMPARE(read.first().command, QStringLiteral("c5"));
        QCOMPARE(read.last().command, QStringLiteral("c24"));
    }

    void lineShapes_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("decodes");
        test::dataRow("extra key",
            QByteArray("{\"command\":\"c\",\"decision\":\"approved\",\"extra\":1,\"summary\":\"s\","
                       "\"time\":\"2026-01-02T03:00:00Z\"}"),
            true);
        test::dataRow("offset time",
            QByteArray("{\"command\":\"c\",\"decision\":\"approved\",\"summary\":\"s\","
                       "\"time\":\"2026-01-02T03:00:00+01:00\"}"),
            false);
        test::dataRow("no summary",
            QByteArray("{\"command\":\"c\",\"decision\":\"approved\",\"time\":\"2026-01-02T03:00:00Z\"}"), false);
        QTest::newRow("not an object") << QByteArray("[\"command\"]") << false;
        QTest::newRow("truncated") << QByteArray("{\"command\":\"c\",\"decision\":\"appr") << false;
    }

    void lineShapes()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, decodes);
        test::TestHome home;
        const AgentAuditLog log(home.path() + "/agent-audit.jsonl");
        test::writeFile(log.url(), text + '\n');
        QCOMPARE(log.entries(20).size(), decodes ? 1 : 0);
    }

    void appendAfterCutLineKeepsNewEntry()
    {
        test::TestHome home;
        const AgentAuditLog log(home.path() + "/agent-audit.jsonl");
        log.append(entry("first", ApprovalDecision::denied));
        appendRaw(log.url(), "{\"command\":\"cut\",\"deci");
        log.append(entry("second", ApprovalDecision::denied));
        const QList<Entry> read = log.entries(20);
        QCOMPARE(read.size(), 2);
        QCOMPARE(read.at(0).command, QStringLiteral("first"));
        QCOMPARE(read.at(1).command, QStringLiteral("second"));
    }

    // The log only grows: past what is read of it, its newest entries still show.
    void aLogPastItsBoundShowsItsEnd()
    {
        test::TestHome home;
        const AgentAuditLog log(home.path() + "/agent-audit.jsonl");
        log.append(entry("first", ApprovalDecision::denied));
        QFile file(log.url());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.resize(65 * 1024 * 1024)); // a hole: no disk taken
        file.close();
        appendRaw(log.url(), "\xc3\n");
        log.append(entry("newest", ApprovalDecision::denied));
        const QList<Entry> read = log.entries(20);
        QCOMPARE(read.size(), 1);
        QCOMPARE(read.at(0).command, QStringLiteral("newest"));
    }

    void unreadableFilesAreEmpty()
    {
        test::TestHome home;
        const AgentAuditLog log(home.path() + "/agent-audit.jsonl");
        test::writeFile(log.url(), line(1) + "\xff\xfe\n" + line(2));
        QVERIFY(log.entries(20).isEmpty());

        const AgentAuditLog folder(home.path());
        QVERIFY(folder.entries(20).isEmpty());
    }

    void failedAppendIsLoggedNotThrown()
    {
        test::TestHome home;
        test::writeFile(home.path() + "/file", "x");
        const AgentAuditLog log(home.path() + "/file/agent-audit.jsonl");
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Vellmir could not write the agent audit log: .+"));
        log.append(entry("restore", ApprovalDecision::denied));
        QVERIFY(log.entries(20).isEmpty());
    }

    void concurrentAppendsKeepLinesWhole()
    {
        test::TestHome home;
        const QString path = home.path() + "/agent-audit.jsonl";
        constexpr int writers = 4;
        constexpr int perWriter = 150;
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w) {
            threads.emplace_back([path, w] {
                // Each writer uses its own log value, as separate processes would.
                const AgentAuditLog log(path);
                for (int i = 0; i < perWriter; ++i) {
                    Entry e = entry(QStringLiteral("w%1-%2").arg(w).arg(i), ApprovalDecision::approvedByUser,
                        QString(300, QChar(u'a' + w)));
                    log.append(e);
                }
            });
        }
        for (std::thread &t : threads)
            t.join();
        const QList<Entry> read = AgentAuditLog(path).entries(writers * perWriter);
        QCOMPARE(read.size(), writers * perWriter);
        for (const Entry &e : read)
            QCOMPARE(e.outcome->size(), 300);
    }
};

QTEST_GUILESS_MAIN(AgentAuditLogTest)
#include "AgentAuditLogTest.moc"
