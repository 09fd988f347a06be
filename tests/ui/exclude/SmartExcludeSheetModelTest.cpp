#include "exclude/SmartExcludeSheetModel.h"
#include "SmartExcludeFixture.h"
#include "TestSupport.h"
#include "config/Destination.h"
#include "kit/Format.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

using namespace vellmir;
using test::candidate;
using test::eligibleEvidence;
using Source = ExcludeCandidate::Source;
using Content = SmartExcludeSheetModel::Content;

namespace {

const QString recheckFailure = QStringLiteral(
    "A selected folder changed or could not be fully rechecked. No exclusions were added. Run AI review again.");

QStringList ids(const QList<ExcludeCandidate> &candidates)
{
    QStringList result;
    for (const ExcludeCandidate &item : candidates)
        result.append(item.id);
    return result;
}

} // namespace

// The sheet's logic: the initial scan, rule selection, the review section's texts and the
// all-or-nothing apply step.
class SmartExcludeSheetModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::SmartExcludeWorld> m_world;

    std::unique_ptr<SmartExcludeSheetModel> scanned(
        const QStringList &sources = { QStringLiteral("/a") }, const QStringList &existing = {})
    {
        auto model
            = std::make_unique<SmartExcludeSheetModel>(sources, existing, m_world->callback(), m_world->services());
        model->initialScan();
        if (!QTest::qWaitFor([&] { return !model->isScanning(); }))
            qFatal("the scan never delivered");
        return model;
    }

    // Runs a review over /a/build (suggested), /a/build/cache (suggested) and /a/notes (kept).
    void reviewed(SmartExcludeSheetModel &model)
    {
        ExcludeDiscovery discovery;
        discovery.candidates = { eligibleEvidence(QStringLiteral("/a/build"), 2000),
            eligibleEvidence(QStringLiteral("/a/build/cache"), 500),
            eligibleEvidence(QStringLiteral("/a/notes"), 300) };
        discovery.inspectedEntries = 1200;
        m_world->setDiscovery(discovery);
        model.startReview();
        QTRY_VERIFY(model.aiReview()->state() == ExcludeReviewState::complete());
    }

    static ExcludeAssessment assessmentOf(const SmartExcludeSheetModel &model, const QString &path)
    {
        for (const ExcludeAssessment &item : model.aiReview()->assessments()) {
            if (item.evidence.path == path)
                return item;
        }
        qFatal("no assessment");
    }

