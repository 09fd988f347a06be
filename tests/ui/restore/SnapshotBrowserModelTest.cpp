#include "restore/SnapshotBrowserModel.h"
#include "RestoreFixture.h"

#include <QSignalSpy>
#include <QtTest>
#include <csignal>

using namespace vellmir;
using Phase = RestoreRunner::Phase;
using Node = test::RestoreFixture;

// The snapshot browser's listing, navigation and restores against a scripted fake restic.
class SnapshotBrowserModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::RestoreFixture> m_world;

    std::unique_ptr<SnapshotBrowserModel> browser(std::optional<Snapshot> chosen = std::nullopt) const
    {
        return std::make_unique<SnapshotBrowserModel>(m_world->destination,
            QList<Snapshot> { m_world->newest, m_world->older }, chosen.value_or(m_world->newest), m_world->services());
    }
    void listing(const QByteArray &nodes) const { m_world->script(QStringLiteral("ls.stdout"), nodes); }
    static QByteArray homeListing()
    {
        return Node::node(QStringLiteral("/home/ann"), QStringLiteral("dir"))
            + Node::node(QStringLiteral("/home/ann/Documents"), QStringLiteral("dir"))
            + Node::node(QStringLiteral("/home/ann/notes.txt"), QStringLiteral("file"), 1200)
            + Node::node(QStringLiteral("/home/ann/Documents/plan [v2]*.txt"), QStringLiteral("file"), 5);
    }
    static QStringList paths(const QList<SnapshotEntry> &entries)
    {
        QStringList result;
        for (const SnapshotEntry &entry : entries)
            result.append(entry.path);
        return result;
    }
    // Starts the model and waits for its first listing to end.
    static void listed(SnapshotBrowserModel &model)
    {
        model.start();
        QVERIFY(model.loading());
        QTRY_VERIFY(!model.loading());
    }

