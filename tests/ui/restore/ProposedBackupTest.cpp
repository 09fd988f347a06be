#include "restore/ProposedBackup.h"
#include "TestSupport.h"

#include "../../core/exclude/ExcludeTree.h"

#include <QtTest>

#include <dirent.h>

using namespace vellmir;
using namespace vellmir::test;

namespace {

// The names of a folder in the order the file system lists them, read independently.
QStringList listingOrder(const QString &folder)
{
    QStringList names;
    DIR *dir = opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names.append(name);
    }
    closedir(dir);
    return names;
}

QStringList namesOf(const QList<BackupEntry> &entries)
{
    QStringList names;
    for (const BackupEntry &entry : entries)
        names.append(entry.name);
    return names;
}

BackupEntry entry(const QString &name, qint64 size, bool excluded)
{
    return BackupEntry { name, name, name, size, false, excluded };
}

} // namespace

class ProposedBackupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void foldersThatCannotBeListedGiveNothing_data();
    void foldersThatCannotBeListedGiveNothing();
    void childrenAreMarkedAndSized();
    void tiesKeepListingOrder();
    void entryOrder_data();
    void entryOrder();

private:
    TestHome m_home;
};

void ProposedBackupTest::foldersThatCannotBeListedGiveNothing_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("empty folder") << QStringLiteral("empty");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("regular file") << QStringLiteral("file");
}

void ProposedBackupTest::foldersThatCannotBeListedGiveNothing()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    makeFolder(dir.path(), QStringLiteral("empty"));
    makeFile(dir.path(), QStringLiteral("file"), 10);
    QCOMPARE(ProposedBackup::children(dir.path() + u'/' + relative, {}).size(), 0);
}

// ~/code/
//   big.bin 200 KB, small.txt 10 B, .DS_Store 3 B, trace.log 500 KB (excluded by name)
//   .git/objects/o 1 KB
//   node_modules/ 800 KB inside (excluded through "~/code/node_modules")
//   project/ keep.c 2 KB + cache/blob 900 KB (excluded by name beneath)
//   link -> project
void ProposedBackupTest::childrenAreMarkedAndSized()
{
    const QString work = m_home.path() + QStringLiteral("/code");
    makeFile(work, QStringLiteral("big.bin"), 200000);
    makeFile(work, QStringLiteral("small.txt"), 10);
    makeFile(work, QStringLiteral(".DS_Store"), 3);
    makeFile(work, QStringLiteral("trace.log"), 500000);
    makeFile(work, QStringLiteral(".git/objects/o"), 1000);
    makeFile(work, QStringLiteral("node_modules/m/index.js"), 800000);
    makeFile(work, QStringLiteral("project/keep.c"), 2000);
    makeFile(work, QStringLiteral("project/cache/blob"), 900000);
    makeLink(work, QStringLiteral("link"), QStringLiteral("project"));
    const QStringList excludes { QStringLiteral("~/code/node_modules"), QStringLiteral("*.log"),
        QStringLiteral("cache") };

    // A trailing slash on the folder does not double the one in the children's paths.
    const QList<BackupEntry> entries = ProposedBackup::children(work + u'/', excludes);

    const qint64 smallSize = allocated(work + QStringLiteral("/small.txt"));
    struct Expected {
        const char *name;
        qint64 size;
        bool isDirectory;
        bool isExcluded;
    };
    QList<Expected> expected {
        { "big.bin", allocated(work + QStringLiteral("/big.bin")), false, false },
        { "project", allocated(work + QStringLiteral("/project/keep.c")), true, false },
        { "small.txt", smallSize, false, false },
        { ".git", allocated(work + QStringLiteral("/.git/objects/o")), true, false },
        { ".DS_Store", allocated(work + QStringLiteral("/.DS_Store")), false, false },
        { "link", allocated(work + QStringLiteral("/link")), false, false },
        { "trace.log", 0, false, true },
        { "node_modules", 0, true, true },
    };
    // Equal sizes keep listing order; the expectation follows whatever the file system chose.
    const QStringList listed = listingOrder(work);
    std::stable_sort(expected.begin(), expected.end(), [&](const Expected &a, const Expected &b) {
        if (a.isExcluded != b.isExcluded)
            return !a.isExcluded;
        if (a.size != b.size)
            return a.size > b.size;
        return listed.indexOf(QLatin1String(a.name)) < listed.indexOf(QLatin1String(b.name));
    });

    QCOMPARE(entries.size(), expected.size());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const BackupEntry &got = entries.at(i);
        const QString name = QString::fromLatin1(expected.at(i).name);
        QCOMPARE(got.name, name);
        QCOMPARE(got.path, work + u'/' + name);
        QCOMPARE(got.id, got.path);
        QCOMPARE(got.size, expected.at(i).size);
        QCOMPARE(got.isDirectory, expected.at(i).isDirectory);
        QCOMPARE(got.isExcluded, expected.at(i).isExcluded);
    }
    // Small files show what they occupy on disk, not their length.
    QVERIFY(smallSize >= 10);
}

void ProposedBackupTest::tiesKeepListingOrder()
{
    QTemporaryDir dir;
    for (int i = 0; i < 12; ++i)
        makeFile(dir.path(), QStringLiteral("f%1").arg(i), 0);
    for (int i = 0; i < 4; ++i)
        makeFile(dir.path(), QStringLiteral("x%1.tmp").arg(i), 5000);
    const QStringList listed = listingOrder(dir.path());
    QStringList kept, dropped;
    for (const QString &name : listed)
        (name.endsWith(QLatin1String(".tmp")) ? dropped : kept).append(name);

    const QList<BackupEntry> entries = ProposedBackup::children(dir.path(), { QStringLiteral("*.tmp") });
    QCOMPARE(namesOf(entries), kept + dropped);
}

void ProposedBackupTest::entryOrder_data()
{
    QTest::addColumn<QList<BackupEntry>>("entries");
    QTest::addColumn<QStringList>("sorted");
    dataRow("kept before excluded, however large",
        QList<BackupEntry> {
            entry("ex", 0, true), entry("tiny", 1, false), entry("ex2", 0, true), entry("huge", 1LL << 40, false) },
        QStringList { "huge", "tiny", "ex", "ex2" });
    dataRow("equal keys keep their order, names are no key",
        QList<BackupEntry> { entry("b", 5, false), entry("a", 5, false), entry("c", 9, false) },
        QStringList { "c", "b", "a" });
    dataRow("sizes compare as signed 64-bit",
        QList<BackupEntry> { entry("neg", -1, false), entry("zero", 0, false), entry("max", INT64_MAX, false) },
        QStringList { "max", "zero", "neg" });
}

void ProposedBackupTest::entryOrder()
{
    QFETCH(QList<BackupEntry>, entries);
    QFETCH(QStringList, sorted);
    ProposedBackup::sortByEntryOrder(entries);
    QCOMPARE(namesOf(entries), sorted);
}

QTEST_GUILESS_MAIN(ProposedBackupTest)
#include "ProposedBackupTest.moc"
