#include "config/FileLock.h"
#include "LockHolder.h"
#include "TestSupport.h"
#include "util/ResticError.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

using namespace vellmir;

namespace {

const QString busy
    = QStringLiteral("This repository is busy in another Vellmir operation. Try again after it finishes.");

QString takeFailure(const QString &path)
{
    try {
        FileLock lock(path, false);
    } catch (const Error &error) {
        return error.message();
    }
    return {};
}

} // namespace

class FileLockTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // "@" stands for a folder holding: repo/, other/, deep/repo/, link -> repo, deeplink -> deep/repo.
    void oneRepositoryMapsToOneLock_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("same");
        QTest::newRow("trailing slash") << "@/repo"
                                        << "@/repo/" << true;
        QTest::newRow("double dot") << "@/repo"
                                    << "@/other/../repo" << true;
        QTest::newRow("single dot and double slash") << "@/repo"
                                                     << "@/./repo//" << true;
        QTest::newRow("symbolic link") << "@/repo"
                                       << "@/link" << true;
        QTest::newRow("spaces and line breaks") << "@/repo"
                                                << " \t@/repo\n " << true;
        // After a link, ".." is the parent of the link's target, as restic sees it.
        QTest::newRow("double dot after a link") << "@/deep/other"
                                                 << "@/deeplink/../other" << true;
        QTest::newRow("missing repository") << "@/new/repo"
                                            << "@/new/./x/../repo/" << true;
        QTest::newRow("missing below a link") << "@/repo/new"
                                              << "@/link/new" << true;
        QTest::newRow("remote trimmed") << "b2:bucket:vellmir"
                                        << "  b2:bucket:vellmir\n"
                                        << true;
        QTest::newRow("remote kept as written") << "sftp:host:/srv/repo"
                                                << "sftp:host:/srv/repo/" << false;
        QTest::newRow("local: prefix") << "local:@/link"
                                       << "@/repo" << true;
        QTest::newRow("different folders") << "@/repo"
                                           << "@/other" << false;
    }

    void oneRepositoryMapsToOneLock()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, same);
        QTemporaryDir root;
        const QString base = QFileInfo(root.path()).canonicalFilePath();
        QVERIFY(QDir(base).mkpath(QStringLiteral("repo")) && QDir(base).mkpath(QStringLiteral("other")));
        QVERIFY(QDir(base).mkpath(QStringLiteral("deep/repo")));
        QVERIFY(QFile::link(base + QStringLiteral("/repo"), base + QStringLiteral("/link")));
        QVERIFY(QFile::link(base + QStringLiteral("/deep/repo"), base + QStringLiteral("/deeplink")));
        first.replace(u'@', base);
        second.replace(u'@', base);

        const QString locks = base + QStringLiteral("/locks");
        QCOMPARE(FileLock::repositoryLockPath(first, locks) == FileLock::repositoryLockPath(second, locks), same);
        if (same) {
            const auto held = FileLock::repository(first, locks);
            try {
                FileLock::repository(second, locks);
                QFAIL("the second name took the lock again");
            } catch (const Error &error) {
                QCOMPARE(error.message(), busy);
            }
        }
    }

    void lockFileIsNamedByTheDigest()
    {
        QTemporaryDir root;
        const QString locks = root.path() + QStringLiteral("/a/b/locks");
        // An empty repository string is hashed like any other.
        QCOMPARE(FileLock::repositoryLockPath(QString(), locks),
            locks + QStringLiteral("/e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855.lock"));
        const QString remote = QStringLiteral("s3:https://example.test/bücket");
        const QByteArray digest = QCryptographicHash::hash(remote.toUtf8(), QCryptographicHash::Sha256).toHex();
        QCOMPARE(FileLock::repositoryLockPath(QStringLiteral(" ") + remote, locks),
            locks + u'/' + QString::fromLatin1(digest) + QStringLiteral(".lock"));

        const QString path = FileLock::repositoryLockPath(remote, locks);
        {
            const auto lock = FileLock::repository(remote, locks);
            struct stat info { };
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
            QCOMPARE(int(info.st_mode & 0777), 0600);
            QCOMPARE(int(info.st_size), 0);
            QVERIFY(::fcntl(lock->descriptor(), F_GETFD) & FD_CLOEXEC);
        }
        QVERIFY(QFile::exists(path)); // never deleted
    }

    void twoLocksInOneProcessConflict()
    {
        QTemporaryDir root;
        auto first = FileLock::repository(QStringLiteral("b2:bucket"), root.path());
        try {
            FileLock::repository(QStringLiteral("b2:bucket"), root.path());
            QFAIL("took a held lock");
        } catch (const Error &error) {
            QCOMPARE(error.message(), busy);
            QCOMPARE(error.kind(), ErrorKind::busy);
        }
        first.reset();
        QVERIFY(FileLock::repository(QStringLiteral("b2:bucket"), root.path()));

        const QString path = root.path() + QStringLiteral("/destinations.json.lock");
        auto waiting = std::make_unique<FileLock>(path, true);
        QCOMPARE(takeFailure(path), busy);
        waiting.reset();
        QCOMPARE(takeFailure(path), QString());
    }

    void lockHeldByAnotherProcess()
    {
        if (!test::LockHolder::available())
            QSKIP("flock(1) is not installed");
        QTemporaryDir root;
        const QString path = FileLock::repositoryLockPath(QStringLiteral("/srv/repo"), root.path());
        test::LockHolder holder;
        QVERIFY(holder.hold(path));
        try {
            FileLock::repository(QStringLiteral("/srv/repo"), root.path());
            QFAIL("took a lock another process holds");
        } catch (const Error &error) {
            QCOMPARE(error.message(), busy);
        }

        // A waiting lock waits while the other process holds it, but not for ever: a holder
        // stopped with Ctrl-Z must not stall every other command.
        QElapsedTimer waited;
        waited.start();
        try {
            FileLock lock(path, true);
            QFAIL("took a lock another process holds");
        } catch (const Error &error) {
            QCOMPARE(error.message(), busy);
            QCOMPARE(error.kind(), ErrorKind::busy);
        }
        QVERIFY(waited.elapsed() >= std::chrono::milliseconds(FileLock::waitLimit).count() - 100);

        // It is taken as soon as the other process lets go.
        std::atomic<bool> taken = false;
        std::thread waiter([&] {
            FileLock lock(path, true);
            taken = true;
        });
        QTest::qWait(200);
        QVERIFY(!taken);
        holder.release();
        waiter.join();
        QVERIFY(taken);
        QCOMPARE(takeFailure(path), QString());
    }

    void lockLeftByACrashIsReused()
    {
        if (!test::LockHolder::available())
            QSKIP("flock(1) is not installed");
        QTemporaryDir root;
        const QString path = root.path() + QStringLiteral("/scheduler.lock");
        test::LockHolder holder;
        QVERIFY(holder.hold(path));
        holder.crash();
        QVERIFY(QFile::exists(path));
        QCOMPARE(takeFailure(path), QString());
    }

    // Nothing on a read-only file system changes, so a reader's lock never stops it there.
    void readOnlyFileSystemLetsReadersGoOn()
    {
        QTemporaryDir root;
        const QString folder = root.path() + QStringLiteral("/data");
        QVERIFY(QDir().mkpath(folder));
        test::writeFile(folder + QStringLiteral("/held.lock"), "");
        const auto mount
            = [](const QStringList &arguments) { return QProcess::execute(QStringLiteral("mount"), arguments) == 0; };
        if (!mount({ "--bind", folder, folder }))
            QSKIP("a read-only file system needs mount, which this user may not use");
        const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), { folder }); });
        QVERIFY(mount({ "-o", "remount,bind,ro", folder }));

        // A lock file that exists is locked all the same, through a read-only descriptor.
        FileLock held(folder + QStringLiteral("/held.lock"), false);
        QVERIFY(held.descriptor() >= 0);
        QCOMPARE(takeFailure(folder + QStringLiteral("/held.lock")), busy);
        // One that cannot be made can be held by no one.
        FileLock none(folder + QStringLiteral("/missing.lock"), false);
        QCOMPARE(none.descriptor(), -1);
    }

    void failuresCarryTheirSentences()
    {
        QTemporaryDir root;
        // The folder cannot be made: the file system's error, not the engine's.
        test::writeFile(root.path() + QStringLiteral("/plain"), "x");
        try {
            FileLock lock(root.path() + QStringLiteral("/plain/locks/a.lock"), false);
            QFAIL("locked below a file");
        } catch (const ResticError &) {
            QFAIL("a folder failure is not an engine error");
        } catch (const Error &) {
        }

        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("dir.lock")));
        try {
            FileLock lock(root.path() + QStringLiteral("/dir.lock"), true);
            QFAIL("locked a folder");
        } catch (const Error &error) {
            QCOMPARE(error.message(), QStringLiteral("Could not open operation lock: Is a directory"));
        }
    }
};

QTEST_GUILESS_MAIN(FileLockTest)
#include "FileLockTest.moc"