private Q_SLOTS:
    void init() { m_world = std::make_unique<test::RestoreFixture>(); }
    void cleanup() { m_world.reset(); }

    void pathBarAndGoingUp_data()
    {
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QStringList>("crumbs"); // fullPath of each crumb
        QTest::addColumn<QString>("name"); // of the last crumb
        QTest::addColumn<QString>("parent");
        QTest::newRow("root") << QStringLiteral("/") << QStringList { QStringLiteral("/") } << QStringLiteral("/")
                              << QStringLiteral("/");
        test::dataRow("one level", QStringLiteral("/Users"),
            QStringList { QStringLiteral("/"), QStringLiteral("/Users") }, QStringLiteral("Users"),
            QStringLiteral("/"));
        test::dataRow("three levels", QStringLiteral("/Users/ann/Documents"),
            QStringList { QStringLiteral("/"), QStringLiteral("/Users"), QStringLiteral("/Users/ann"),
                QStringLiteral("/Users/ann/Documents") },
            QStringLiteral("Documents"), QStringLiteral("/Users/ann"));
        test::dataRow("a line break in a name", QStringLiteral("/tmp/two\nlines"),
            QStringList { QStringLiteral("/"), QStringLiteral("/tmp"), QStringLiteral("/tmp/two\nlines") },
            QStringLiteral("two\u27E8U+000A\u27E9lines"), QStringLiteral("/tmp"));
    }
    void pathBarAndGoingUp()
    {
        QFETCH(QString, directory);
        QFETCH(QStringList, crumbs);
        QFETCH(QString, name);
        QFETCH(QString, parent);
        auto model = browser();
        model->openFolder(directory);
        QStringList fullPaths;
        for (const auto &component : model->pathComponents())
            fullPaths.append(component.fullPath);
        QCOMPARE(fullPaths, crumbs);
        QCOMPARE(model->pathComponents().constLast().name, name);
        QCOMPARE(model->canGoUp(), directory != QLatin1String("/"));
        QCOMPARE(model->showsRootButton(), directory != QLatin1String("/"));
        model->goUp();
        QCOMPARE(model->directory(), parent);
    }

    void folderListingShowsNamesFoldersFirst()
    {
        listing(homeListing());
        auto model = browser();
        model->openFolder(QStringLiteral("/home/ann"));
        listed(*model);
        QCOMPARE(m_world->runs().size(), 1);
        QVERIFY(!m_world->runs().constFirst().contains(QStringLiteral("--recursive")));
        QCOMPARE(paths(model->entries()),
            (QStringList { QStringLiteral("/home/ann/Documents"), QStringLiteral("/home/ann/Documents/plan [v2]*.txt"),
                QStringLiteral("/home/ann/notes.txt") }));
        QCOMPARE(model->displayName(model->entries().constLast()), QStringLiteral("notes.txt"));
        QVERIFY(!model->errorMessage());
    }

    void onlyTheNewestListingFillsTheList()
    {
        listing(Node::node(QStringLiteral("/old"), QStringLiteral("file")));
        m_world->script(QStringLiteral("sleep"), "30");
        auto model = browser();
        model->start();
        QTRY_COMPARE(m_world->runs().size(), 1);
        listing(Node::node(QStringLiteral("/new"), QStringLiteral("file")));
        m_world->unscript(QStringLiteral("sleep"));
        model->setSearch(QStringLiteral("new"));
        QVERIFY(model->loading());
        QTRY_VERIFY(!model->loading());
        QCOMPARE(paths(model->entries()), QStringList { QStringLiteral("/new") });
        QTest::qWait(100);
        QCOMPARE(paths(model->entries()), QStringList { QStringLiteral("/new") });
        QCOMPARE(m_world->runs().size(), 2);
    }

    void closingDuringAStoppedListingReturnsAtOnce()
    {
        m_world->script(QStringLiteral("sleep"), "30");
        auto model = browser();
        model->start();
        QTRY_VERIFY(m_world->lastPid() > 0);
        const pid_t restic = m_world->lastPid();
        // A stopped restic takes no SIGTERM: only the SIGKILL seconds later ends it.
        QCOMPARE(::kill(-restic, SIGSTOP), 0);
        model.reset();
        const bool stillThere = ::kill(restic, 0) == 0;
        ::kill(-restic, SIGKILL);
        QVERIFY(stillThere);
    }

    void failuresEmptyTheListAndShowTheMessage_data()
    {
        QTest::addColumn<QByteArray>("stderr");
        QTest::addColumn<QByteArray>("exit");
        QTest::addColumn<bool>("secret");
        QTest::addColumn<QString>("message");
        test::dataRow("restic's last line", QByteArray("reading tree\nFatal: path /nope not found\n"), QByteArray("1"),
            true, QStringLiteral("Fatal: path /nope not found"));
        test::dataRow("silent failure", QByteArray(), QByteArray("12"), true,
            QStringLiteral("Could not browse this snapshot (12)."));
        QTest::newRow("missing password") << QByteArray() << QByteArray("0") << false << QString();
    }
    void failuresEmptyTheListAndShowTheMessage()
    {
        QFETCH(QByteArray, stderr);
        QFETCH(QByteArray, exit);
        QFETCH(bool, secret);
        QFETCH(QString, message);
        listing(homeListing());
        auto model = browser();
        listed(*model);
        QCOMPARE(model->entries().size(), 4);
        model->select(QStringLiteral("/home/ann/notes.txt"));

        m_world->script(QStringLiteral("ls.stderr"), stderr);
        m_world->script(QStringLiteral("ls.exit"), exit);
        if (!secret)
            m_world->credentials.removeAll(m_world->destination.credentialID);
        model->setSnapshotID(m_world->older.id);
        QVERIFY(!model->selected());
        QCOMPARE(model->entries().size(), 4); // kept under the progress row until the answer
        QTRY_VERIFY(!model->loading());
        QVERIFY(model->entries().isEmpty());
        QVERIFY(model->errorMessage());
        if (secret)
            QCOMPARE(*model->errorMessage(), message);
        else
            QVERIFY(model->errorMessage()->startsWith(QStringLiteral("Missing ")));
        QCOMPARE(model->directory(), QStringLiteral("/"));
    }

    void fullListGetsTheLimitNote_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("1000") << 1000;
        QTest::newRow("999") << 999;
    }
    void fullListGetsTheLimitNote()
    {
        QFETCH(int, count);
        QByteArray nodes;
        for (int i = 0; i < count; ++i)
            nodes += Node::node(QStringLiteral("/f%1").arg(i), QStringLiteral("file"), i);
        listing(nodes);
        auto model = browser();
        listed(*model);
        QCOMPARE(model->entries().size(), count);
        QCOMPARE(model->showsResultLimitNote(), count == 1000);
    }

    void activatingOpensOnlyFolders()
    {
        listing(homeListing());
        auto model = browser();
        model->setSearch(QStringLiteral("doc"));
        listed(*model);
        model->activate({ QStringLiteral("/home/ann/Documents/plan [v2]*.txt") });
        model->activate({ QStringLiteral("/home/ann/Documents"), QStringLiteral("/home/ann/notes.txt") });
        QCOMPARE(model->directory(), QStringLiteral("/"));
        QCOMPARE(model->search(), QStringLiteral("doc"));
        QVERIFY(!model->loading());
        model->activate({ QStringLiteral("/home/ann/Documents") });
        QCOMPARE(model->directory(), QStringLiteral("/home/ann/Documents"));
        QCOMPARE(model->search(), QString());
        QVERIFY(model->loading());
    }

    void unknownSnapshotStillListsButRestoresNothing()
    {
        listing(homeListing());
        Snapshot stranger = m_world->older;
        stranger.id = QStringLiteral("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff");
        auto model = browser(stranger);
        QVERIFY(!model->snapshot());
        listed(*model);
        QVERIFY(m_world->runs().constFirst().contains(stranger.id));
        model->select(QStringLiteral("/home/ann/notes.txt"));
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        model->requestRestore();
        QVERIFY(model->runner()->phase() == Phase::idle);
        QCOMPARE(m_world->runs().size(), 1);
    }

    void fileRestoresAtOnceWithItsPathTakenLiterally()
    {
        listing(homeListing());
        m_world->script(QStringLiteral("restore.stdout"), Node::restoreOutput(1, 5));
        auto model = browser();
        model->setSearch(QStringLiteral("plan"));
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        listed(*model);
        model->select(QStringLiteral("/home/ann/Documents/plan [v2]*.txt"));
        QCOMPARE(SnapshotBrowserModel::restoreButtonTitle(*model->selected()), QStringLiteral("Restore File"));
        model->requestRestore();
        QVERIFY(!model->confirmingFolderRestore());
        QVERIFY(model->isRunning());
        QVERIFY(!model->canClose());
        QTRY_VERIFY(model->runner()->phase() == Phase::finished);
        const QStringList arguments = m_world->lastArguments();
        QCOMPARE(arguments.at(arguments.indexOf(QStringLiteral("--include")) + 1),
            QStringLiteral("/home/ann/Documents/plan \\[v2\\]\\*.txt"));
        QCOMPARE(model->summaryText(), QStringLiteral("Restored 1 file, 5 bytes."));
        QCOMPARE(model->closeButtonTitle(), QStringLiteral("Done"));

        // A second restore of the same file goes into another new folder.
        model->requestRestore();
        QTRY_VERIFY(model->runner()->phase() == Phase::finished);
        QCOMPARE(Node::restoreFolders(m_world->path(QStringLiteral("target"))).size(), 2);
        QStringList opened;
        model->setFolderOpener([&](const QString &path) { opened.append(path); });
        model->showRestoredFiles();
        QCOMPARE(opened, QStringList { *model->runner()->restoredPath() });
    }

    void folderRestoreAsksFirst()
    {
        listing(homeListing());
        auto model = browser();
        model->setTargetPath(m_world->home().path() + QStringLiteral("/target"));
        listed(*model);
        model->select(QStringLiteral("/home/ann/Documents"));
        QCOMPARE(SnapshotBrowserModel::restoreButtonTitle(*model->selected()), QStringLiteral("Restore Folder\u2026"));
        model->requestRestore();
        QVERIFY(model->confirmingFolderRestore());
        QCOMPARE(model->folderConfirmationMessage(),
            QStringLiteral("/home/ann/Documents and everything in it will be restored into a new folder inside "
                           "~/target. Large folders can take a long time."));
        model->dismissFolderConfirmation();
        QVERIFY(!model->confirmingFolderRestore());
        QVERIFY(model->runner()->phase() == Phase::idle);
        QCOMPARE(m_world->runs().size(), 1);

        model->requestRestore();
        model->confirmFolderRestore();
        QVERIFY(!model->confirmingFolderRestore());
        QTRY_VERIFY(model->runner()->phase() == Phase::finished);
        const QStringList arguments = m_world->lastArguments();
        QCOMPARE(
            arguments.at(arguments.indexOf(QStringLiteral("--include")) + 1), QStringLiteral("/home/ann/Documents"));
    }

    void folderQuestionWritesOutALineBreak()
    {
        listing(Node::node(QStringLiteral("/home/ann"), QStringLiteral("dir"))
            + Node::node(QStringLiteral("/home/ann/two\nlines"), QStringLiteral("dir")));
        auto model = browser();
        listed(*model);
        model->select(QStringLiteral("/home/ann/two\nlines"));
        model->requestRestore();
        QVERIFY(model->folderConfirmationMessage().startsWith(
            QStringLiteral("/home/ann/two\u27E8U+000A\u27E9lines and everything in it")));
    }

    void restoreButtonNeedsAFolderAndAQuietList()
    {
        listing(homeListing());
        auto model = browser();
        model->start();
        QVERIFY(!model->canPressRestore()); // loading
        QTRY_VERIFY(model->canPressRestore());
        model->setTargetPath(QString());
        QVERIFY(!model->canPressRestore());
        model->select(QStringLiteral("/home/ann/notes.txt"));
        model->requestRestore();
        QVERIFY(model->runner()->phase() == Phase::idle);
    }

    void selectingClearsAFinishedResultButANewListingDoesNot()
    {
        listing(homeListing());
        m_world->script(QStringLiteral("restore.exit"), "3");
        auto model = browser();
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        listed(*model);
        model->select(QStringLiteral("/home/ann/notes.txt"));
        model->requestRestore();
        QTRY_VERIFY(model->runner()->phase() == Phase::failed);
        model->select(QStringLiteral("/home/ann/Documents"));
        QVERIFY(model->runner()->phase() == Phase::idle);
        QVERIFY(!model->runner()->failureMessage());

        m_world->unscript(QStringLiteral("restore.exit"));
        model->select(QStringLiteral("/home/ann/notes.txt"));
        model->requestRestore();
        QTRY_VERIFY(model->runner()->phase() == Phase::finished);
        model->openFolder(QStringLiteral("/home/ann"));
        QVERIFY(!model->selected());
        QVERIFY(model->runner()->phase() == Phase::finished);
        QCOMPARE(model->closeButtonTitle(), QStringLiteral("Done"));
    }

    void browsingDuringARestoreLeavesItRunning()
    {
        listing(homeListing());
        m_world->script(QStringLiteral("restore.stdout"), Node::restoreOutput(1, 1));
        auto model = browser();
        model->setTargetPath(m_world->path(QStringLiteral("target")));
        listed(*model);
        m_world->script(QStringLiteral("sleep"), "30");
        model->select(QStringLiteral("/home/ann/notes.txt"));
        model->requestRestore();
        QVERIFY(model->isRunning());
        model->select(QStringLiteral("/home/ann/Documents"));
        QVERIFY(model->isRunning());
        model->setSearch(QStringLiteral("a"));
        QVERIFY(!model->selected());
        QVERIFY(model->isRunning());
        QVERIFY(!model->canClose());
        model->cancelRestore();
        QTRY_VERIFY(model->runner()->phase() == Phase::idle);
        QVERIFY(!model->runner()->failureMessage());
        QVERIFY(model->canClose());
    }

    void restoresGoToDownloadsWhenThereIsOne()
    {
        QCOMPARE(SnapshotBrowserModel::defaultTargetPath(), m_world->home().path());
        QDir().mkpath(m_world->path(QStringLiteral("Downloads")));
        QCOMPARE(SnapshotBrowserModel::defaultTargetPath(), m_world->path(QStringLiteral("Downloads")));
        QCOMPARE(browser()->targetPath(), m_world->path(QStringLiteral("Downloads")));
    }
};

QTEST_GUILESS_MAIN(SnapshotBrowserModelTest)
#include "SnapshotBrowserModelTest.moc"
