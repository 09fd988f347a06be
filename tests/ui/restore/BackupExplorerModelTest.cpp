#include "restore/BackupExplorerModel.h"
#include "ExplorerFixture.h"
#include "kit/Format.h"
#include "restore/ProposedBackupSheetModel.h"
#include "util/LocalPath.h"

#include <QSignalSpy>
#include <QThreadPool>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using namespace vellmir;
using namespace vellmir::test;

// One folder's listing over a real folder in a private home: what the rows say and what their
// buttons do to the sheet's exclude list.
class BackupExplorerModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ExplorerFixture> m_world;

    // A model of the project folder, listed once with `excludes`.
    struct Listed {
        std::unique_ptr<ProposedBackupSheetModel> sheet;
        std::unique_ptr<BackupExplorerModel> model;
    };
    Listed listed(const QStringList &excludes, const BackupLister &lister = {}) const
    {
        Listed made;
        made.sheet = std::make_unique<ProposedBackupSheetModel>(QStringList { m_world->root }, excludes);
        made.model = std::make_unique<BackupExplorerModel>(m_world->root, made.sheet.get());
        if (lister)
            made.model->setLister(lister);
        made.model->appear();
        if (!lister)
            waitForListing(*made.model);
        return made;
    }
    static void waitForListing(const BackupExplorerModel &model)
    {
        QTRY_VERIFY(!model.loading());
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }

