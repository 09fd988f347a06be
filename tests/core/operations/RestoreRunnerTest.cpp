#include "operations/RestoreRunner.h"
#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "engine/ResticEngine.h"
#include "util/AtomicFile.h"
#include "util/Uuid.h"

#include "config/FileLock.h"
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <QtTest>

using namespace vellmir;
using Phase = RestoreRunner::Phase;

// The restore runner against a scripted fake restic.
class RestoreRunnerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_fake;
    CredentialsStore m_credentials { std::make_shared<test::MemorySecretStorage>() };
    Destination m_destination;
    Snapshot m_snapshot;

    QString path(const QString &relative) const { return m_home->path() + u'/' + relative; }
    std::unique_ptr<RestoreRunner> runner(const QString &healthDirectory = {}) const
    {
        return std::make_unique<RestoreRunner>(
            ResticEngine(test::supportPath(QStringLiteral("fake-restic")), path(QStringLiteral("locks"))),
            m_credentials,
            healthDirectory.isEmpty() ? RepositoryHealthStore(m_credentials)
                                      : RepositoryHealthStore(healthDirectory, m_credentials));
    }
    void script(const QString &name, const QByteArray &content) const
    {
        test::writeFile(m_fake->filePath(name), content);
    }
    QStringList lastArguments() const
    {
        const QString file = m_fake->filePath(QStringLiteral("args"));
        if (!QFileInfo::exists(file))
            return {};
        return QString::fromUtf8(test::readFile(file)).split(u'\n', Qt::SkipEmptyParts);
    }
    RepositoryHealth health() const { return RepositoryHealthStore(m_credentials).load(m_destination); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<test::TestHome>();
        m_fake = std::make_unique<QTemporaryDir>();
        qputenv("FAKE_RESTIC_DIR", QFile::encodeName(m_fake->path()));
        QDir().mkpath(path(QStringLiteral("target")));
        QDir().mkpath(path(QStringLiteral("repo")));
        m_destination = Destination {};
        m_destination.id = newUuid();
        m_destination.credentialID = newUuid();
        m_destination.repository = path(QStringLiteral("repo"));
        m_credentials.setSecret(QStringLiteral("pw"), CredentialRole::repoPassword, m_destination.credentialID);
        m_snapshot = Snapshot {};
        m_snapshot.id = QStringLiteral("5d64010835f3f382f07c09b6df710cfc49d679f2c22feb7b0e5f5b6e5f6b4f21");
        m_snapshot.shortID = m_snapshot.id.left(8);
        // restic recreates the folders on the way to what it restores.
        script(QStringLiteral("writes"), "docs/a/b/file.txt\n");
    }
    void cleanup() { qunsetenv("FAKE_RESTIC_DIR"); }

    void outcomeFollowsResticsOutput_data()
    {
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("exit");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QList<qint64>>("counts"); // filesRestored, totalFiles, bytesRestored, totalBytes
        QTest::addColumn<QList<qint64>>("summary"); // empty: none

        const QByteArray status1 = "{\"message_type\":\"status\",\"percent_done\":0.25,\"files_restored\":1,"
                                   "\"total_files\":4,\"bytes_restored\":10,\"total_bytes\":40}\n";
        const QByteArray status2 = "{\"message_type\":\"status\",\"percent_done\":0.5,\"files_restored\":2,"
                                   "\"total_files\":4,\"bytes_restored\":20}\nnot json\n";
        // Its file counts take in the folders it recreates; the files written are what count.
        test::dataRow("summary line",
            status1
                + "{\"message_type\":\"summary\",\"total_files\":6,"
                  "\"files_restored\":6,\"total_bytes\":121,\"bytes_restored\":121}\n",
            QByteArray(), 0, true, QString(), QList<qint64> { 1, 1, 10, 40 }, QList<qint64> { 1, 1, 121, 121 });
        test::dataRow("no summary, a status without total_bytes", status1 + status2, QByteArray(), 0, true, QString(),
            QList<qint64> { 1, 1, 20, 40 }, QList<qint64> { 1, 1, 20, 40 });
        test::dataRow("JSON message", status1,
            QByteArray("{\"message_type\":\"exit_error\",\"code\":1,\"message\":\"repository "
                       "contains errors\"}\n"),
            1, false, QStringLiteral("repository contains errors\nWhat was restored before it stopped is in %1."),
            QList<qint64> { 1, 4, 10, 40 }, QList<qint64> {});
        test::dataRow("fatal in capitals, other lines ignored", QByteArray(),
            QByteArray("  FATAL: no space left \n\nwarning: slow\n"), 1, false,
            QStringLiteral("FATAL: no space left\nWhat was restored before it stopped is in %1."),
            QList<qint64> { 0, 0, 0, 0 }, QList<qint64> {});
        test::dataRow("the last error line wins", QByteArray(), QByteArray("Fatal: first\nsomething ERROR: second\n"),
            1, false, QStringLiteral("something ERROR: second\nWhat was restored before it stopped is in %1."),
            QList<qint64> { 0, 0, 0, 0 }, QList<qint64> {});
        test::dataRow("silent failure", QByteArray(), QByteArray("restoring...\n"), 2, false,
            QStringLiteral("Restore failed (exit code 2).\nWhat was restored before it stopped is in %1."),
            QList<qint64> { 0, 0, 0, 0 }, QList<qint64> {});
        // "%1": the run wrote a file first, and its folder stays for the user to look into.
        QByteArray many;
        for (int item = 1; item <= 102; ++item)
            many += "{\"message_type\":\"error\",\"error\":{\"message\":\"denied\"},\"item\":\"/f"
                + QByteArray::number(item) + "\"}\n";
        QStringList named;
        for (int item = 1; item <= 100; ++item)
            named.append(QStringLiteral("/f%1: denied").arg(item));
        test::dataRow("more errors than are kept, files written", QByteArray(),
            many + "{\"message_type\":\"exit_error\",\"code\":1,\"message\":\"Fatal: There were 102 errors\\n\"}\n", 1,
            false,
            "Fatal: There were 102 errors:\n" + named.join(u'\n')
                + "\n(2 more)\nWhat was restored before it stopped is in %1.",
            QList<qint64> { 0, 0, 0, 0 }, QList<qint64> {});
        test::dataRow("an item's line break written out", QByteArray(),
            QByteArray("{\"message_type\":\"error\",\"error\":{\"message\":\"denied\"},\"item\":\"/a\\nb\"}\n"
                       "Fatal: There were 1 errors\n"),
            1, false,
            QStringLiteral("Fatal: There were 1 errors:\n/a\u27E8U+000A\u27E9b: denied\nWhat was restored before it "
                           "stopped is in %1."),
            QList<qint64> { 0, 0, 0, 0 }, QList<qint64> {});
    }
    void outcomeFollowsResticsOutput()
    {
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(int, exit);
        QFETCH(bool, finished);
        QFETCH(QString, message);
        QFETCH(QList<qint64>, counts);
        QFETCH(QList<qint64>, summary);
        script(QStringLiteral("stdout"), out);
        script(QStringLiteral("stderr"), err);
        script(QStringLiteral("exit"), QByteArray::number(exit));
        const bool kept = message.contains(QStringLiteral("%1"));

        auto restore = runner();
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("target")));
        QVERIFY(restore->phase() == (finished ? Phase::finished : Phase::failed));
        QCOMPARE(restore->failureMessage().value_or(QString()),
            kept ? message.arg(restore->restoredPath().value_or(QString())) : message);
        QCOMPARE((QList<qint64> { restore->filesRestored(), restore->totalFiles(), restore->bytesRestored(),
                     restore->totalBytes() }),
            counts);
        if (summary.isEmpty()) {
            QVERIFY(!restore->summary());
        } else {
            QVERIFY(restore->summary() == (RestoreSummary { summary[0], summary[1], summary[2], summary[3] }));
            QCOMPARE(restore->percent(), 1.0);
        }
        QCOMPARE(health().restoredSelection, finished ? std::optional(QStringLiteral("Whole snapshot")) : std::nullopt);
        QVERIFY(QFileInfo(*restore->restoredPath()).isDir());
        // Only a verified restore's folder takes the name of a finished one.
        QCOMPARE(restore->restoredPath()->endsWith(unfinishedMark()), !finished);
        QCOMPARE(QDir(path(QStringLiteral("target"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
            QStringList { QFileInfo(*restore->restoredPath()).fileName() });
    }

    void runRestoresIntoNewFoldersAndSignalsChangesOnly()
    {
        auto restore = runner();
        QSignalSpy phases(restore.get(), &RestoreRunner::phaseChanged);
        QSignalSpy paths(restore.get(), &RestoreRunner::restoredPathChanged);
        QStringList folders;
        for (int round = 0; round < 2; ++round) {
            restore->run(m_snapshot, m_destination, path(QStringLiteral("target")), QStringLiteral("/docs/a*[1].txt"));
            QVERIFY(restore->phase() == Phase::running);
            restore->run(m_snapshot, m_destination, path(QStringLiteral("elsewhere"))); // ignored while running
            QTRY_VERIFY(restore->phase() == Phase::finished);
            folders.append(*restore->restoredPath());
            QCOMPARE(lastArguments(),
                QStringList({ "restore", "--target", folders.last() + unfinishedMark(), "--json", "--overwrite",
                    "never", "--verify", "--include", "/docs/a\\*\\[1\\].txt", "--", m_snapshot.id }));
        }
        // idle -> running -> finished, then -> running (reset and start at once) -> finished; the
        // path each round: none -> the unfinished folder -> its final name.
        QCOMPARE(phases.size(), 4);
        QCOMPARE(paths.size(), 5);
        QCOMPARE(QFileInfo(folders[0]).absolutePath(), path(QStringLiteral("target")));
        QCOMPARE(QFileInfo(folders[1]).absolutePath(), path(QStringLiteral("target")));
        QVERIFY(folders[0] != folders[1]);
        QVERIFY(parseUuid(QFileInfo(folders[0]).fileName().mid(RestoreRunner::folderPrefix().size())));
        QCOMPARE(health().restoredSelection, QStringLiteral("/docs/a*[1].txt"));
        QCOMPARE(health().restoredSnapshot, m_snapshot.id);
    }

    void restoreThatWroteNoFileFails_data()
    {
        QTest::addColumn<QByteArray>("writes");
        QTest::addColumn<QString>("include"); // empty: the whole snapshot
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QString>("message");
        test::dataRow("a path not in the snapshot", QByteArray(), "/docs/missing.txt", QByteArray(),
            "Nothing in snapshot 5d640108 matches /docs/missing.txt.");
        test::dataRow("an empty folder", QByteArray("docs/empty/\n"), "/docs/empty", QByteArray(),
            "Snapshot 5d640108 holds no files at /docs/empty.");
        test::dataRow("a snapshot of folders", QByteArray("docs/\n"), QString(), QByteArray(),
            "Snapshot 5d640108 holds no files to restore.");
        test::dataRow("a link", QByteArray("docs/\ndocs/link@\n"), "/docs/link", QByteArray(),
            "Snapshot 5d640108 holds no files at /docs/link.");
        // restic's last line counts its errors; the items it named say what went wrong.
        test::dataRow("a failed restore", QByteArray("docs/\n"), QString(),
            QByteArray("Load(<data/3dc46a97b9>, 0, 0) failed: open x: no such file or directory\n"
                       "{\"message_type\":\"error\",\"error\":{\"message\":\"ReadFull(<data/3dc46a97b9>): "
                       "no such file\"},\"during\":\"restore\",\"item\":\"/docs/a.txt\"}\n"
                       "{\"message_type\":\"error\",\"error\":{\"message\":\"lchown x\"},\"item\":\"/docs/b\"}\n"
                       "{\"message_type\":\"exit_error\",\"code\":1,\"message\":\"Fatal: There were 2 errors\\n\"}\n"),
            "Fatal: There were 2 errors:\n/docs/a.txt: ReadFull(<data/3dc46a97b9>): no such file\n/docs/b: lchown x");
    }
    void restoreThatWroteNoFileFails()
    {
        QFETCH(QByteArray, writes);
        QFETCH(QString, include);
        QFETCH(QByteArray, err);
        QFETCH(QString, message);
        // restic exits 0 when its include matches nothing, and has verified nothing then.
        script(QStringLiteral("writes"), writes);
        script(QStringLiteral("stderr"), err);
        script(QStringLiteral("exit"), err.isEmpty() ? "0" : "1");
        script(QStringLiteral("stdout"),
            "{\"message_type\":\"summary\",\"total_files\":0,\"files_restored\":0,\"total_bytes\":0}\n");
        auto restore = runner();
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("target")),
            include.isEmpty() ? std::nullopt : std::optional(include));
        QVERIFY(restore->phase() == Phase::failed);
        QCOMPARE(restore->failureMessage(), message);
        QVERIFY(!restore->restoredPath());
        QVERIFY(QDir(path(QStringLiteral("target"))).isEmpty());
        QVERIFY(!QFileInfo::exists(RepositoryHealthStore(m_credentials).recordPath(m_destination.id)));
    }

    void refusedBeforeResticStarts_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("include");
        QTest::addColumn<bool>("local");
        QTest::addColumn<QString>("message"); // empty: the restore runs
        const QString guard = QStringLiteral("Choose a restore folder outside the backup repository.");
        QTest::newRow("the repository") << "repo" << QString() << true << guard;
        QTest::newRow("inside it") << "repo/data" << QString() << true << guard;
        QTest::newRow("through a link") << "link-to-repo/data" << QString() << true << guard;
        QTest::newRow("a sibling with the same start") << "repo-restores" << QString() << true << QString();
        QTest::newRow("not a local repository") << "repo/data" << QString() << false << QString();
        test::dataRow("relative include", "target", "docs/a.txt", true,
            QStringLiteral("Select an absolute path from the snapshot browser."));
        test::dataRow("missing target", "missing", QString(), true, QStringLiteral("Could not create the folder "));
    }
    void refusedBeforeResticStarts()
    {
        QFETCH(QString, target);
        QFETCH(QString, include);
        QFETCH(bool, local);
        QFETCH(QString, message);
        QDir().mkpath(path(QStringLiteral("repo/data")));
        QDir().mkpath(path(QStringLiteral("repo-restores")));
        QVERIFY(QFile::link(path(QStringLiteral("repo")), path(QStringLiteral("link-to-repo"))));
        if (!local)
            m_destination.kind = Destination::Kind::sftp;

        auto restore = runner();
        restore->execute(
            m_snapshot, m_destination, path(target), include.isEmpty() ? std::nullopt : std::optional(include));
        if (message.isEmpty()) {
            QVERIFY(restore->phase() == Phase::finished);
            QCOMPARE(lastArguments().first(), QStringLiteral("restore"));
            return;
        }
        QVERIFY(restore->phase() == Phase::failed);
        QVERIFY2(restore->failureMessage()->startsWith(message), qPrintable(*restore->failureMessage()));
        QVERIFY(!restore->restoredPath());
        QVERIFY(lastArguments().isEmpty());
        QCOMPARE(QDir(path(target)).entryList({ RestoreRunner::folderPrefix() + u'*' }, QDir::Dirs).size(), 0);
    }

    void relativeLocalRepositoryIsGuardedToo()
    {
        // restic reads a relative repository path from the working folder, so the guard must too.
        QDir().mkpath(path(QStringLiteral("repo/data")));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(path(QString())));
        m_destination.repository = QStringLiteral("repo");
        auto restore = runner();
        restore->execute(m_snapshot, m_destination, QStringLiteral("repo/data"));
        QDir::setCurrent(previous);
        QVERIFY(restore->phase() == Phase::failed);
        QCOMPARE(restore->failureMessage(), QStringLiteral("Choose a restore folder outside the backup repository."));
        QVERIFY(lastArguments().isEmpty());
    }

    void prefixedLocalRepositoryIsGuardedToo()
    {
        // restic takes "local:/path" for the folder itself.
        QDir().mkpath(path(QStringLiteral("repo/data")));
        m_destination.repository = QStringLiteral("local:") + path(QStringLiteral("repo"));
        auto restore = runner();
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("repo/data")));
        QVERIFY(restore->phase() == Phase::failed);
        QCOMPARE(restore->failureMessage(), QStringLiteral("Choose a restore folder outside the backup repository."));
        QVERIFY(lastArguments().isEmpty());
    }

    void missingSecretFailsWithItsSentence()
    {
        m_destination.credentialID = newUuid();
        auto restore = runner();
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("target")));
        QVERIFY(restore->phase() == Phase::failed);
        QVERIFY(restore->failureMessage()->contains(QStringLiteral("password"), Qt::CaseInsensitive));
        QVERIFY(lastArguments().isEmpty());
    }

    void resticThatNeverRanGivesTheEnginesReason()
    {
        auto restore
            = std::make_unique<RestoreRunner>(ResticEngine(std::nullopt, path(QStringLiteral("locks")), QStringList {}),
                m_credentials, RepositoryHealthStore(m_credentials));
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("target")));
        QVERIFY(restore->phase() == Phase::failed);
        QCOMPARE(restore->failureMessage(), QStringLiteral("restic not found"));

        const FileLock held(
            FileLock::repositoryLockPath(m_destination.repository, path(QStringLiteral("locks"))), false);
        auto busy = runner();
        busy->execute(m_snapshot, m_destination, path(QStringLiteral("target")));
        QCOMPARE(busy->failureMessage(), FileLock::busyMessage());
        QVERIFY(lastArguments().isEmpty());
    }

    void restoreWhoseFolderCannotBeListedKeepsResticsCounts()
    {
        script(QStringLiteral("move-target"), {});
        script(QStringLiteral("stdout"),
            "{\"message_type\":\"summary\",\"total_files\":3,\"files_restored\":3,\"total_bytes\":9}\n");
        auto restore = runner();
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("target")));
        QVERIFY(restore->phase() == Phase::finished);
        QCOMPARE(restore->summary()->filesRestored, 3);
    }

    void cancelReturnsToIdleAndKeepsTheFolder()
    {
        script(QStringLiteral("stdout"), "{\"message_type\":\"status\",\"percent_done\":0.1}\n");
        script(QStringLiteral("restore.sleep"), "30");
        auto restore = runner();
        restore->run(m_snapshot, m_destination, path(QStringLiteral("target")));
        QTRY_COMPARE(restore->percent(), 0.1);
        restore->cancel();
        QTRY_VERIFY(restore->phase() == Phase::idle);
        QVERIFY(QFileInfo(*restore->restoredPath()).isDir());
        QVERIFY(restore->restoredPath()->endsWith(unfinishedMark()));
        QVERIFY(!restore->failureMessage());
        QVERIFY(!QFileInfo::exists(RepositoryHealthStore(m_credentials).recordPath(m_destination.id)));

        // A runner destroyed mid-restore lets the restore end and be recorded, and drops its news.
        script(QStringLiteral("restore.sleep"), "1");
        restore->run(m_snapshot, m_destination, path(QStringLiteral("target")));
        QTRY_COMPARE(restore->percent(), 0.1);
        restore.reset();
        QTRY_COMPARE_WITH_TIMEOUT(health().restoredSelection, QStringLiteral("Whole snapshot"), 10000);
    }

    void unsavedRecordKeepsTheRestoreFinished()
    {
        const QString notAFolder = path(QStringLiteral("health-file"));
        test::writeFile(notAFolder, "x");
        auto restore = runner(notAFolder);
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("target")));
        QVERIFY(restore->phase() == Phase::finished);
        QVERIFY2(restore->failureMessage()->startsWith(
                     QStringLiteral("Files restored and verified, but the recovery result could not be saved: ")),
            qPrintable(*restore->failureMessage()));
    }
};

QTEST_GUILESS_MAIN(RestoreRunnerTest)
#include "RestoreRunnerTest.moc"
