#include "exclude/ExcludeReviewModel.h"
#include "ScriptedExcludeModel.h"
#include "TestSupport.h"
#include "exclude/ExcludeAIError.h"
#include "exclude/OnDeviceExcludeModel.h"
#include "exclude/SmartExcludeAI.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>

using namespace vellmir;
using test::eligibleEvidence;
using test::ScriptedExcludeModel;
using Kind = ExcludeReviewState::Kind;

namespace {

const QByteArray cacheTag = "Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n";

void makeTaggedFolder(const QString &path, int files)
{
    QVERIFY(QDir().mkpath(path));
    test::writeFile(path + QStringLiteral("/CACHEDIR.TAG"), cacheTag);
    for (int i = 0; i < files; ++i)
        test::writeFile(path + QStringLiteral("/blob%1.bin").arg(i), QByteArray(1000, 'x'));
}

struct StateLog {
    QList<ExcludeReviewState> states;
    StateLog(ExcludeReviewModel &model)
    {
        QObject::connect(
            &model, &ExcludeReviewModel::stateChanged, &model, [this, &model] { states.append(model.state()); });
    }
};

} // namespace

// The review run, its run id, the user's approvals and the recheck before adding.
class ExcludeReviewModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &relative) const { return m_dir->path() + u'/' + relative; }

    ExcludeEvidence candidate(const ExcludeReviewModel &model, const QString &relative) const
    {
        for (const auto &evidence : model.discovery().candidates) {
            if (evidence.path == path(relative))
                return evidence;
        }
        return {};
    }

