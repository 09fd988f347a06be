#include "TestSupport.h"
#include "engine/ResticEngine.h"
#include "util/LocalPath.h"
#include "util/ResticError.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellmir;
using namespace Qt::StringLiterals;

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
        // Names that are not UTF-8, two of which restic's JSON shows alike, and a line feed.
        QVERIFY(::mkdir(LocalPath::encode(src(u"bytes"_s)).constData(), 0700) == 0);
        QVERIFY(::mkdir(LocalPath::encode(src(u"bytes/dir\xDCFF"_s)).constData(), 0700) == 0);
        for (const QString &name : { u"bytes/caf\xDCE9.txt"_s, u"bytes/caf\xDCE8.txt"_s, u"bytes/line\nbreak"_s,
                 u"bytes/dir\xDCFF/inner.txt"_s }) {
            const int fd = ::open(LocalPath::encode(src(name)).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            QVERIFY(fd >= 0);
            QVERIFY(::write(fd, name.toUtf8().constData(), 3) == 3);
            ::close(fd);
        }
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

    void namesComeBackByteForByte()
    {
        const QStringList names { src(u"bytes/dir\xDCFF"_s), src(u"bytes/caf\xDCE8.txt"_s),
            src(u"bytes/caf\xDCE9.txt"_s), src(u"bytes/line\nbreak"_s) };
        QStringList listed = paths(browse(src(u"bytes"_s)));
        listed.sort();
        QStringList expected = names;
        expected.sort();
        QCOMPARE(listed, expected);
        QCOMPARE(paths(browse(names.first())), QStringList { src(u"bytes/dir\xDCFF/inner.txt"_s) });
        listed = paths(browse(src(), u"caf"_s));
        listed.sort();
        QCOMPARE(listed, (QStringList { names[1], names[2] }));

        // A listed name restores that item and nothing else.
        for (const QString &name : names.mid(1)) {
            QTemporaryDir target;
            const ResticResult result = m_engine->run(ResticCommand(QStringLiteral("restore"))
                                                          .option("--target", target.path())
                                                          .option("--include", ResticEngine::literalInclude(name))
                                                          .positional(m_snapshot),
                m_environment);
            QVERIFY2(result.exitCode == 0, qPrintable(result.stderr));
            struct stat info { };
            QVERIFY2(::stat(LocalPath::encode(target.path() + name).constData(), &info) == 0, qPrintable(name));
            DIR *folder = ::opendir(LocalPath::encode(target.path() + src(u"bytes"_s)).constData());
            QVERIFY(folder);
            int count = 0;
            while (const dirent *entry = ::readdir(folder))
                count += entry->d_name[0] != '.';
            ::closedir(folder);
            QCOMPARE(count, 1);
        }
    }

    void optionLikeArgumentsNeverReachResticAsOptions()
    {
        const QString flag = m_root.path() + QStringLiteral("/flag");
        const QString command = QStringLiteral("--password-command=touch ") + flag;
        try {
            browse(command);
            QFAIL("a relative folder was listed");
        } catch (const EngineRefusal &e) {
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
