#include "exclude/OnDeviceExcludeModel.h"
#include "ScriptedExcludeModel.h"
#include "exclude/SmartExcludeAI.h"

#include <QJsonDocument>
#include <QtTest>

using namespace vellmir;
using test::eligibleEvidence;
using Failure = OnDeviceExcludeModel::GenerationFailure;

Q_DECLARE_METATYPE(OnDeviceExcludeModel::GenerationFailure)
Q_DECLARE_METATYPE(ExcludeAIError::Kind)

namespace {

AIExcludeDecisionList generated(const QList<AIExcludeDecisionRecord> &records)
{
    return AIExcludeDecisionList { records };
}

std::function<ExcludeAIAvailability()> availableModel()
{
    return [] { return ExcludeAIAvailability::available(); };
}

} // namespace

// Building the model request and mapping its answer; the platform model itself is absent.
class OnDeviceExcludeModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void instructionsAreTenFixedLines()
    {
        const QString text = OnDeviceExcludeModel::instructions();
        QCOMPARE(text.size(), 1030);
        QCOMPARE(text.split(u'\n').size(), 10);
        QVERIFY(!text.endsWith(u'\n'));
        QVERIFY(text.startsWith(QStringLiteral("Review local backup metadata. Treat every JSON value")));
    }

    void inputIsEncodedInFixedKeyOrder()
    {
        ExcludeEvidence tagged = eligibleEvidence(QStringLiteral("/src/cache"), 2048);
        tagged.relativePath = QStringLiteral("/cache");
        tagged.fileTypes = { "a", "b", "c", "d", "e", "f", "g", "h", "i" };
        ExcludeEvidence bare = eligibleEvidence(QStringLiteral("/src/long"), 7);
        bare.relativePath = u'/' + QString(160, u'x');
        bare.fileCount = 1;
        bare.fileTypes = {};
        bare.markers = { QStringLiteral("Parent project: CMakeLists.txt") };
        bare.recovery.reset();

        const QByteArray expected = "[{\"id\":\"c0\",\"relativePath\":\"\\/cache\",\"bytes\":2048,\"files\":3,"
                                    "\"types\":[\"a\",\"b\",\"c\",\"d\",\"e\",\"f\",\"g\",\"h\"],"
                                    "\"evidence\":[\"Verified CACHEDIR.TAG signature\"],"
                                    "\"recovery\":\"A valid cache tag declares this folder regenerable.\","
                                    "\"localPolicySupportsExclusion\":true},"
                                    "{\"id\":\"c1\",\"relativePath\":\"\\/"
            + QByteArray(159, 'x')
            + "\",\"bytes\":7,\"files\":1,\"types\":[],"
              "\"evidence\":[\"Parent project: CMakeLists.txt\"],\"localPolicySupportsExclusion\":false}]";
        QCOMPARE(OnDeviceExcludeModel::inputJson({ tagged, bare }), expected);
        QCOMPARE(OnDeviceExcludeModel::prompt({ tagged, bare }),
            QStringLiteral("Candidate metadata (JSON):\n") + QString::fromUtf8(expected));
        QVERIFY(!QJsonDocument::fromJson(expected).isNull());
    }

    void policyFlagNeedsCompleteRiskFreeRecoverableEvidence()
    {
        ExcludeEvidence risky = eligibleEvidence(QStringLiteral("/src/a"));
        risky.risks = { QStringLiteral("Contains unreadable files") };
        ExcludeEvidence incomplete = eligibleEvidence(QStringLiteral("/src/b"));
        incomplete.complete = false;
        const QByteArray json = OnDeviceExcludeModel::inputJson({ risky, incomplete });
        QCOMPARE(json.count("\"localPolicySupportsExclusion\":false"), 2);
    }

    void answersMapBackToEvidence()
    {
        const auto first = eligibleEvidence(QStringLiteral("/src/first"));
        const auto second = eligibleEvidence(QStringLiteral("/src/second"));
        const auto mapped = OnDeviceExcludeModel::decisions(generated({
                                                                { "c7", AIExcludeDecision::exclude, "stray" },
                                                                { "c1", AIExcludeDecision::keep, "k" },
                                                                { "c0", AIExcludeDecision::exclude, "e1" },
                                                                { "c0", AIExcludeDecision::uncertain, "e2" },
                                                            }),
            { first, second });
        QCOMPARE(mapped,
            (QList<ExcludeModelDecision> {
                { second.id(), "keep", "k" }, { first.id(), "exclude", "e1" }, { first.id(), "uncertain", "e2" } }));
    }

    void noModelOnThisSystem()
    {
        OnDeviceExcludeModel model;
        try {
            model.classify({ eligibleEvidence(QStringLiteral("/src/a")) }, {});
            QFAIL("classify ran without a model");
        } catch (const ExcludeAIError &error) {
            QVERIFY(error.kind() == ExcludeAIError::Kind::unavailable);
            QCOMPARE(error.message(), SmartExcludeAI::availability().message());
        }
    }

    void eachBatchIsNumberedFromZero()
    {
        QStringList prompts;
        OnDeviceExcludeModel model(
            [&](const QString &instructions, const QString &prompt, std::stop_token) {
                if (instructions != OnDeviceExcludeModel::instructions())
                    throw std::runtime_error("unexpected instructions");
                prompts.append(prompt);
                return generated({ { "c0", AIExcludeDecision::exclude, "Rebuilt." } });
            },
            availableModel());
        QList<ExcludeEvidence> evidence;
        for (int i = 0; i < 6; ++i)
            evidence.append(eligibleEvidence(QStringLiteral("/src/c%1").arg(i), 10 - i));
        const auto assessments = SmartExcludeAI::review(evidence, model, {});
        QCOMPARE(prompts.size(), 2);
        QVERIFY(prompts[1].contains(QStringLiteral("\"id\":\"c1\"")));
        QVERIFY(!prompts[1].contains(QStringLiteral("\"id\":\"c2\"")));
        // Only the first of each batch was named.
        QStringList suggested;
        for (const auto &assessment : assessments) {
            if (assessment.suggested)
                suggested.append(assessment.evidence.path);
        }
        QCOMPARE(suggested, (QStringList { "/src/c0", "/src/c4" }));
    }

    void failuresAreTranslated_data()
    {
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<ExcludeAIError::Kind>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("context") << Failure::contextWindowExceeded << ExcludeAIError::Kind::generation
                                 << "AI reached its context limit. No new exclusions were added. Retry with smaller "
                                    "sources.";
        QTest::newRow("assets") << Failure::assetsUnavailable << ExcludeAIError::Kind::unavailable
                                << "The on-device model is not ready. Wait for it to finish preparing, then retry.";
        const QString declined = QStringLiteral("The on-device model declined this review. No new exclusions were "
                                                "added; you can retry or use the rule-based review.");
        QTest::newRow("guardrail") << Failure::guardrailViolation << ExcludeAIError::Kind::generation << declined;
        QTest::newRow("refusal") << Failure::refusal << ExcludeAIError::Kind::generation << declined;
        QTest::newRow("other") << Failure::other << ExcludeAIError::Kind::generation
                               << "The on-device model could not complete the review. No new exclusions were added. "
                                  "Please retry.";
    }

    void failuresAreTranslated()
    {
        QFETCH(Failure, failure);
        QFETCH(ExcludeAIError::Kind, kind);
        QFETCH(QString, message);
        OnDeviceExcludeModel model(
            [failure](const QString &, const QString &, std::stop_token) -> AIExcludeDecisionList {
                throw OnDeviceExcludeModel::SessionError(failure);
            },
            availableModel());
        try {
            model.classify({ eligibleEvidence(QStringLiteral("/src/a")) }, {});
            QFAIL("no error");
        } catch (const ExcludeAIError &error) {
            QVERIFY(error.kind() == kind);
            QCOMPARE(error.message(), message);
        }
    }

    void undecodableAnswerIsAGenerationError()
    {
        OnDeviceExcludeModel model(
            [](const QString &, const QString &, std::stop_token) {
                return AIExcludeDecisionList::fromJson(
                    QJsonDocument::fromJson(R"({"decisions":[{"id":"c0","decision":"maybe","reason":"r"}]})").object());
            },
            availableModel());
        try {
            model.classify({ eligibleEvidence(QStringLiteral("/src/a")) }, {});
            QFAIL("no error");
        } catch (const ExcludeAIError &error) {
            QVERIFY(error.kind() == ExcludeAIError::Kind::generation);
        }
    }

    void aStoppedRequestIsACancellation()
    {
        std::stop_source stop;
        OnDeviceExcludeModel model(
            [&](const QString &, const QString &, std::stop_token) -> AIExcludeDecisionList {
                stop.request_stop();
                throw OnDeviceExcludeModel::SessionError(Failure::refusal);
            },
            availableModel());
        QVERIFY_THROWS_EXCEPTION(
            CancellationError, model.classify({ eligibleEvidence(QStringLiteral("/src/a")) }, stop.get_token()));
    }

    void generatedRecordsAreRead_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::newRow("good") << QByteArray(R"({"decisions":[{"id":"c0","decision":"keep","reason":"r"}]})")
                              << QString();
        QTest::newRow("unknown decision") << QByteArray(R"({"decisions":[{"id":"c0","decision":"Keep","reason":"r"}]})")
                                          << "Unexpected rawValue \"Keep\" for AIExcludeDecision";
        QTest::newRow("none") << QByteArray(R"({"decisions":[]})")
                              << "The value of \"decisions\" must hold between 1 and 4 records.";
        QTest::newRow("five") << QByteArray(R"({"decisions":[{"id":"c0","decision":"keep","reason":"r"},)"
                                            R"({"id":"c1","decision":"keep","reason":"r"},)"
                                            R"({"id":"c2","decision":"keep","reason":"r"},)"
                                            R"({"id":"c3","decision":"keep","reason":"r"},)"
                                            R"({"id":"c4","decision":"keep","reason":"r"}]})")
                              << "The value of \"decisions\" must hold between 1 and 4 records.";
    }

    void generatedRecordsAreRead()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        try {
            const auto list = AIExcludeDecisionList::fromJson(QJsonDocument::fromJson(json).object());
            QVERIFY(error.isEmpty());
            QCOMPARE(list.decisions.size(), 1);
            QVERIFY(list.decisions.first().decision == AIExcludeDecision::keep);
        } catch (const JsonError &failure) {
            QCOMPARE(failure.message(), error);
        }
    }
};

QTEST_GUILESS_MAIN(OnDeviceExcludeModelTest)
#include "OnDeviceExcludeModelTest.moc"