private Q_SLOTS:
    void init() { m_world = std::make_unique<ExplorerFixture>(); }
    void cleanup()
    {
        QThreadPool::globalInstance()->waitForDone();
        m_world.reset();
    }

    void appearingListsTheFolder()
    {
        ProposedBackupSheetModel sheet({ m_world->root }, { ".DS_Store", "~/proj/src/build" });
        BackupExplorerModel model(m_world->root, &sheet);
        QVERIFY(model.loading());
        QCOMPARE(model.title(), QStringLiteral("proj"));
        QSignalSpy loading(&model, &BackupExplorerModel::loadingChanged);
        model.appear();
        QTRY_VERIFY(!model.loading());
        QCOMPARE(loading.count(), 1);
        // Included first, largest first; the sub-folder is sized without its excluded build folder.
        QCOMPARE(namesOf(model.entries()), (QStringList { "big.bin", "src", "notes.txt", ".DS_Store" }));
        const BackupEntry src = entryNamed(model.entries(), "src");
        QVERIFY(src.size >= 40'000 && src.size < 120'000);
    }

    void excludingMarksTheRowWithoutANewListing()
    {
        HeldLister counting;
        Listed world = listed({ ".DS_Store" }, counting.lister());
        waitForListing(*world.model);
        QSignalSpy excludes(world.sheet.get(), &ProposedBackupSheetModel::excludesChanged);

        world.model->toggleExclusion(entryNamed(world.model->entries(), "big.bin"));

        QCOMPARE(world.sheet->excludes(), (QStringList { ".DS_Store", "~/proj/big.bin" }));
        QCOMPARE(excludes.count(), 1);
        // Below every included row, at the head of those excluded before.
        QCOMPARE(namesOf(world.model->entries()), (QStringList { "src", "notes.txt", "big.bin", ".DS_Store" }));
        const BackupEntry big = entryNamed(world.model->entries(), "big.bin");
        QVERIFY(big.isExcluded);
        QCOMPARE(big.size, qint64(0));
        QCOMPARE(big.path, m_world->path("big.bin"));
        QThreadPool::globalInstance()->waitForDone();
        QCOMPARE(counting.state->calls.load(), 1);
    }

    void excludingNeverAddsADuplicate()
    {
        Listed world = listed({});
        const BackupEntry stale = entryNamed(world.model->entries(), "notes.txt");
        world.model->toggleExclusion(stale);
        // The row still held the included copy: the pattern is there already.
        world.model->toggleExclusion(stale);
        QCOMPARE(world.sheet->excludes(), QStringList { "~/proj/notes.txt" });
        QVERIFY(entryNamed(world.model->entries(), "notes.txt").isExcluded);
    }

    void excludingEscapesWildcardsInTheName()
    {
        writeFile(m_world->path("photo[1].jpg"), "x");
        Listed world = listed({});
        world.model->toggleExclusion(entryNamed(world.model->entries(), "photo[1].jpg"));
        QCOMPARE(world.sheet->excludes(), QStringList { "~/proj/photo\\[1\\].jpg" });
        QVERIFY(world.model->isToggleable(entryNamed(world.model->entries(), "photo[1].jpg")));
    }

    void reincludingRemovesEveryCopyAndListsAgain()
    {
        Listed world = listed({ "~/proj/big.bin", "*.tmp", "~/proj/big.bin", "/elsewhere/big.bin" });
        const BackupEntry big = entryNamed(world.model->entries(), "big.bin");
        QVERIFY(big.isExcluded);
        QVERIFY(world.model->isToggleable(big));

        world.model->toggleExclusion(big);

        QCOMPARE(world.sheet->excludes(), (QStringList { "*.tmp", "/elsewhere/big.bin" }));
        QVERIFY(!world.model->loading()); // the rows stay while the new listing runs
        QTRY_VERIFY(!entryNamed(world.model->entries(), "big.bin").isExcluded);
        QVERIFY(entryNamed(world.model->entries(), "big.bin").size >= 300'000);
        QCOMPARE(world.model->entries().constFirst().name, QStringLiteral("big.bin"));
    }

    void reincludedButStillDroppedByAnotherRule()
    {
        Listed world = listed({ "~/proj/notes.txt", "*.txt" });
        world.model->toggleExclusion(entryNamed(world.model->entries(), "notes.txt"));
        QCOMPARE(world.sheet->excludes(), QStringList { "*.txt" });
        waitForListing(*world.model);
        const BackupEntry notes = entryNamed(world.model->entries(), "notes.txt");
        QVERIFY(notes.isExcluded);
        QVERIFY(!world.model->isToggleable(notes));
        QCOMPARE(world.model->toggleHelp(notes),
            QStringLiteral("Excluded by another rule. Edit Exclude Rules to change it."));
    }

    void whatTheToggleSays_data()
    {
        QTest::addColumn<QStringList>("excludes");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("toggleable");
        QTest::addColumn<QString>("help");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QString>("accessible");
        const QString other = QStringLiteral("Excluded by another rule. Edit Exclude Rules to change it.");
        dataRow("included", QStringList(), "notes.txt", true, "Exclude from backup", "minus.circle.fill",
            "Exclude notes.txt from backup");
        dataRow("own rule", QStringList { "~/proj/notes.txt" }, "notes.txt", true, "Re-include in backup",
            "plus.circle.fill", "Include notes.txt in backup");
        dataRow("name pattern", QStringList { ".DS_Store" }, ".DS_Store", false, other, "plus.circle.fill",
            "Include .DS_Store in backup");
        dataRow("wildcard", QStringList { "*.txt" }, "notes.txt", false, other, "plus.circle.fill",
            "Include notes.txt in backup");
        dataRow("absolute path", QStringList { "<root>/notes.txt" }, "notes.txt", false, other, "plus.circle.fill",
            "Include notes.txt in backup");
        const QString odd = LocalPath::decode("caf\xe9");
        dataRow("name not UTF-8", QStringList(), odd, false,
            "Its path is not valid UTF-8, so no exclude pattern can name it. Rename it to exclude it.",
            "minus.circle.fill", QStringLiteral("Exclude caf\\xE9 from backup")); // its byte written out
    }
    void whatTheToggleSays()
    {
        QFETCH(QStringList, excludes);
        QFETCH(QString, name);
        QFETCH(bool, toggleable);
        QFETCH(QString, help);
        QFETCH(QString, symbol);
        QFETCH(QString, accessible);
        excludes.replaceInStrings(QStringLiteral("<root>"), m_world->root);
        // A name that is not UTF-8 is made for its row alone.
        const QByteArray odd = LocalPath::encode(m_world->path(name));
        const bool made = !LocalPath::isText(name) && ::close(::creat(odd.constData(), 0644)) == 0;
        const auto removed = qScopeGuard([&] {
            if (made)
                ::unlink(odd.constData());
        });
        Listed world = listed(excludes);
        const BackupEntry entry = entryNamed(world.model->entries(), name);
        QCOMPARE(world.model->isToggleable(entry), toggleable);
        QCOMPARE(world.model->toggleHelp(entry), help);
        QCOMPARE(BackupExplorerModel::toggleSymbol(entry), symbol);
        QCOMPARE(BackupExplorerModel::toggleAccessibleName(entry), accessible);
    }

    void sizesAndOpacity()
    {
        Listed world = listed({ ".DS_Store" });
        const BackupEntry big = entryNamed(world.model->entries(), "big.bin");
        const BackupEntry hidden = entryNamed(world.model->entries(), ".DS_Store");
        QCOMPARE(BackupExplorerModel::sizeText(hidden), QStringLiteral("\u2014"));
        QCOMPARE(BackupExplorerModel::sizeText(big), Format::bytes(big.size));
        QCOMPARE(world.model->toggleOpacity(big), 0.35);
        QCOMPARE(world.model->toggleOpacity(hidden), 1.0);
        QSignalSpy hovered(world.model.get(), &BackupExplorerModel::hoveredIDChanged);
        world.model->setHoveredID(big.id);
        QCOMPARE(world.model->toggleOpacity(big), 1.0);
        world.model->setHoveredID(big.id);
        world.model->setHoveredID(std::nullopt);
        QCOMPARE(world.model->toggleOpacity(big), 0.35);
        QCOMPARE(hovered.count(), 2);
    }

    void onlyIncludedFoldersOpen()
    {
        Listed world = listed({ ".DS_Store" });
        world.model->open(entryNamed(world.model->entries(), "notes.txt"));
        QVERIFY(world.sheet->path().isEmpty());
        world.model->open(entryNamed(world.model->entries(), "src"));
        QCOMPARE(world.sheet->path(), QStringList { m_world->path("src") });
        world.model->toggleExclusion(entryNamed(world.model->entries(), "src"));
        const BackupEntry src = entryNamed(world.model->entries(), "src");
        QVERIFY(!BackupExplorerModel::canOpen(src));
        world.model->open(src);
        QCOMPARE(world.sheet->path().size(), 1);
    }

    void anOlderListingLandingLateIsDropped()
    {
        HeldLister held;
        held.held = { 1 };
        Listed world = listed({}, held.lister());
        QTRY_COMPARE(held.state->calls.load(), 1);
        world.model->refresh(); // the second call goes straight through
        QTRY_VERIFY(!world.model->loading());
        QCOMPARE(namesOf(world.model->entries()).size(), 4);
        // A file appears; only the late first listing could see it.
        writeFile(m_world->path("late.txt"), "x");
        QSignalSpy entries(world.model.get(), &BackupExplorerModel::entriesChanged);
        held.release();
        QTRY_COMPARE(held.state->finished.load(), 2);
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QCOMPARE(entries.count(), 0);
        QVERIFY(!namesOf(world.model->entries()).contains("late.txt"));
    }

    void aListingOvertakenByAnExclusionIsMadeAgain()
    {
        HeldLister held;
        held.held = { 2 };
        Listed world = listed({}, held.lister());
        waitForListing(*world.model);
        world.model->toggleExclusion(entryNamed(world.model->entries(), "big.bin"));
        world.model->refresh(); // listed with "big.bin" excluded... held
        world.model->toggleExclusion(entryNamed(world.model->entries(), "notes.txt"));
        held.release();
        QTRY_COMPARE(held.state->calls.load(), 3);
        waitForListing(*world.model);
        // The rows agree with the list: both stay excluded.
        QVERIFY(entryNamed(world.model->entries(), "big.bin").isExcluded);
        QVERIFY(entryNamed(world.model->entries(), "notes.txt").isExcluded);
    }

    void aListingEndingAfterItsExplorerWentIsDropped()
    {
        HeldLister held;
        held.held = { 1 };
        auto world = std::make_unique<Listed>(listed({}, held.lister()));
        QTRY_COMPARE(held.state->calls.load(), 1);
        // The explorer goes at once; its listing ends after it, and nothing receives it.
        world->model.reset();
        held.release();
        QTRY_COMPARE(held.state->finished.load(), 1);
        QCoreApplication::processEvents();
    }
};

QTEST_GUILESS_MAIN(BackupExplorerModelTest)
#include "BackupExplorerModelTest.moc"
