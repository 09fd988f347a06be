#include "protection/CoverageAudit.h"

#include "../../core/exclude/ExcludeTree.h"
#include "config/Destination.h"
#include "util/SystemError.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vellmir;
using namespace vellmir::test;

namespace {

// Marks items by name: "cloud*" are cloud-only placeholders and "locked*" cannot be read.
class ScriptedChecks : public CoverageAudit::FileChecks {
public:
    bool isReadable(int atFd, const char *atPath) const override
    {
        return !hasPrefix(atPath, "locked") && FileChecks::isReadable(atFd, atPath);
    }
    bool isCloudOnly(int, const char *atPath) const override { return hasPrefix(atPath, "cloud"); }

private:
    static bool hasPrefix(const char *atPath, const char *prefix)
    {
        const char *slash = std::strrchr(atPath, '/');
        const char *name = slash ? slash + 1 : atPath;
        return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
    }
};

Destination destinationOf(const QStringList &sources, const QStringList &excludes)
{
    Destination destination;
    destination.sources = sources;
    destination.excludes = excludes;
    return destination;
}

// "@" stands for the test's home folder, which is also "~".
QStringList placed(QStringList list, const QString &home)
{
    for (QString &item : list)
        item.replace(u'@', home);
    return list;
}

} // namespace

class CoverageAuditTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void noSourcesGiveNothing();
    void countsWhatABackupWouldRead_data();
    void countsWhatABackupWouldRead();
    void unreadableFileListIsCapped();
    void cloudOnlyEntriesAreNeverReadable();
    void unreadableFolderIsReportedAndPassedOver();

private:
    TestHome m_home;
    QString m_h;
};

// ~/
//   notes.txt, .hidden.log, trace.log, fifo (not regular), link -> notes.txt, dirlink -> Projects
//   Library/Caches/app/c1, c2        Library/Prefs/p
//   Projects/app/build/out.o         Projects/app/src/build/gen.c   Projects/app/src/main.c
void CoverageAuditTest::initTestCase()
{
    m_h = m_home.path();
    makeFile(m_h, QStringLiteral("notes.txt"), 10);
    makeFile(m_h, QStringLiteral(".hidden.log"), 10);
    makeFile(m_h, QStringLiteral("trace.log"), 10);
    QCOMPARE(::mkfifo(QFile::encodeName(m_h + QStringLiteral("/fifo")).constData(), 0600), 0);
    makeLink(m_h, QStringLiteral("link"), QStringLiteral("notes.txt"));
    makeLink(m_h, QStringLiteral("dirlink"), QStringLiteral("Projects"));
    makeFile(m_h, QStringLiteral("Library/Caches/app/c1"), 10);
    makeFile(m_h, QStringLiteral("Library/Caches/app/c2"), 10);
    makeFile(m_h, QStringLiteral("Library/Prefs/p"), 10);
    makeFile(m_h, QStringLiteral("Projects/app/build/out.o"), 10);
    makeFile(m_h, QStringLiteral("Projects/app/src/build/gen.c"), 10);
    makeFile(m_h, QStringLiteral("Projects/app/src/main.c"), 10);
}

void CoverageAuditTest::noSourcesGiveNothing()
{
    QVERIFY(CoverageAudit::scan(destinationOf({}, { QStringLiteral("*") })) == CoverageAudit {});
    // restic tests the entries of "/", never "/" itself, which "*" would match.
    QCOMPARE(
        CoverageAudit::scan(destinationOf({ QStringLiteral("/") }, { QStringLiteral("*") })).issues, QStringList());
}

void CoverageAuditTest::countsWhatABackupWouldRead_data()
{
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<QStringList>("excludes");
    QTest::addColumn<qint64>("readable");
    QTest::addColumn<qint64>("excluded");
    QTest::addColumn<QStringList>("issues");

    // Nine regular files; folders, the fifo and both links count nothing.
    QTest::newRow("no patterns") << QStringList { "@" } << QStringList {} << 9LL << 0LL << QStringList {};
    QTest::newRow("home-relative folder counts once")
        << QStringList { "@" } << QStringList { "~/Library/Caches" } << 7LL << 1LL << QStringList {};
    QTest::newRow("name pattern matches a leading dot")
        << QStringList { "@" } << QStringList { "*.log" } << 7LL << 2LL << QStringList {};
    QTest::newRow("star does not cross a slash")
        << QStringList { "@/Projects" } << QStringList { "@/Projects/*/build" } << 2LL << 1LL << QStringList {};
    QTest::newRow("name pattern prunes every matching folder")
        << QStringList { "@/Projects" } << QStringList { "build" } << 1LL << 2LL << QStringList {};
    QTest::newRow("first matching pattern wins, later ones change nothing")
        << QStringList { "@/Library" } << QStringList { "Caches", "c1", "@/Library/Caches/app" } << 1LL << 1LL
        << QStringList {};
    QTest::newRow("source below an absolute pattern")
        << QStringList { "@/Projects/app", "@/notes.txt" } << QStringList { "@/Projects" } << 1LL << 0LL
        << QStringList { "Entire source excluded: @/Projects/app" };
    QTest::newRow("source equal to an absolute pattern, stored with a slash")
        << QStringList { "@/Library/", "@/Projects" } << QStringList { "@/Library" } << 3LL << 0LL
        << QStringList { "Entire source excluded: @/Library/" };
    QTest::newRow("source whose name matches a name pattern")
        << QStringList { "@/Projects/app/src" } << QStringList { "s?c" } << 0LL << 0LL
        << QStringList { "Entire source excluded: @/Projects/app/src" };
    // Only fnmatch applies to a pattern that does not begin with "/", so naming the source's
    // parent does not drop the source.
    QTest::newRow("unanchored pattern naming a parent")
        << QStringList { "@/Projects/app/src" } << QStringList { "*@/Projects/app" } << 2LL << 0LL << QStringList {};
    // restic is given the folder a linked source leads to, so patterns meet that folder's paths.
    QTest::newRow("linked source read where it leads")
        << QStringList { "@/dirlink" } << QStringList { "@/Projects/app/build" } << 2LL << 1LL << QStringList {};
    QTest::newRow("missing source keeps its stored spelling")
        << QStringList { "@/gone/", "@/Library/Prefs" } << QStringList {} << 1LL << 0LL
        << QStringList { "Source unavailable or unreadable: @/gone/" };
}

