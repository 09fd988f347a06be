#include "restore/RestoreSheetModel.h"
#include "RestoreFixture.h"
#include "operations/RepositoryHealthStore.h"

#include <QtTest>

using namespace vellmir;
using Phase = RestoreRunner::Phase;

// The restore sheet's state against a scripted fake restic.
class RestoreSheetModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::RestoreFixture> m_world;

    std::unique_ptr<RestoreSheetModel> sheet(std::optional<QString> include = std::nullopt) const
    {
        return std::make_unique<RestoreSheetModel>(
            m_world->newest, m_world->destination, std::move(include), m_world->services());
    }

private Q_SLOTS:
    void init() { m_world = std::make_unique<test::RestoreFixture>(); }
    void cleanup() { m_world.reset(); }

    void opensWithoutFolderAndShowsWhatItRestores_data()
    {
        QTest::addColumn<std::optional<QString>>("include");
        QTest::addColumn<QString>("contents");
        QTest::addColumn<bool>("incomplete");
        QTest::newRow("whole snapshot") << std::optional<QString>() << QStringLiteral("Whole snapshot") << false;
        test::dataRow("one path", std::optional<QString>(QStringLiteral("/home/ann/Notes [old].txt")),
            QStringLiteral("/home/ann/Notes [old].txt"), false);
        test::dataRow("an incomplete backup's snapshot", std::optional<QString>(),
            QStringLiteral("Whole snapshot (of an incomplete backup: some items are not in it)"), true);
    }
    void opensWithoutFolderAndShowsWhatItRestores()
    {
        QFETCH(std::optional<QString>, include);
        QFETCH(QString, contents);
        QFETCH(bool, incomplete);
        auto model = sheet(include);
        model->setIncomplete(incomplete);
        QCOMPARE(model->contentsText(), contents);
        QCOMPARE(model->targetPath(), QString());
        QVERIFY(!model->canRestore());
        QCOMPARE(model->closeButtonTitle(), QStringLiteral("Close"));
        QVERIFY(model->canClose());
        // Without a folder "Restore" does nothing, even when called.
        model->restore();
        QVERIFY(model->runner()->phase() == Phase::idle);
        QVERIFY(m_world->runs().isEmpty());
    }

    void cancelledChooserKeepsEarlierChoice()
    {
        auto model = sheet();
        std::optional<QString> answer = m_world->path(QStringLiteral("target"));
        model->setFolderChooser([&] { return answer; });
        model->chooseFolder();
        QCOMPARE(model->targetPath(), m_world->path(QStringLiteral("target")));
        QVERIFY(model->canRestore());
        answer.reset();
        model->chooseFolder();
        QCOMPARE(model->targetPath(), m_world->path(QStringLiteral("target")));
    }

    void finishedRestoreShowsSummaryAndOpensNewFolder()
    {
        m_world->script(QStringLiteral("restore.stdout"), test::RestoreFixture::restoreOutput(1234, 0));
        m_world->restoreWrites(1234);
        auto model = sheet(QStringLiteral("/home/ann/a*b.txt"));
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        QStringList opened;
        model->setFolderOpener([&](const QString &path) { opened.append(path); });
        model->restore();
        QVERIFY(model->isRunning());
        QTRY_VERIFY(model->runner()->phase() == Phase::finished);

        QCOMPARE(model->closeButtonTitle(), QStringLiteral("Done"));
        // Counts are plain digits and a zero byte count is a word.
        QCOMPARE(model->summaryText(), QStringLiteral("Restored 1234 files, Zero KB."));
        QVERIFY(!model->runner()->failureMessage());
        const QStringList folders = test::RestoreFixture::restoreFolders(m_world->path(QStringLiteral("target")));
        QCOMPARE(folders.size(), 1);
        QVERIFY(m_world->lastArguments().contains(QStringLiteral("/home/ann/a\\*b.txt")));
        model->showRestoredFiles();
        QCOMPARE(opened, QStringList { m_world->path(QStringLiteral("target/")) + folders.constFirst() });
        const RepositoryHealth health = RepositoryHealthStore(m_world->credentials).load(m_world->destination);
        QCOMPARE(health.restoredSelection, std::optional<QString>(QStringLiteral("/home/ann/a*b.txt")));
    }

    void runningRestoreHoldsTheSheetAndCancelReturnsToReady()
    {
        m_world->script(QStringLiteral("restore.stdout"), test::RestoreFixture::restoreOutput(1, 1));
        m_world->script(QStringLiteral("restore.sleep"), "30");
        auto model = sheet();
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        model->restore();
        // The listing that counts the files to restore, then the restore.
        QTRY_COMPARE(m_world->runs().size(), 2);
        QTRY_VERIFY(model->runner()->totalFiles() == 2);
        QVERIFY(!model->canClose());
        QCOMPARE(model->closeButtonTitle(), QStringLiteral("Close"));
        QCOMPARE(model->progressFilesText(), QStringLiteral("1 / 2 files"));
        QVERIFY(!model->canRestore());

        // A second press starts nothing; a new folder waits for the next attempt.
        model->restore();
        QDir().mkpath(m_world->path(QStringLiteral("other")));
        model->setTargetPath(m_world->path(QStringLiteral("other")));
        model->cancel();
        QTRY_VERIFY(model->runner()->phase() == Phase::idle);
        QCOMPARE(m_world->runs().size(), 2);
        QVERIFY(model->canClose());
        QVERIFY(model->canRestore());
        QCOMPARE(model->targetPath(), m_world->path(QStringLiteral("other")));
        QCOMPARE(test::RestoreFixture::restoreFolders(m_world->path(QStringLiteral("target"))).size(), 1);
        QVERIFY(test::RestoreFixture::restoreFolders(m_world->path(QStringLiteral("other"))).isEmpty());
    }

    void failedRestoreCanBeRetriedIntoAnotherFolder()
    {
        m_world->script(QStringLiteral("restore.exit"), "1");
        auto model = sheet();
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        model->restore();
        QTRY_VERIFY(model->runner()->phase() == Phase::failed);
        // The folder restic had begun is named, for the user to look into or remove.
        QCOMPARE(model->runner()->failureMessage(),
            std::optional<QString>(
                QStringLiteral("Restore failed (exit code 1).\nWhat was restored before it stopped is in ")
                + model->runner()->restoredPath().value_or(QString()) + u'.'));
        QVERIFY(model->canRestore());

        m_world->unscript(QStringLiteral("restore.exit"));
        model->restore();
        QVERIFY(!model->runner()->failureMessage());
        QTRY_VERIFY(model->runner()->phase() == Phase::finished);
        QCOMPARE(test::RestoreFixture::restoreFolders(m_world->path(QStringLiteral("target"))).size(), 2);
    }

    void successAfterAnErrorLineShowsBoth()
    {
        m_world->script(QStringLiteral("restore.stdout"), test::RestoreFixture::restoreOutput(3, 3000));
        m_world->script(QStringLiteral("restore.stderr"), "error: could not set extended attribute\n");
        auto model = sheet();
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        model->restore();
        QTRY_VERIFY(model->runner()->phase() == Phase::finished);
        QVERIFY(!model->summaryText().isEmpty());
        QCOMPARE(model->runner()->failureMessage(),
            std::optional<QString>(QStringLiteral("error: could not set extended attribute")));
    }

    void localRepositoryIsNeverTheTarget_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("refused");
        QTest::newRow("the repository") << QStringLiteral("repo") << true;
        QTest::newRow("inside it") << QStringLiteral("repo/data") << true;
        QTest::newRow("inside it through a link") << QStringLiteral("link/data") << true;
        QTest::newRow("the folder holding it") << QString() << false;
    }
    void localRepositoryIsNeverTheTarget()
    {
        QFETCH(QString, target);
        QFETCH(bool, refused);
        QDir().mkpath(m_world->path(QStringLiteral("repo/data")));
        QVERIFY(QFile::link(m_world->path(QStringLiteral("repo")), m_world->path(QStringLiteral("link"))));
        const QString folder = target.isEmpty() ? m_world->home().path() : m_world->path(target);
        auto model = sheet();
        model->setTargetPath(folder);
        model->restore();
        QTRY_VERIFY(!model->isRunning());
        if (refused) {
            QCOMPARE(model->runner()->failureMessage(),
                std::optional<QString>(QStringLiteral("Choose a restore folder outside the backup repository.")));
            QVERIFY(test::RestoreFixture::restoreFolders(folder).isEmpty());
            QVERIFY(m_world->runs().isEmpty());
        } else {
            QVERIFY(model->runner()->phase() == Phase::finished);
            QCOMPARE(test::RestoreFixture::restoreFolders(folder).size(), 1);
        }
    }

    void removedTargetFailsWithoutCreatingFolders()
    {
        auto model = sheet();
        model->setTargetPath(m_world->path(QStringLiteral("gone/deeper")));
        model->restore();
        QTRY_VERIFY(model->runner()->phase() == Phase::failed);
        QVERIFY(model->runner()->failureMessage().has_value());
        QVERIFY(!QFileInfo::exists(m_world->path(QStringLiteral("gone"))));
        QVERIFY(m_world->runs().isEmpty());
    }

    void missingSecretIsShownAsFailure()
    {
        m_world->credentials.removeAll(m_world->destination.credentialID);
        auto model = sheet();
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        model->restore();
        QTRY_VERIFY(model->runner()->phase() == Phase::failed);
        QVERIFY(model->runner()->failureMessage()->startsWith(QStringLiteral("Missing ")));
    }
};

QTEST_GUILESS_MAIN(RestoreSheetModelTest)
#include "RestoreSheetModelTest.moc"