private Q_SLOTS:
    void init()
    {
        m_world = std::make_unique<test::SmartExcludeWorld>();
        m_world->provider = std::make_shared<test::ScriptedExcludeModel>(test::keeping({ QStringLiteral("/a/notes") }));
    }
    void cleanup()
    {
        m_world->shared->scanGate.open();
        m_world->shared->evidenceGate.open();
        m_world.reset();
    }

    void scanDropsExactExcludesSortsStablyAndPreselects()
    {
        // A folder no pattern can name is never offered, only told.
        ExcludeCandidate unnameable = candidate(QString(), 700, true);
        unnameable.id = QStringLiteral("odd");
        unnameable.reason = QStringLiteral("why");
        m_world->setFound({
            unnameable,
            candidate(QStringLiteral("/a/Dropbox"), 500, false, Source::cloud),
            candidate(QStringLiteral("/a/Library/Caches"), 100, true),
            candidate(QStringLiteral("node_modules"), 500, true, Source::rule, 3),
            candidate(QStringLiteral("build"), 2000, true),
            candidate(QStringLiteral(".cache"), 40, false),
            candidate(QStringLiteral("Pods"), 10, false),
        });
        auto model = scanned({ QStringLiteral("/a") },
            { QStringLiteral("/a/Library/Caches"), QStringLiteral(".cache/"), QStringLiteral("pods") });

        // A suggestion that names no one folder (a bare name) is hidden by its exact string only;
        // another case never hides one, as restic matches case.
        QCOMPARE(ids(model->candidates()),
            QStringList({ QStringLiteral("build"), QStringLiteral("/a/Dropbox"), QStringLiteral("node_modules"),
                QStringLiteral(".cache"), QStringLiteral("Pods") }));
        QCOMPARE(model->selected(), QSet<QString>({ QStringLiteral("build"), QStringLiteral("node_modules") }));
        QCOMPARE(model->rulesText(), QStringLiteral("Rules: ") + Format::bytes(2500));
        QCOMPARE(model->rulesHeader(), QStringLiteral("5 suggestions"));
        QCOMPARE(model->unofferedNotes(), QStringList { QStringLiteral("why") });
        QVERIFY(model->content() == Content::list);
        QVERIFY(model->showsRuleControls());
        QVERIFY(model->canAdd());
    }

    void scanOffersOnlyWhatABackupStores_data()
    {
        // Folders below the home folder, "~" for the home folder itself.
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QStringList>("excludes");
        QTest::addColumn<QStringList>("offered");
        QTest::addColumn<QStringList>("notOffered");
        const QString modules = QStringLiteral("~/proj/app/node_modules");
        test::dataRow("nothing excluded", QStringList { "~" }, QStringList(),
            QStringList { modules, "~/proj/.cache", "~/.cache" }, QStringList());
        // As restic matches: a bare name anywhere, a folder's own path, a trailing "/".
        test::dataRow("left out already", QStringList { "~" }, QStringList { "node_modules", "~/.cache/" },
            QStringList { "~/proj/.cache" }, QStringList { modules, "~/.cache" });
        test::dataRow("below a folder left out", QStringList { "~" }, QStringList { "~/proj" },
            QStringList { "~/.cache" }, QStringList { modules, "~/proj/.cache" });
        // Leaving one out would drop a folder the user chose to back up.
        test::dataRow("a source", QStringList { "~/proj", modules }, QStringList(), QStringList { "~/proj/.cache" },
            QStringList { modules });
        test::dataRow("holds a source", QStringList { "~", "~/proj/.cache/kept" }, QStringList(),
            QStringList { modules, "~/.cache" }, QStringList { "~/proj/.cache" });
    }

    void scanOffersOnlyWhatABackupStores()
    {
        QFETCH(QStringList, sources);
        QFETCH(QStringList, excludes);
        QFETCH(QStringList, offered);
        QFETCH(QStringList, notOffered);
        test::TestHome home;
        QTemporaryDir elsewhere;
        const QString h = home.path();
        for (const char *file : { "proj/app/node_modules/m/i.js", "proj/.cache/kept/c.bin", ".cache/x.bin" })
            test::writeFile(h + u'/' + QString::fromUtf8(file), QByteArray(5000, 'x'));
        test::writeFile(elsewhere.path() + QStringLiteral("/sync/big.bin"), QByteArray(300000, 'x'));
        QVERIFY(QFile::link(elsewhere.path() + QStringLiteral("/sync"), h + QStringLiteral("/Dropbox")));
        for (QString &source : sources)
            source = Destination::expandTilde(source);

        auto model = std::make_unique<SmartExcludeSheetModel>(sources, excludes, m_world->callback());
        model->initialScan();
        QTRY_VERIFY(!model->isScanning());
        QMap<QString, ExcludeCandidate> shown;
        for (const ExcludeCandidate &item : model->candidates())
            shown.insert(Destination::tildeForm(item.pattern), item);
        for (const QString &folder : offered)
            QVERIFY2(shown.contains(folder), qPrintable(folder));
        for (const QString &folder : notOffered)
            QVERIFY2(!shown.contains(folder), qPrintable(folder));
        // A linked cloud folder is stored as the link: leaving it out saves nothing.
        if (sources.contains(h)) {
            QVERIFY(shown.contains(QStringLiteral("~/Dropbox")));
            QCOMPARE(shown.value(QStringLiteral("~/Dropbox")).totalBytes, qint64(0));
        }
    }

    void emptyScanShowsNothingToExclude()
    {
        auto model = scanned();
        QVERIFY(model->content() == Content::empty);
        QVERIFY(!model->showsRuleControls());
        QVERIFY(!model->canAdd());
    }

    void scanningText_data()
    {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << QStringList() << QStringLiteral("Scanning 0 folders…");
        QTest::newRow("one") << QStringList({ QStringLiteral("/a") }) << QStringLiteral("Scanning 1 folder…");
        QTest::newRow("two") << QStringList({ QStringLiteral("/a"), QStringLiteral("/b") })
                             << QStringLiteral("Scanning 2 folders…");
    }
    void scanningText()
    {
        QFETCH(QStringList, sources);
        QFETCH(QString, text);
        m_world->shared->scanGate.close();
        SmartExcludeSheetModel model(sources, {}, m_world->callback(), m_world->services());
        model.initialScan();
        QVERIFY(model.content() == Content::scanning);
        QVERIFY(!model.showsRuleControls());
        QCOMPARE(model.scanningText(), text);
        m_world->shared->scanGate.open();
        QTRY_VERIFY(!model.isScanning());
    }

    void toggleAllRulesAndZeroSize()
    {
        m_world->setFound({ candidate(QStringLiteral("a"), 10, false), candidate(QStringLiteral("b"), 20, false) });
        auto model = scanned();
        QCOMPARE(model->rulesText(), QStringLiteral("Rules: Zero KB"));
        QCOMPARE(model->toggleAllTitle(), QStringLiteral("Select All Rules"));
        model->setSelected(QStringLiteral("a"), true);
        QCOMPARE(model->toggleAllTitle(), QStringLiteral("Select All Rules"));
        model->toggleAllRules();
        QVERIFY(model->allSelected());
        QCOMPARE(model->toggleAllTitle(), QStringLiteral("Deselect Rules"));
        model->toggleAllRules();
        QVERIFY(model->selected().isEmpty());
        // Only ids of listed candidates can be selected.
        model->setSelected(QStringLiteral("elsewhere"), true);
        QVERIFY(model->selected().isEmpty());
    }

    void detail_data()
    {
        QTest::addColumn<ExcludeCandidate>("item");
        QTest::addColumn<QString>("text");
        QTest::newRow("rule") << candidate(QStringLiteral("x"), 2'500'000, true, Source::rule, 3)
                              << QStringLiteral("3 found · 2.5 MB");
        QTest::newRow("cloud") << candidate(QStringLiteral("x"), 2'000, false, Source::cloud)
                               << QStringLiteral("cloud-synced · 2 KB");
        QTest::newRow("ai") << candidate(QStringLiteral("x"), 2'000, false, Source::ai)
                            << QStringLiteral("Suggested by the on-device review");
    }
    void detail()
    {
        QFETCH(ExcludeCandidate, item);
        QFETCH(QString, text);
        QCOMPARE(SmartExcludeSheetModel::detail(item), text);
    }

    void aiStatus_data()
    {
        QTest::addColumn<ExcludeReviewState>("state");
        QTest::addColumn<int>("suggested");
        QTest::addColumn<qint64>("inspected");
        QTest::addColumn<QString>("text");
        QTest::newRow("idle") << ExcludeReviewState::idle() << 0 << qint64(0)
                              << QStringLiteral("Optional: discover nested candidates and review their regeneration "
                                                "evidence. Nothing is automatically selected.");
        QTest::newRow("scanning") << ExcludeReviewState::scanning() << 0 << qint64(0)
                                  << QStringLiteral("Inspecting nested folders and local metadata…");
        QTest::newRow("reviewing") << ExcludeReviewState::reviewing(4, 12) << 0 << qint64(0)
                                   << QStringLiteral("Reviewing metadata: 4 of 12 folders…");
        QTest::newRow("complete, none") << ExcludeReviewState::complete() << 0 << qint64(0)
                                        << QStringLiteral("Review complete: no additional exclusions recommended. "
                                                          "Inspected 0 entries; uncertain folders are not recommended "
                                                          "for exclusion.");
        QTest::newRow("complete, three")
            << ExcludeReviewState::complete() << 3 << qint64(1200)
            << QStringLiteral("Review complete: 3 suggestions need your approval. Inspected 1200 entries.");
        QTest::newRow("cancelled") << ExcludeReviewState::cancelled() << 0 << qint64(0)
                                   << QStringLiteral("Review cancelled. No new exclusions were added. You can retry.");
        QTest::newRow("failed") << ExcludeReviewState::failed(QStringLiteral("No model.")) << 0 << qint64(0)
                                << QStringLiteral("Review failed: No model.");
    }
    void aiStatus()
    {
        QFETCH(ExcludeReviewState, state);
        QFETCH(int, suggested);
        QFETCH(qint64, inspected);
        QFETCH(QString, text);
        ExcludeDiscovery discovery;
        discovery.inspectedEntries = inspected;
        QList<ExcludeAssessment> assessments { { eligibleEvidence(QStringLiteral("/k")), false, QString() } };
        for (int i = 0; i < suggested; ++i)
            assessments.append({ eligibleEvidence(QStringLiteral("/s%1").arg(i)), true, QString() });
        QCOMPARE(SmartExcludeSheetModel::aiStatus(state, discovery, assessments), text);
    }

    void evidenceLinesWithoutMarkersOrRecovery()
    {
        ExcludeEvidence evidence = eligibleEvidence(QStringLiteral("/a/x"), 0);
        evidence.markers.clear();
        evidence.recovery.reset();
        evidence.complete = false;
        evidence.fileTypes = { QStringLiteral("bin"), QStringLiteral("o") };
        evidence.fileCount = 12;
        QCOMPARE(SmartExcludeSheetModel::evidenceLines(evidence),
            QStringList(
                { QStringLiteral("File types: bin, o"), QStringLiteral("Incomplete scan; size is a lower bound."),
                    QStringLiteral("Evidence: No verified regeneration markers"),
                    QStringLiteral("Recovery: Not established. Keep this folder backed up.") }));
        QCOMPARE(SmartExcludeSheetModel::evidenceTitle(evidence),
            QStringLiteral("Evidence and recovery · 12 files · Zero KB"));
    }

    void unavailableModelBlocksOnlyTheStart()
    {
        m_world->setAvailability(ExcludeAIAvailability::unavailable(QStringLiteral("No model here.")));
        auto model = scanned();
        QCOMPARE(model->reviewButtonTitle(), QStringLiteral("Review Folders"));
        QVERIFY(!model->canStartReview());
        QCOMPARE(model->aiNote(), QStringLiteral("No model here."));
        model->startReview();
        QVERIFY(model->aiReview()->state() == ExcludeReviewState::idle());

        m_world->setAvailability(ExcludeAIAvailability::available());
        model->refreshAvailability();
        QVERIFY(model->canStartReview());
        QCOMPARE(model->aiNote(), SmartExcludeSheetModel::privacyNote);
    }

    void reviewApprovesOnlySuggestionsOneByOne()
    {
        auto model = scanned();
        reviewed(*model);
        QCOMPARE(model->reviewButtonTitle(), QStringLiteral("Review Again"));
        QVERIFY(model->aiReview()->selected().isEmpty());
        QVERIFY(model->content() == Content::list);
        QVERIFY(!model->canAdd());

        const ExcludeAssessment notes = assessmentOf(*model, QStringLiteral("/a/notes"));
        QVERIFY(!notes.suggested);
        QCOMPARE(SmartExcludeSheetModel::verdict(notes),
            QStringLiteral("Recommendation: keep backed up · AI exclusion blocked"));
        model->setAISelected(notes, true);
        QVERIFY(model->aiReview()->selected().isEmpty());

        const ExcludeAssessment build = assessmentOf(*model, QStringLiteral("/a/build"));
        QCOMPARE(
            SmartExcludeSheetModel::verdict(build), QStringLiteral("AI suggestion · individual approval required"));
        model->setAISelected(build, true);
        model->setAISelected(assessmentOf(*model, QStringLiteral("/a/build/cache")), true);
        QCOMPARE(model->aiHeader(), QStringLiteral("AI review: 2 suggestions · 2 KB selected"));
        QVERIFY(model->canAdd());
    }

    void addIsDisabledWhileTheReviewRuns()
    {
        m_world->setFound({ candidate(QStringLiteral("build"), 10, true) });
        auto model = scanned();
        QVERIFY(model->canAdd());
        m_world->shared->evidenceGate.close();
        model->startReview();
        QVERIFY(model->aiReview()->state().isRunning());
        QVERIFY(!model->canAdd());
        model->stopReview();
        QVERIFY(model->canAdd());
    }

    void applyJoinsDeduplicatesAndSorts()
    {
        m_world->setFound({ candidate(QStringLiteral("node_modules"), 10, true),
            candidate(QStringLiteral("/a/build"), 30, true), candidate(QStringLiteral("Zeta"), 5, false) });
        auto model = scanned();
        reviewed(*model);
        model->setAISelected(assessmentOf(*model, QStringLiteral("/a/build")), true);
        model->setAISelected(assessmentOf(*model, QStringLiteral("/a/build/cache")), true);
        QSignalSpy dismissed(model.get(), &SmartExcludeSheetModel::dismissRequested);

        model->applySelected();
        QVERIFY(model->isApplying());
        QCOMPARE(model->addButtonTitle(), QStringLiteral("Rechecking…"));
        QVERIFY(!model->canAdd());
        QTRY_COMPARE(dismissed.size(), 1);
        // The approved folder inside another counts once; the rule pattern that equals it too.
        QCOMPARE(
            m_world->applied, QList<QStringList>({ { QStringLiteral("/a/build"), QStringLiteral("node_modules") } }));
        QVERIFY(!model->isApplying());
        QVERIFY(!model->applyError());
    }

    void changedFolderAddsNothing()
    {
        m_world->setFound({ candidate(QStringLiteral("node_modules"), 10, true) });
        auto model = scanned();
        reviewed(*model);
        model->setAISelected(assessmentOf(*model, QStringLiteral("/a/build")), true);
        ExcludeDiscovery changed;
        changed.candidates = { eligibleEvidence(QStringLiteral("/a/build"), 2100) };
        m_world->setDiscovery(changed);
        QSignalSpy dismissed(model.get(), &SmartExcludeSheetModel::dismissRequested);

        model->applySelected();
        QTRY_VERIFY(!model->isApplying());
        QCOMPARE(model->applyError().value_or(QString()), recheckFailure);
        QVERIFY(m_world->applied.isEmpty());
        QCOMPARE(dismissed.size(), 0);
        QCOMPARE(model->selected(), QSet<QString>({ QStringLiteral("node_modules") }));
        QCOMPARE(model->aiReview()->chosen().size(), 1);
        model->clearApplyError();
        QVERIFY(!model->applyError());
    }

    void cancelDuringRecheckHandsOverNothing()
    {
        auto model = scanned();
        reviewed(*model);
        model->setAISelected(assessmentOf(*model, QStringLiteral("/a/build")), true);
        m_world->shared->evidenceGate.close();
        model->applySelected();
        m_world->shared->evidenceGate.waitForArrivals(2);
        model->cancel();
        QVERIFY(!model->isApplying());
        m_world->shared->evidenceGate.open();
        QTest::qWait(50);
        QVERIFY(m_world->applied.isEmpty());
        QVERIFY(!model->applyError());
    }

    void scanOutlivingTheModelIsDropped()
    {
        m_world->setFound({ candidate(QStringLiteral("build"), 10, true) });
        m_world->shared->scanGate.close();
        auto model = std::make_unique<SmartExcludeSheetModel>(
            QStringList { QStringLiteral("/a") }, QStringList {}, m_world->callback(), m_world->services());
        model->initialScan();
        m_world->shared->scanGate.waitForArrivals(1);
        // The model waits for its scan as it goes; the scan ends meanwhile.
        std::jthread opening([shared = m_world->shared] { shared->scanGate.open(); });
        model.reset();
        QTest::qWait(50);
    }

    void revealUsesTheInjectedViewer()
    {
        auto model = scanned();
        model->reveal(QStringLiteral("/a/build"));
        QCOMPARE(m_world->revealed(), QStringList({ QStringLiteral("/a/build") }));
    }
};

QTEST_GUILESS_MAIN(SmartExcludeSheetModelTest)
#include "SmartExcludeSheetModelTest.moc"
