#include "TestSupport.h"
#include "engine/ResticEngine.h"
#include "util/ResticError.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

using namespace vellmir;

// Browsing one snapshot of a repository in a temporary folder with the installed restic.
class SnapshotBrowseResticTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    std::optional<ResticEngine> m_engine;
    ResticEnvironment m_environment;
    QString m_snapshot;

    QString src(const QString &relative = {}) const
    {
        return m_root.path() + QStringLiteral("/src") + (relative.isEmpty() ? QString() : u'/' + relative);
    }
    QList<SnapshotEntry> browse(const QString &directory, const QString &search = {}, bool recursive = false) const
    {
        return m_engine->browse(m_snapshot, directory, search, recursive, m_environment);
    }
    static QStringList paths(const QList<SnapshotEntry> &entries)
    {
        QStringList list;
        for (const SnapshotEntry &entry : entries)
            list.append(entry.path);
        return list;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ResticEngine().locateBinary())
            QSKIP("restic is not installed");
        m_engine.emplace(std::nullopt, m_root.path() + QStringLiteral("/locks"));
        m_environment = { { QStringLiteral("RESTIC_REPOSITORY"), m_root.path() + QStringLiteral("/repo") },
            { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("test-password") },
            { QStringLiteral("RESTIC_CACHE_DIR"), m_root.path() + QStringLiteral("/cache") } };
        QVERIFY(m_engine->initialize(m_environment) == ConnectionStatus::ok(0));

        for (int i = 1; i <= 1500; ++i)
            test::writeFile(src(QStringLiteral("many/file%1").arg(i)), QByteArray::number(i));
        QVERIFY(QDir().mkpath(src(QStringLiteral("many/dir"))));
        for (const char *file : { "mixed/a9", "mixed/a10", "mixed/zeta/inner.txt", "mixed/Photos/x.txt",
                 "mixed/deep/down/PHOTO.JPG", "photo-album/y.txt" })
            test::writeFile(src(QString::fromLatin1(file)), "12345");
        const ResticResult result
            = m_engine->run(ResticCommand(QStringLiteral("backup")).flag("--json").positional(src()), m_environment);
        QVERIFY2(result.exitCode == 0, qPrintable(result.stderr));
        m_snapshot = m_engine->listSnapshots(m_environment).first().shortID;
    }

    void listsOneFolder()
    {
        const QList<SnapshotEntry> entries = browse(src(QStringLiteral("mixed")));
        QCOMPARE(paths(entries),
            QStringList(
                { src("mixed/deep"), src("mixed/Photos"), src("mixed/zeta"), src("mixed/a9"), src("mixed/a10") }));
        QCOMPARE(entries.last(), (SnapshotEntry { src("mixed/a10"), "file", 5 }));
        QCOMPARE(entries.first().size, qint64(0));
        QCOMPARE(browse(src(QStringLiteral("mixed")), {}, true).size(), 9);
    }

    void keepsTheFirstThousandEntries()
    {
        const QList<SnapshotEntry> entries = browse(src(QStringLiteral("many")));
        QCOMPARE(entries.size(), 1000);
        QCOMPARE(entries.first(), (SnapshotEntry { src("many/dir"), "dir", 0 }));
        const QStringList listed = paths(entries);
        QVERIFY(listed.indexOf(src("many/file2")) < listed.indexOf(src("many/file10")));
        // restic lists names in byte order; the first thousand of that order are the ones kept.
        QStringList names { QStringLiteral("dir") };
        for (int i = 1; i <= 1500; ++i)
            names.append(QStringLiteral("file%1").arg(i));
        std::sort(names.begin(), names.end());
        QStringList expected;
        for (const QString &name : names.mid(0, 1000))
            expected.append(src(QStringLiteral("many/") + name));
        QStringList sortedListed = listed;
        std::sort(sortedListed.begin(), sortedListed.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(sortedListed, expected);
    }

    void searchesEveryDepth()
    {
        const QList<SnapshotEntry> entries = browse(src(), QStringLiteral("photo"));
        QCOMPARE(paths(entries),
            QStringList({ src("mixed/Photos"), src("photo-album"), src("mixed/deep/down/PHOTO.JPG"),
                src("mixed/Photos/x.txt"), src("photo-album/y.txt") }));
    }

    void optionLikeArgumentsNeverReachResticAsOptions()
    {
        const QString flag = m_root.path() + QStringLiteral("/flag");
        const QString command = QStringLiteral("--password-command=touch ") + flag;
        try {
            browse(command);
            QFAIL("a relative folder was listed");
        } catch (const ResticError &e) {
            QCOMPARE(e.message(), QStringLiteral("Could not browse this snapshot (-1)."));
        }
        try {
            m_engine->browse(command, QStringLiteral("/"), {}, false, m_environment);
            QFAIL("an unknown snapshot was listed");
        } catch (const ResticError &e) {
            // restic's JSON error object reaches the user as its message alone.
            QCOMPARE(e.message(), QStringLiteral("no matching ID found for prefix \"%1\"").arg(command));
        }
        QVERIFY(!QFile::exists(flag));
    }
};

QTEST_GUILESS_MAIN(SnapshotBrowseResticTest)
#include "SnapshotBrowseResticTest.moc"
