#include "exclude/SmartExcludeAI.h"
#include "ScriptedExcludeModel.h"
#include "exclude/ExcludeAIError.h"

#include <QtTest>

using namespace vellmir;
using test::eligibleEvidence;
using test::ScriptedExcludeModel;

namespace {

using ProgressLog = QList<QPair<qint64, qint64>>;

ExcludeReviewProgress recorder(ProgressLog &log)
{
    return [&log](qint64 done, qint64 total) { log.append({ done, total }); };
}

ExcludeModelDecision decision(const ExcludeEvidence &evidence, const QString &what, const QString &reason)
{
    return { evidence.id(), what, reason };
}

} // namespace

// The model review: batching, progress, the gates and the final order.
class SmartExcludeAITest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emptyInputMakesNoRequest()
    {
        ScriptedExcludeModel model;
        ProgressLog progress;
        QVERIFY(SmartExcludeAI::review({}, model, recorder(progress)).isEmpty());
        QVERIFY(model.batches().isEmpty());
        QVERIFY(progress.isEmpty());
    }

    void sixCandidatesMakeTwoRequestsWithProgressAroundEach()
    {
        QList<ExcludeEvidence> evidence;
        for (int i = 0; i < 6; ++i)
            evidence.append(eligibleEvidence(QStringLiteral("/src/cache%1").arg(i), 100 * (i + 1)));
        ScriptedExcludeModel model;
        ProgressLog progress;
        const auto assessments = SmartExcludeAI::review(evidence, model, recorder(progress));

        const auto batches = model.batches();
        QCOMPARE(batches.size(), 2);
        QCOMPARE(batches[0], evidence.mid(0, 4));
        QCOMPARE(batches[1], evidence.mid(4, 2));
        QCOMPARE(progress, (ProgressLog { { 0, 6 }, { 4, 6 }, { 4, 6 }, { 6, 6 } }));
        QCOMPARE(assessments.size(), 6);
        for (const auto &assessment : assessments) {
            QVERIFY(assessment.suggested);
            QCOMPARE(assessment.reason, QStringLiteral("A cache tag declares it."));
        }
        QCOMPARE(assessments.first().evidence.path, QStringLiteral("/src/cache5"));
    }

    void repeatedEvidenceIsAssessedOnce()
    {
        const ExcludeEvidence one = eligibleEvidence(QStringLiteral("/src/one"));
        ScriptedExcludeModel model;
        const auto assessments = SmartExcludeAI::review({ one, one }, model, {});
        QCOMPARE(assessments.size(), 1);
        QCOMPARE(model.batches(), (QList<QList<ExcludeEvidence>> { { one } }));
    }

    void incompleteOrRiskyCandidatesAreNeverSent()
    {
        ExcludeEvidence risky = eligibleEvidence(QStringLiteral("/src/risky"), 50);
        risky.risks
            = { QStringLiteral("Contains a special filesystem entry"), QStringLiteral("Contains unreadable files") };
        ExcludeEvidence incomplete = eligibleEvidence(QStringLiteral("/src/incomplete"), 60);
        incomplete.complete = false;
        ScriptedExcludeModel model;
        ProgressLog progress;
        const auto assessments = SmartExcludeAI::review({ risky, incomplete }, model, recorder(progress));

        QVERIFY(model.batches().isEmpty());
        QVERIFY(progress.isEmpty());
        QCOMPARE(assessments.size(), 2);
        QCOMPARE(assessments[0].reason, QStringLiteral("Keep backed up: the scan was incomplete."));
        QCOMPARE(assessments[1].reason,
            QStringLiteral("Keep backed up: Contains a special filesystem entry; Contains unreadable files"));
    }

    void resultPutsSuggestionsFirstThenSizeThenPath()
    {
        const auto small = eligibleEvidence(QStringLiteral("/src/small"), 10);
        const auto bigB = eligibleEvidence(QStringLiteral("/src/b"), 500);
        const auto bigA = eligibleEvidence(QStringLiteral("/src/a"), 500);
        auto kept = eligibleEvidence(QStringLiteral("/src/kept"), 9000);
        kept.recovery.reset();
        ScriptedExcludeModel model;
        const auto assessments = SmartExcludeAI::review({ small, kept, bigB, bigA }, model, {});
        QStringList paths;
        for (const auto &assessment : assessments)
            paths.append(assessment.evidence.path);
        QCOMPARE(paths, (QStringList { "/src/a", "/src/b", "/src/small", "/src/kept" }));
        QVERIFY(!assessments.last().suggested);
    }

    void answersAreMatchedByEvidenceID()
    {
        const auto first = eligibleEvidence(QStringLiteral("/src/first"), 20);
        const auto second = eligibleEvidence(QStringLiteral("/src/second"), 10);
        // Two answers for the first, none for the second.
        ScriptedExcludeModel model([&](const QList<ExcludeEvidence> &, int) {
            return QList<ExcludeModelDecision> { decision(first, "exclude", "x"), decision(first, "exclude", "y") };
        });
        const auto assessments = SmartExcludeAI::review({ first, second }, model, {});
        QCOMPARE(assessments.size(), 2);
        for (const auto &assessment : assessments)
            QCOMPARE(
                assessment.reason, QStringLiteral("Keep backed up: AI did not return one unambiguous assessment."));
    }

    void aFailedBatchEndsTheWholeReview()
    {
        QList<ExcludeEvidence> evidence;
        for (int i = 0; i < 5; ++i)
            evidence.append(eligibleEvidence(QStringLiteral("/src/c%1").arg(i)));
        ScriptedExcludeModel model([](const QList<ExcludeEvidence> &batch, int call) {
            if (call == 1)
                throw ExcludeAIError::generation(QStringLiteral("It broke."));
            return ScriptedExcludeModel::excludeAll(batch, call);
        });
        try {
            SmartExcludeAI::review(evidence, model, {});
            QFAIL("the review went on");
        } catch (const ExcludeAIError &error) {
            QVERIFY(error.kind() == ExcludeAIError::Kind::generation);
            QCOMPARE(error.message(), QStringLiteral("It broke."));
        }
    }

    void stoppingDuringARequestIsACancellation()
    {
        ScriptedExcludeModel model;
        model.hold();
        model.failWhenStopped();
        std::stop_source stop;
        std::thread stopper([&] {
            model.waitForRequests(1);
            stop.request_stop();
        });
        QVERIFY_THROWS_EXCEPTION(CancellationError,
            SmartExcludeAI::review({ eligibleEvidence(QStringLiteral("/src/a")) }, model, {}, stop.get_token()));
        stopper.join();
    }

    void aStoppedReviewSendsNothing()
    {
        ScriptedExcludeModel model;
        std::stop_source stop;
        stop.request_stop();
        QVERIFY_THROWS_EXCEPTION(CancellationError,
            SmartExcludeAI::review({ eligibleEvidence(QStringLiteral("/src/a")) }, model, {}, stop.get_token()));
        QVERIFY(model.batches().isEmpty());
    }

    void gates_data()
    {
        QTest::addColumn<ExcludeEvidence>("evidence");
        QTest::addColumn<QList<ExcludeModelDecision>>("decisions");
        QTest::addColumn<bool>("suggested");
        QTest::addColumn<QString>("reason");

        const auto good = eligibleEvidence(QStringLiteral("/src/cache"));
        const auto exclude
            = [&](const QString &reason) { return QList<ExcludeModelDecision> { decision(good, "exclude", reason) }; };
        auto incomplete = good;
        incomplete.complete = false;
        incomplete.risks = { QStringLiteral("r") };
        auto risky = good;
        risky.risks = { QStringLiteral("one"), QStringLiteral("two") };
        auto noRecovery = good;
        noRecovery.recovery.reset();
        const auto other = eligibleEvidence(QStringLiteral("/src/other"));

        QTest::newRow("incomplete first")
            << incomplete << exclude("x") << false << "Keep backed up: the scan was incomplete.";
        QTest::newRow("risks") << risky << exclude("x") << false << "Keep backed up: one; two";
        QTest::newRow("no answer") << good << QList<ExcludeModelDecision>() << false
                                   << "Keep backed up: AI did not return one unambiguous assessment.";
        QTest::newRow("two answers") << good
                                     << QList<ExcludeModelDecision> { decision(good, "exclude", "a"),
                                            decision(good, "exclude", "a") }
                                     << false << "Keep backed up: AI did not return one unambiguous assessment.";
        QTest::newRow("answer for another") << good << QList<ExcludeModelDecision> { decision(other, "exclude", "a") }
                                            << false << "Keep backed up: AI did not return one unambiguous assessment.";
        QTest::newRow("recovery before decision")
            << noRecovery << QList<ExcludeModelDecision> { decision(noRecovery, "exclude", "a") } << false
            << "Keep backed up: no verified regeneration evidence. A folder name alone is insufficient.";
        QTest::newRow("keep") << good << QList<ExcludeModelDecision> { decision(good, "keep", "a") } << false
                              << "Keep backed up: AI did not recommend exclusion.";
        QTest::newRow("uncertain") << good << QList<ExcludeModelDecision> { decision(good, "uncertain", "a") } << false
                                   << "Keep backed up: AI did not recommend exclusion.";
        QTest::newRow("exact decision text") << good << QList<ExcludeModelDecision> { decision(good, "Exclude", "a") }
                                             << false << "Keep backed up: AI did not recommend exclusion.";
        QTest::newRow("blank explanation") << good << exclude(QStringLiteral(" \t\n \u00a0\n")) << false
                                           << "Keep backed up: AI returned no explanation.";
        QTest::newRow("suggested") << good << exclude(QStringLiteral("  Rebuilt\tby the app. ")) << true
                                   << "Rebuiltby the app.";
    }

    void gates()
    {
        QFETCH(ExcludeEvidence, evidence);
        QFETCH(QList<ExcludeModelDecision>, decisions);
        QFETCH(bool, suggested);
        QFETCH(QString, reason);
        const ExcludeAssessment assessment = SmartExcludeAI::validate(evidence, decisions);
        QCOMPARE(assessment.suggested, suggested);
        QCOMPARE(assessment.reason, reason);
        QCOMPARE(assessment.evidence, evidence);
        QCOMPARE(assessment.id(), evidence.id());
    }

    void cleaning_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("cleaned");

        QTest::newRow("plain") << "Rebuilt on demand."
                               << "Rebuilt on demand.";
        QTest::newRow("controls and formats go")
            << QStringLiteral("Re\u200bbuilt\r\non\u0007 demand\u202e.") << "Rebuilton demand.";
        QTest::newRow("space separators trimmed") << QStringLiteral("\u2003\u00a0 Cache.\t\u3000") << "Cache.";
        QTest::newRow("cut before trimming") << (QStringLiteral(" ") + QString(299, u'a')) << QString(239, u'a');
        QTest::newRow("cut after removal") << (QString(100, u'\n') + QString(300, u'b')) << QString(240, u'b');
        QTest::newRow("clusters count once")
            << QStringLiteral("e\u0301").repeated(250) << QStringLiteral("e\u0301").repeated(240);
        QTest::newRow("emoji outside the basic plane")
            << QStringLiteral("\U0001F600").repeated(241) << QStringLiteral("\U0001F600").repeated(240);
    }

    void cleaning()
    {
        QFETCH(QString, reason);
        QFETCH(QString, cleaned);
        QCOMPARE(SmartExcludeAI::cleanedExplanation(reason), cleaned);
    }

    void availabilitySentences_data()
    {
        QTest::addColumn<SystemModelAvailability>("platform");
        QTest::addColumn<QString>("message");
        QTest::newRow("available") << SystemModelAvailability::available << QString();
        QTest::newRow("old system")
            << SystemModelAvailability::systemTooOld
            << "On-device AI review needs a newer system. Rule-based scanning remains available.";
        QTest::newRow("not eligible")
            << SystemModelAvailability::deviceNotEligible
            << "This computer cannot run the on-device model. Rule-based scanning remains available.";
        QTest::newRow("not enabled") << SystemModelAvailability::systemModelNotEnabled
                                     << "Turn on the on-device model in the system settings to use AI review.";
        QTest::newRow("not ready")
            << SystemModelAvailability::modelNotReady
            << "The on-device model is still being prepared. Try again after the download completes.";
        QTest::newRow("other")
            << SystemModelAvailability::other
            << "On-device AI review is not available on this system. Rule-based scanning remains available.";
    }

    void availabilitySentences()
    {
        QFETCH(SystemModelAvailability, platform);
        QFETCH(QString, message);
        const ExcludeAIAvailability availability = SmartExcludeAI::availability(platform);
        QCOMPARE(availability.isAvailable(), message.isEmpty());
        QCOMPARE(availability.message(), message);
    }

    void noModelOnThisSystem()
    {
        QVERIFY(SmartExcludeAI::availability() == SmartExcludeAI::availability(SystemModelAvailability::other));
        QVERIFY(!SmartExcludeAI::availability().isAvailable());
    }
};

QTEST_GUILESS_MAIN(SmartExcludeAITest)
#include "SmartExcludeAITest.moc"