private Q_SLOTS:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void startsIdleAndEmpty()
    {
        ExcludeReviewModel model;
        QVERIFY(model.state() == ExcludeReviewState::idle());
        QVERIFY(model.availability() == SmartExcludeAI::availability());
        QVERIFY(model.discovery() == ExcludeDiscovery {});
        QVERIFY(model.assessments().isEmpty());
        QVERIFY(model.selected().isEmpty());
        model.cancel();
        QVERIFY(model.state() == ExcludeReviewState::idle());
    }

    void reviewRunsOverTheSourcesAndSkipsExistingExcludes()
    {
        makeTaggedFolder(path("src/app/cache"), 2);
        makeTaggedFolder(path("src/tool/cache"), 1);
        ExcludeReviewModel model;
        StateLog log(model);
        auto scripted = std::make_shared<ScriptedExcludeModel>();
        ExcludeEvidence tool;
        tool.path = path("src/tool/cache");
        const QString excluded = tool.pattern();
        model.start({ path("src") }, { excluded, path("src/app/cache") + u'/' }, scripted);
        QTRY_VERIFY(model.state() == ExcludeReviewState::complete());

        QCOMPARE(model.discovery().candidates.size(), 2);
        QCOMPARE(scripted->batches().size(), 1);
        QCOMPARE(scripted->batches().first().size(), 1);
        QCOMPARE(scripted->batches().first().first().path, path("src/app/cache"));
        QCOMPARE(model.assessments().size(), 1);
        QVERIFY(model.assessments().first().suggested);
        QCOMPARE(log.states,
            (QList<ExcludeReviewState> { ExcludeReviewState::scanning(), ExcludeReviewState::reviewing(0, 1),
                ExcludeReviewState::reviewing(1, 1), ExcludeReviewState::complete() }));
        // Nothing is approved by the review itself.
        QVERIFY(model.selected().isEmpty());
        QVERIFY(model.chosen().isEmpty());
        QCOMPARE(model.selectedBytes(), 0);
    }

    void noCandidateEndsCompleteWithoutProgress()
    {
        QVERIFY(QDir().mkpath(path("src/plain")));
        ExcludeReviewModel model;
        StateLog log(model);
        model.start({ path("src") }, {}, std::make_shared<ScriptedExcludeModel>());
        QTRY_VERIFY(model.state() == ExcludeReviewState::complete());
        QCOMPARE(
            log.states, (QList<ExcludeReviewState> { ExcludeReviewState::scanning(), ExcludeReviewState::complete() }));
    }

    void unavailableModelFailsTheRunWithItsSentence()
    {
        makeTaggedFolder(path("src/cache"), 1);
        ExcludeReviewModel model;
        model.start({ path("src") }, {}, std::make_shared<OnDeviceExcludeModel>());
        QTRY_VERIFY(model.state().kind() == Kind::failed);
        QCOMPARE(model.state().message(), SmartExcludeAI::availability().message());
        QCOMPARE(model.discovery().candidates.size(), 1);
    }

    void secondStartWhileScanningDropsTheFirstRun()
    {
        std::atomic<int> calls = 0;
        std::atomic<bool> firstReturned = false;
        const ExcludeEvidence stale = eligibleEvidence(QStringLiteral("/stale/cache"));
        ExcludeReviewModel model([&](const QStringList &, const ExcludeScanLimits &, std::stop_token stop) {
            if (calls++ == 0) {
                // A scan that notices its cancellation late and still returns what it found.
                while (!stop.stop_requested())
                    std::this_thread::yield();
                firstReturned = true;
                return ExcludeDiscovery { { stale }, 1, {} };
            }
            return ExcludeDiscovery {};
        });
        StateLog log(model);
        auto scripted = std::make_shared<ScriptedExcludeModel>();
        model.start({ "/a" }, {}, scripted);
        QTRY_COMPARE(calls.load(), 1);
        model.start({ "/b" }, {}, scripted);
        QTRY_VERIFY(model.state() == ExcludeReviewState::complete());
        QTRY_VERIFY(firstReturned.load());
        QTest::qWait(50); // room for anything the first run might still post

        QCOMPARE(log.states,
            (QList<ExcludeReviewState> { ExcludeReviewState::scanning(), ExcludeReviewState::cancelled(),
                ExcludeReviewState::scanning(), ExcludeReviewState::complete() }));
        QVERIFY(model.discovery().candidates.isEmpty());
        QVERIFY(model.assessments().isEmpty());
        QVERIFY(scripted->batches().isEmpty());
    }

    void cancelDuringTheModelRequestDropsItsAnswer()
    {
        makeTaggedFolder(path("src/cache"), 1);
        ExcludeReviewModel model;
        auto scripted = std::make_shared<ScriptedExcludeModel>();
        scripted->hold();
        model.start({ path("src") }, {}, scripted);
        QTRY_VERIFY(model.state() == ExcludeReviewState::reviewing(0, 1));
        model.cancel();
        QVERIFY(model.state() == ExcludeReviewState::cancelled());
        scripted->release();
        QTest::qWait(50);
        QVERIFY(model.state() == ExcludeReviewState::cancelled());
        QVERIFY(model.assessments().isEmpty());
        QCOMPARE(model.discovery().candidates.size(), 1);
    }

    void cancelAfterCompletionKeepsResultsAndSelection()
    {
        makeTaggedFolder(path("src/cache"), 1);
        ExcludeReviewModel model;
        model.start({ path("src") }, {}, std::make_shared<ScriptedExcludeModel>());
        QTRY_VERIFY(model.state() == ExcludeReviewState::complete());
        const QString id = model.assessments().first().id();
        model.setSelected(id, true);
        model.cancel();
        QVERIFY(model.state() == ExcludeReviewState::complete());
        QCOMPARE(model.assessments().size(), 1);
        QCOMPARE(model.selected(), QSet<QString> { id });

        // A new review clears every earlier approval.
        model.start({ path("src") }, {}, std::make_shared<ScriptedExcludeModel>());
        QVERIFY(model.selected().isEmpty());
        QVERIFY(model.assessments().isEmpty());
        QTRY_VERIFY(model.state() == ExcludeReviewState::complete());
    }

    void approvalsCountOuterFoldersOnce()
    {
        makeTaggedFolder(path("src/a/build"), 2);
        makeTaggedFolder(path("src/a/build/cache"), 1);
        ExcludeReviewModel model;
        model.start({ path("src") }, {}, std::make_shared<ScriptedExcludeModel>());
        QTRY_VERIFY(model.state() == ExcludeReviewState::complete());
        QCOMPARE(model.assessments().size(), 2);
        const ExcludeEvidence build = candidate(model, "src/a/build");
        const ExcludeEvidence cache = candidate(model, "src/a/build/cache");
        QVERIFY(build.bytes > cache.bytes);

        model.setSelected(cache.id(), true);
        QCOMPARE(model.selectedBytes(), cache.bytes);
        model.setSelected(build.id(), true);
        QCOMPARE(model.chosen(), (QList<ExcludeEvidence> { build, cache }));
        QCOMPARE(model.selectedBytes(), build.bytes);
        // An id that is no suggestion counts for nothing.
        model.setSelected(QStringLiteral("0123"), true);
        QCOMPARE(model.chosen().size(), 2);
        QCOMPARE(model.selectedBytes(), build.bytes);

        // The recheck walks the outer folder's parent and returns only its pattern.
        QCOMPARE(ExcludeReviewModel::revalidatedPatterns(model.chosen()), QStringList { build.pattern() });

        // One more file below an approved folder refuses the whole addition.
        test::writeFile(path("src/a/build/cache/new.bin"), "x");
        try {
            ExcludeReviewModel::revalidatedPatterns(model.chosen());
            QFAIL("the changed folder passed");
        } catch (const ExcludeAIError &error) {
            QVERIFY(error.kind() == ExcludeAIError::Kind::generation);
            QCOMPARE(error.message(),
                QStringLiteral("A selected folder changed or could not be fully rechecked. No exclusions were "
                               "added. Run AI review again."));
        }
    }

    void outermostKeepsFoldersInsideNoOther()
    {
        const auto a = eligibleEvidence("/x/a");
        const auto inner = eligibleEvidence("/x/a/b");
        const auto sibling = eligibleEvidence("/x/ab");
        QCOMPARE(ExcludeReviewModel::outermost({ inner, a, sibling, a }), (QList<ExcludeEvidence> { a, sibling, a }));
    }

    void recheckOfNothingScansNothing()
    {
        int scans = 0;
        const auto scanner = [&](const QStringList &, const ExcludeScanLimits &, std::stop_token) {
            ++scans;
            return ExcludeDiscovery {};
        };
        QVERIFY(ExcludeReviewModel::revalidatedPatterns({}, {}, scanner).isEmpty());
        QCOMPARE(scans, 0);
    }

    void recheckWalksEachParentOnceWithDefaultLimits()
    {
        const auto first = eligibleEvidence("/a/build");
        const auto second = eligibleEvidence("/a/x/out");
        const auto third = eligibleEvidence("/a/tmp");
        QStringList roots;
        ExcludeScanLimits used;
        used.entries = 0;
        const auto scanner = [&](const QStringList &sources, const ExcludeScanLimits &limits, std::stop_token) {
            roots = sources;
            used = limits;
            return ExcludeDiscovery { { third, second, first }, 3, {} };
        };
        QCOMPARE(ExcludeReviewModel::revalidatedPatterns({ first, second, third }, {}, scanner),
            (QStringList { first.pattern(), second.pattern(), third.pattern() }));
        QCOMPARE(roots, (QStringList { "/a", "/a/x" }));
        QVERIFY(used == ExcludeScanLimits {});
    }

    void recheckComparesWhatWasReviewed_data()
    {
        QTest::addColumn<ExcludeEvidence>("fresh");
        QTest::addColumn<bool>("passes");
        const ExcludeEvidence reviewed = eligibleEvidence("/a/cache", 4096);
        const auto changed = [&](const std::function<void(ExcludeEvidence &)> &change) {
            ExcludeEvidence copy = reviewed;
            change(copy);
            return copy;
        };
        QTest::newRow("same") << reviewed << true;
        QTest::newRow("other root") << changed([](auto &e) { e.relativePath = "/elsewhere"; }) << true;
        QTest::newRow("gone") << changed([](auto &e) { e.path = "/a/cache2"; }) << false;
        QTest::newRow("incomplete") << changed([](auto &e) { e.complete = false; }) << false;
        QTest::newRow("new risk") << changed([](auto &e) { e.risks = { "Contains unreadable files" }; }) << false;
        QTest::newRow("no recovery") << changed([](auto &e) { e.recovery.reset(); }) << false;
        QTest::newRow("other recovery") << changed([](auto &e) { e.recovery = "Rebuild."; }) << false;
        QTest::newRow("bytes") << changed([](auto &e) { e.bytes += 1; }) << false;
        QTest::newRow("files") << changed([](auto &e) { e.fileCount += 1; }) << false;
        QTest::newRow("markers") << changed([](auto &e) { e.markers.append("Parent project: Cargo.toml"); }) << false;
        QTest::newRow("types order") << changed([](auto &e) { e.fileTypes = { "b", "a" }; }) << false;
    }

    void recheckComparesWhatWasReviewed()
    {
        QFETCH(ExcludeEvidence, fresh);
        QFETCH(bool, passes);
        ExcludeEvidence reviewed = eligibleEvidence("/a/cache", 4096);
        if (QByteArray(QTest::currentDataTag()) == "types order")
            reviewed.fileTypes = { "a", "b" };
        const auto scanner = [&](const QStringList &, const ExcludeScanLimits &, std::stop_token) {
            return ExcludeDiscovery { { fresh }, 1, {} };
        };
        bool passed = true;
        try {
            ExcludeReviewModel::revalidatedPatterns({ reviewed }, {}, scanner);
        } catch (const ExcludeAIError &) {
            passed = false;
        }
        QCOMPARE(passed, passes);
    }

    void reviewedEvidenceWithoutRecoveryNeverPasses()
    {
        ExcludeEvidence reviewed = eligibleEvidence("/a/cache");
        reviewed.recovery.reset();
        const auto scanner = [&](const QStringList &, const ExcludeScanLimits &, std::stop_token) {
            return ExcludeDiscovery { { eligibleEvidence("/a/cache") }, 1, {} };
        };
        QVERIFY_THROWS_EXCEPTION(ExcludeAIError, ExcludeReviewModel::revalidatedPatterns({ reviewed }, {}, scanner));
    }

    void stoppedRecheckIsACancellation()
    {
        std::stop_source stop;
        const auto scanner = [&](const QStringList &, const ExcludeScanLimits &, std::stop_token) {
            stop.request_stop();
            return ExcludeDiscovery { { eligibleEvidence("/a/cache") }, 1, {} };
        };
        QVERIFY_THROWS_EXCEPTION(CancellationError,
            ExcludeReviewModel::revalidatedPatterns({ eligibleEvidence("/a/cache") }, stop.get_token(), scanner));
    }

    void modelGoneBeforeTheRunEnds()
    {
        makeTaggedFolder(path("src/cache"), 1);
        auto scripted = std::make_shared<ScriptedExcludeModel>();
        scripted->hold();
        {
            ExcludeReviewModel model;
            model.start({ path("src") }, {}, scripted);
            scripted->waitForRequests(1);
        }
        scripted->release();
        QTest::qWait(50); // the worker ends on its own; nothing may reach the deleted model
    }
};

QTEST_GUILESS_MAIN(ExcludeReviewModelTest)
#include "ExcludeReviewModelTest.moc"
