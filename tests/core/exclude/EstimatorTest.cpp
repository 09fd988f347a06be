#include "exclude/Estimator.h"

#include "ExcludeTree.h"
#include "exclude/FileWalk.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using namespace vellmir;
using namespace vellmir::test;

class EstimatorTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void countsWhatPatternsLeave_data();
    void countsWhatPatternsLeave();
    void sourcesOtherThanFolders_data();
    void sourcesOtherThanFolders();
    void nestedSourcesCountOnce();
    void unreadableFoldersAreLeftOut();
    void sparseFileCountsAllocatedSize();
    void sizeFallsBackToFileSize_data();
    void sizeFallsBackToFileSize();

private:
    QTemporaryDir m_dir;
    QString m_src;
};

// src/
//   a.txt, .hidden, app.log, app.log.1
//   p/node_modules/m/index.js, p/node_modules/m/node_modules/n/x.js, p/keep.js
//   sub/b.txt, sub/deep/c.txt
//   link -> a.txt, dirlink -> sub   (neither counted nor followed)
void EstimatorTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_src = m_dir.path() + QStringLiteral("/src");
    makeFile(m_src, QStringLiteral("a.txt"), 100);
    makeFile(m_src, QStringLiteral(".hidden"), 50);
    makeFile(m_src, QStringLiteral("app.log"), 5000);
    makeFile(m_src, QStringLiteral("app.log.1"), 10);
    makeFile(m_src, QStringLiteral("p/node_modules/m/index.js"), 9000);
    makeFile(m_src, QStringLiteral("p/node_modules/m/node_modules/n/x.js"), 20000);
    makeFile(m_src, QStringLiteral("p/keep.js"), 1);
    makeFile(m_src, QStringLiteral("sub/b.txt"), 3000);
    makeFile(m_src, QStringLiteral("sub/deep/c.txt"), 0);
    makeLink(m_src, QStringLiteral("link"), QStringLiteral("a.txt"));
    makeLink(m_src, QStringLiteral("dirlink"), QStringLiteral("sub"));
}

void EstimatorTest::countsWhatPatternsLeave_data()
{
    QTest::addColumn<QStringList>("excludes"); // "@" stands for the source folder
    QTest::addColumn<QStringList>("counted");

    const QStringList all { "a.txt", ".hidden", "app.log", "app.log.1", "p/node_modules/m/index.js",
        "p/node_modules/m/node_modules/n/x.js", "p/keep.js", "sub/b.txt", "sub/deep/c.txt" };
    QTest::newRow("no patterns") << QStringList() << all;
    QTest::newRow("folder name at any depth")
        << QStringList { "node_modules" }
        << QStringList { "a.txt", ".hidden", "app.log", "app.log.1", "p/keep.js", "sub/b.txt", "sub/deep/c.txt" };
    QTest::newRow("glob on files only") << QStringList { "*.log" }
                                        << QStringList { "a.txt", ".hidden", "app.log.1", "p/node_modules/m/index.js",
                                               "p/node_modules/m/node_modules/n/x.js", "p/keep.js", "sub/b.txt",
                                               "sub/deep/c.txt" };
    QTest::newRow("location prunes a folder") << QStringList { "@/sub",
        "@/p/node_modules/m" } << QStringList { "a.txt", ".hidden", "app.log", "app.log.1", "p/keep.js" };
    QTest::newRow("hidden by glob") << QStringList { ".*" }
                                    << QStringList { "a.txt", "app.log", "app.log.1", "p/node_modules/m/index.js",
                                           "p/node_modules/m/node_modules/n/x.js", "p/keep.js", "sub/b.txt",
                                           "sub/deep/c.txt" };
    QTest::newRow("source excluded by path") << QStringList { "@" } << QStringList();
    QTest::newRow("source excluded by name") << QStringList { "src" } << QStringList();
    QTest::newRow("source excluded by name, then re-included") << QStringList { "src", "!src" } << all;
}

void EstimatorTest::countsWhatPatternsLeave()
{
    QFETCH(QStringList, excludes);
    QFETCH(QStringList, counted);
    excludes.replaceInStrings(QStringLiteral("@"), m_src);
    const BackupEstimate estimate = Estimator::localEstimate({ m_src }, excludes);
    QCOMPARE(estimate.files, qint64(counted.size()));
    QCOMPARE(estimate.bytes, allocatedSum(m_src, counted));
}

void EstimatorTest::sourcesOtherThanFolders_data()
{
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<QStringList>("counted");
    QTest::newRow("none") << QStringList() << QStringList();
    QTest::newRow("missing") << QStringList { "@/missing" } << QStringList();
    QTest::newRow("empty string") << QStringList { QString() } << QStringList();
    // restic backs up a file it is given, as it does one it finds in a folder.
    QTest::newRow("plain file") << QStringList { "@/a.txt" } << QStringList { "a.txt" };
    QTest::newRow("symbolic link to a file") << QStringList { "@/link" } << QStringList { "a.txt" };
}