void CoverageAuditTest::countsWhatABackupWouldRead()
{
    QFETCH(QStringList, sources);
    QFETCH(QStringList, excludes);
    QFETCH(qint64, readable);
    QFETCH(qint64, excluded);
    QFETCH(QStringList, issues);

    const CoverageAudit audit = CoverageAudit::scan(destinationOf(placed(sources, m_h), placed(excludes, m_h)));
    QCOMPARE(audit.issues, placed(issues, m_h));
    QCOMPARE(audit.readableFiles, readable);
    QCOMPARE(audit.excludedEntries, excluded);
    QCOMPARE(audit.cloudOnlyFiles, 0LL);
}

void CoverageAuditTest::unreadableFileListIsCapped()
{
    QTemporaryDir dir;
    for (int i = 0; i < 150; ++i)
        makeFile(dir.path(), QStringLiteral("many/locked%1").arg(i), 1);
    makeFile(dir.path(), QStringLiteral("many/fine"), 1);
    const QString missing = dir.path() + QStringLiteral("/missing");

    const CoverageAudit audit
        = CoverageAudit::scan(destinationOf({ dir.path() + QStringLiteral("/many"), missing }, {}), ScriptedChecks());
    QCOMPARE(audit.readableFiles, 1LL);
    QCOMPARE(audit.issues.size(), 101);
    for (qsizetype i = 0; i < 100; ++i)
        QVERIFY2(
            audit.issues.at(i).startsWith(QStringLiteral("Unreadable: ") + dir.path() + QStringLiteral("/many/locked")),
            qPrintable(audit.issues.at(i)));
    // Problems of a source are reported past the cap.
    QCOMPARE(audit.issues.last(), QStringLiteral("Source unavailable or unreadable: ") + missing);
}

void CoverageAuditTest::cloudOnlyEntriesAreNeverReadable()
{
    QTemporaryDir dir;
    makeFile(dir.path(), QStringLiteral("cloudfile"), 1);
    makeFile(dir.path(), QStringLiteral("cloudlocked"), 1);
    makeFile(dir.path(), QStringLiteral("cloudfolder/inside"), 1);
    makeFile(dir.path(), QStringLiteral("cloudfolder/cloudinside"), 1);
    makeFile(dir.path(), QStringLiteral("cloudskipped/cloudx"), 1);
    makeFile(dir.path(), QStringLiteral("local"), 1);

    const CoverageAudit audit
        = CoverageAudit::scan(destinationOf({ dir.path() }, { QStringLiteral("cloudskipped") }), ScriptedChecks());
    QCOMPARE(audit.readableFiles, 2LL); // local, cloudfolder/inside
    QCOMPARE(audit.cloudOnlyFiles, 4LL); // cloudfile, cloudlocked, cloudfolder, cloudinside
    QCOMPARE(audit.excludedEntries, 1LL);
    QCOMPARE(audit.issues, QStringList {});
}

void CoverageAuditTest::unreadableFolderIsReportedAndPassedOver()
{
    QTemporaryDir dir;
    makeFile(dir.path(), QStringLiteral("a/closed/secret"), 1);
    makeFile(dir.path(), QStringLiteral("a/private"), 1);
    makeFile(dir.path(), QStringLiteral("a/open"), 1);
    makeFile(dir.path(), QStringLiteral("b/open"), 1);
    const QByteArray closed = QFile::encodeName(dir.path() + QStringLiteral("/a/closed"));
    const QByteArray privateFile = QFile::encodeName(dir.path() + QStringLiteral("/a/private"));
    QCOMPARE(::chmod(closed.constData(), 0), 0);
    QCOMPARE(::chmod(privateFile.constData(), 0), 0);

    CoverageAudit audit;
    {
        WithoutReadOverride unprivileged;
        if (WithoutReadOverride::canList(closed)) {
            ::chmod(closed.constData(), 0700);
            QSKIP("This thread reads past permissions");
        }
        audit = CoverageAudit::scan(
            destinationOf({ dir.path() + QStringLiteral("/a"), dir.path() + QStringLiteral("/b") }, {}));
    }
    ::chmod(closed.constData(), 0700);

    QCOMPARE(audit.readableFiles, 2LL);
    QCOMPARE(audit.issues.size(), 2);
    QVERIFY(audit.issues.contains(QStringLiteral("Unreadable: ") + dir.path() + QStringLiteral("/a/private")));
    QVERIFY(audit.issues.contains(dir.path() + QStringLiteral("/a/closed: ") + systemErrorText(EACCES)));
}

QTEST_GUILESS_MAIN(CoverageAuditTest)
#include "CoverageAuditTest.moc"
