#include "ScriptedRestic.h"
#include "TestSupport.h"
#include "engine/ResticEngine.h"
#include "util/ResticError.h"

#include <QtTest>

using namespace vellmir;
using namespace Qt::StringLiterals;

namespace {

QByteArray node(const QString &path, const QString &type, qint64 size = 0)
{
    return QStringLiteral(R"({"name":"x","type":"%1","path":"%2","size":%3,"struct_type":"node"})")
               .arg(type, path)
               .arg(size)
               .toUtf8()
        + '\n';
}

QStringList paths(const QList<SnapshotEntry> &entries)
{
    QStringList list;
    for (const SnapshotEntry &entry : entries)
        list.append(entry.path);
    return list;
}

} // namespace

// Browsing against a scripted restic; the real listing is in SnapshotBrowseResticTest.
class SnapshotBrowseTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void arguments_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("one folder") << "" << false << QStringList { "ls", "--json", "--", "abc123", "/a b" };
        test::dataRow("recursive", "", true, QStringList { "ls", "--json", "--recursive", "--", "abc123", "/a b" });
        test::dataRow("a search is recursive", " x", false,
            QStringList { "ls", "--json", "--recursive", "--", "abc123", "/a b" });
    }
    void arguments()
    {
        QFETCH(QString, search);
        QFETCH(bool, recursive);
        QFETCH(QStringList, expected);
        test::ScriptedRestic restic;
        restic.engine().browse(
            QStringLiteral("abc123"), QStringLiteral("/a b"), search, recursive, restic.environment());
        QCOMPARE(restic.arguments(), expected);
    }

    void listsRealOutput()
    {
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("ls.stdout"), test::readData(QStringLiteral("restic/ls-json.jsonl")));
        const ResticEngine engine = restic.engine();
        const QString src = QStringLiteral("/tmp/rp/src");
        QList<SnapshotEntry> entries = engine.browse(QStringLiteral("latest"), src, {}, false, restic.environment());
        // The snapshot line and the listed folder itself are no entries; restic's parents of it are.
        QCOMPARE(entries.size(), 17);
        QVERIFY(!paths(entries).contains(src));
        QCOMPARE(entries.first(), (SnapshotEntry { "/tmp", "dir", 0 }));
        QVERIFY(entries.contains(SnapshotEntry { src + "/photos/b.bin", "file", 204800 }));
        QCOMPARE(entries.last().path, src + "/secret/unreadable.txt");

        // The search looks at the whole path without regard to case.
        entries = engine.browse(QStringLiteral("latest"), src, QStringLiteral("PHOTOS"), false, restic.environment());
        QCOMPARE(paths(entries), QStringList({ src + "/photos", src + "/photos/a.bin", src + "/photos/b.bin" }));
        entries = engine.browse(QStringLiteral("latest"), src, QStringLiteral("CAFÉ"), false, restic.environment());
        QCOMPARE(paths(entries), QStringList { src + "/café.txt" });
    }

    void skipsWhatIsNoNode()
    {
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("ls.stdout"),
            "not json\n[1]\n\n"
            R"({"struct_type":"node","path":1,"type":"file"})"
            "\n"
            R"({"struct_type":"snapshot","path":"/d/s","type":"dir"})"
            "\n"
            R"({"path":"/d/n","type":"dir"})"
            "\n"
            R"({"struct_type":"node","path":"/d/t"})"
            "\n"
            R"({"struct_type":"node","path":"/d/f","type":"file","size":"12"})"
            "\n");
        const QList<SnapshotEntry> entries = restic.engine().browse("s", "/d", {}, false, restic.environment());
        QCOMPARE(entries, QList<SnapshotEntry> { (SnapshotEntry { "/d/f", "file", 0 }) });
    }

    // restic's JSON escapes some characters; the search still sees the decoded path, and only it.
    void searchLooksAtTheDecodedPathOnly()
    {
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("ls.stdout"),
            "{\"struct_type\":\"node\",\"type\":\"file\",\"path\":\"/d/Tom \\u0026 \\\"Jerry\\\"\\u003e\"}\n"
                + node("/d/link", "symlink"));
        const ResticEngine engine = restic.engine();
        for (const QString &search : { QStringLiteral("& \"jerry\">"), QStringLiteral("tom") })
            QCOMPARE(paths(engine.browse("s", "/d", search, false, restic.environment())),
                QStringList { "/d/Tom & \"Jerry\">" });
        QVERIFY(engine.browse("s", "/d", QStringLiteral("symlink"), false, restic.environment()).isEmpty());
    }

    void sortsFoldersFirstInNaturalOrder()
    {
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("ls.stdout"),
            node("/d/a10", "file") + node("/d/a9", "file") + node("/d/zeta", "dir") + node("/d/B2", "symlink")
                + node("/d/b10", "file") + node("/d/a009x", "file") + node("/d/Alpha", "dir"));
        const QList<SnapshotEntry> entries = restic.engine().browse("s", "/d", {}, false, restic.environment());
        QCOMPARE(
            paths(entries), QStringList({ "/d/Alpha", "/d/zeta", "/d/a9", "/d/a009x", "/d/a10", "/d/B2", "/d/b10" }));
    }

    // The first 1,000 matches in restic's order are kept, then sorted; restic is read to its end.
    void keepsTheFirstThousandMatches()
    {
        test::ScriptedRestic restic;
        QByteArray out;
        for (int i = 1500; i >= 1; --i)
            out += node(QStringLiteral("/d/f%1").arg(i), "file", i);
        out += node("/d/folder", "dir"); // a match, but past the limit
        restic.set(QStringLiteral("ls.stdout"), out);
        restic.set(QStringLiteral("ls.stderr"), "last words\n");
        const QList<SnapshotEntry> entries = restic.engine().browse("s", "/d", "f", false, restic.environment());
        QCOMPARE(entries.size(), 1000);
        QCOMPARE(entries.first().path, QStringLiteral("/d/f501"));
        QCOMPARE(entries.last().path, QStringLiteral("/d/f1500"));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QByteArray>("stderr");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("runs");
        QTest::newRow("last error line") << "/d" << QByteArray("first\nsecond\n") << 1 << "second" << true;
        test::dataRow("json error line", "/d", test::readData(QStringLiteral("restic/wrong-password-json.stderr")), 12,
            "Fatal: wrong password or no key found", true);
        QTest::newRow("silent") << "/d" << QByteArray() << 3 << "Could not browse this snapshot (3)." << true;
        QTest::newRow("relative folder") << "d" << QByteArray() << 0 << "Could not browse this snapshot (-1)." << false;
        test::dataRow("option-like folder", "--password-command=touch flag", QByteArray(), 0,
            "Could not browse this snapshot (-1).", false);
    }
    void failures()
    {
        QFETCH(QString, directory);
        QFETCH(QByteArray, stderr);
        QFETCH(int, exit);
        QFETCH(QString, message);
        QFETCH(bool, runs);
        test::ScriptedRestic restic;
        restic.set(QStringLiteral("ls.stdout"), node("/d/f", "file"));
        restic.set(QStringLiteral("ls.stderr"), stderr);
        restic.set(QStringLiteral("ls.exit"), QByteArray::number(exit));
        try {
            restic.engine().browse("s", directory, {}, false, restic.environment());
            QFAIL("browse succeeded");
        } catch (const Error &e) {
            QCOMPARE(e.message(), message);
        }
        QCOMPARE(restic.ran(), runs);
    }

    void missingResticAndCancel()
    {
        test::ScriptedRestic restic;
        const ResticEngine missing(std::nullopt, restic.path(QStringLiteral("locks")), QStringList());
        QVERIFY_THROWS_EXCEPTION(ResticError, missing.browse("s", "/", {}, false, restic.environment()));
        std::stop_source stop;
        stop.request_stop();
        QVERIFY_THROWS_EXCEPTION(
            CancellationError, restic.engine().browse("s", "/", {}, false, restic.environment(), stop.get_token()));
        QVERIFY(!restic.ran());
    }

    void literalInclude_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("pattern"); // empty: refused
        test::dataRow("specials", "/Users/a/report [old]*.txt", R"(/Users/a/report \[old\]\*.txt)");
        test::dataRow("backslash and question mark", R"(/a\b?)", R"(/a\\b\?)");
        test::dataRow("unchanged", "/a/..b/ café {x}, $y", "/a/..b/ café {x}, $y");
        test::dataRow("relative", "docs/a.txt", "");
        test::dataRow("dot-dot", "/a/../b", "");
        // restic takes a pattern's bytes as they are: a line feed, a byte that is not UTF-8.
        test::dataRow("line feed", "/a\nb", "/a\nb");
        test::dataRow("byte", u"/caf\xDCE9*"_s, u"/caf\xDCE9\\*"_s);
    }
    void literalInclude()
    {
        QFETCH(QString, path);
        QFETCH(QString, pattern);
        try {
            QCOMPARE(ResticEngine::literalInclude(path), pattern);
            QVERIFY(!pattern.isEmpty());
        } catch (const EngineRefusal &e) {
            QVERIFY(pattern.isEmpty());
            QCOMPARE(e.message(), QStringLiteral("Select an absolute path from the snapshot browser."));
        }
    }
};

QTEST_GUILESS_MAIN(SnapshotBrowseTest)
#include "SnapshotBrowseTest.moc"