void EstimatorTest::sourcesOtherThanFolders()
{
    QFETCH(QStringList, sources);
    QFETCH(QStringList, counted);
    sources.replaceInStrings(QStringLiteral("@"), m_src);
    QVERIFY(Estimator::localEstimate(sources, {}) == (BackupEstimate { counted.size(), allocatedSum(m_src, counted) }));
}

void EstimatorTest::nestedSourcesCountOnce()
{
    // restic walks the inner source as part of the outer one.
    const BackupEstimate estimate
        = Estimator::localEstimate({ m_src + QStringLiteral("/sub/"), m_src + QStringLiteral("/missing"), m_src }, {});
    QCOMPARE(estimate.files, qint64(9));
    QCOMPARE(estimate.bytes, Estimator::localEstimate({ m_src }, {}).bytes);
    // A trailing "/" on the source gives the same paths to the patterns.
    QCOMPARE(
        Estimator::localEstimate({ m_src + QStringLiteral("/sub/") }, { m_src + QStringLiteral("/sub/deep") }).files,
        qint64(1));
    // A linked source is walked where it leads, as restic is given it.
    QCOMPARE(
        Estimator::localEstimate({ m_src + QStringLiteral("/dirlink") }, { m_src + QStringLiteral("/sub/deep") }).files,
        qint64(1));
}

void EstimatorTest::unreadableFoldersAreLeftOut()
{
    QTemporaryDir dir;
    makeFile(dir.path(), QStringLiteral("locked/f"), 100);
    makeFile(dir.path(), QStringLiteral("open/f"), 100);
    const QByteArray locked = QFile::encodeName(dir.path() + QStringLiteral("/locked"));
    QVERIFY(::chmod(locked.constData(), 0) == 0);
    BackupEstimate estimate, lockedSource;
    {
        WithoutReadOverride unprivileged;
        if (WithoutReadOverride::canList(locked)) {
            ::chmod(QByteArray(locked).constData(), 0700);
            QSKIP("This thread reads past permissions");
        }
        estimate = Estimator::localEstimate({ dir.path() }, {});
        lockedSource = Estimator::localEstimate({ QString::fromUtf8(locked) }, {});
    }
    ::chmod(locked.constData(), 0700);
    QVERIFY(estimate == (BackupEstimate { 1, allocated(dir.path() + QStringLiteral("/open/f")) }));
    QVERIFY(lockedSource == (BackupEstimate { 0, 0 }));
}

void EstimatorTest::sparseFileCountsAllocatedSize()
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/sparse.img");
    const int fd = ::open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "data", 4), ssize_t(4));
    QCOMPARE(::ftruncate(fd, 64 * 1024 * 1024), 0);
    ::close(fd);

    const BackupEstimate estimate = Estimator::localEstimate({ dir.path() }, {});
    QCOMPARE(estimate.files, qint64(1));
    QCOMPARE(estimate.bytes, allocated(path));
    QVERIFY(estimate.bytes < 64 * 1024 * 1024);
}

void EstimatorTest::sizeFallsBackToFileSize_data()
{
    QTest::addColumn<bool>("readable");
    QTest::addColumn<bool>("regular");
    QTest::addColumn<qint64>("allocatedSize"); // -1: absent
    QTest::addColumn<qint64>("fileSize"); // -1: absent
    QTest::addColumn<qint64>("counted");

    QTest::newRow("allocated wins") << true << true << qint64(4096) << qint64(10) << qint64(4096);
    QTest::newRow("allocated zero still wins (cloud-only file)")
        << true << true << qint64(0) << qint64(5000) << qint64(0);
    QTest::newRow("file size when allocated is missing") << true << true << qint64(-1) << qint64(5000) << qint64(5000);
    QTest::newRow("neither") << true << true << qint64(-1) << qint64(-1) << qint64(0);
    QTest::newRow("not a regular file") << true << false << qint64(4096) << qint64(10) << qint64(0);
    QTest::newRow("unreadable") << false << true << qint64(4096) << qint64(10) << qint64(0);
}

void EstimatorTest::sizeFallsBackToFileSize()
{
    QFETCH(bool, readable);
    QFETCH(bool, regular);
    QFETCH(qint64, allocatedSize);
    QFETCH(qint64, fileSize);
    QFETCH(qint64, counted);
    FileValues values;
    values.readable = readable;
    values.isRegularFile = regular;
    if (allocatedSize >= 0)
        values.allocatedSize = allocatedSize;
    if (fileSize >= 0)
        values.fileSize = fileSize;
    QCOMPARE(countedSize(values), counted);
}

QTEST_GUILESS_MAIN(EstimatorTest)
#include "EstimatorTest.moc"
