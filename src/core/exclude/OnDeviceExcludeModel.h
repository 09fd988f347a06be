#pragma once

#include "exclude/AIExcludeDecision.h"
#include "exclude/ExcludeAIAvailability.h"
#include "exclude/ExcludeAIError.h"
#include "exclude/ExcludeModelProviding.h"

#include <QByteArray>
#include <QString>
#include <functional>

namespace vellmir {

// The platform's on-device language model behind the model seam. Every batch gets a fresh
// session, so no batch sees another's conversation; the model sees metadata only.
//
// Linux has no such model: availability reports it unavailable and classify() fails with
// that sentence. The request-building and answer-mapping steps are public so that they can
// be checked, and a session can be handed in where a model exists.
class OnDeviceExcludeModel : public ExcludeModelProviding {
public:
    // How a model request can fail; each becomes its own ExcludeAIError.
    enum class GenerationFailure {
        contextWindowExceeded,
        assetsUnavailable,
        guardrailViolation,
        refusal,
        other, // any other generation error, a decoding failure, or any other error
    };

    // Thrown by a session when the model request fails.
    class SessionError : public Error {
    public:
        explicit SessionError(GenerationFailure failure)
            : Error(QStringLiteral("The model request failed."))
            , m_failure(failure)
        {
        }
        GenerationFailure failure() const { return m_failure; }

    private:
        GenerationFailure m_failure;
    };

    // One model request in a new session: instructions and prompt in, the generated list out.
    using Session = std::function<AIExcludeDecisionList(
        const QString &instructions, const QString &prompt, std::stop_token stop)>;

    // The system's model; fails as unavailable on this platform.
    OnDeviceExcludeModel();
    OnDeviceExcludeModel(Session session, std::function<ExcludeAIAvailability()> availability);

    QList<ExcludeModelDecision> classify(const QList<ExcludeEvidence> &batch, std::stop_token stop) override;

    // The ten fixed lines the model is instructed with, joined by line feeds.
    static QString instructions();
    // The batch as the model's input: a JSON array of one object per candidate, keys in a
    // fixed order, no extra white space.
    static QByteArray inputJson(const QList<ExcludeEvidence> &batch);
    static QString prompt(const QList<ExcludeEvidence> &batch);
    // Maps the generated records back to evidence ids; records naming no candidate of the
    // batch are dropped, repeated ones are kept (validation then rejects the candidate).
    static QList<ExcludeModelDecision> decisions(
        const AIExcludeDecisionList &generated, const QList<ExcludeEvidence> &batch);
    static ExcludeAIError error(GenerationFailure failure);

    // Generation options of every request.
    static constexpr double temperature = 0;
    static constexpr int maximumResponseTokens = 900;

private:
    Session m_session;
    std::function<ExcludeAIAvailability()> m_availability;
};

} // namespace vellmir
