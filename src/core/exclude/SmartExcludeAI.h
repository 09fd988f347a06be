#pragma once

#include "exclude/ExcludeAIAvailability.h"
#include "exclude/ExcludeAssessment.h"
#include "exclude/ExcludeEvidence.h"
#include "exclude/ExcludeModelProviding.h"

#include <QList>
#include <functional>
#include <stop_token>

namespace vellmir {

// What the platform says about its on-device language model. Linux has none.
enum class SystemModelAvailability {
    available,
    systemTooOld,
    deviceNotEligible,
    systemModelNotEnabled,
    modelNotReady,
    other, // any other reason, including reasons a newer platform adds
};

// Called before and after each batch with the eligible candidates handled so far and their total.
using ExcludeReviewProgress = std::function<void(qint64 done, qint64 total)>;

// The model review of evidence-scan candidates. The model only advises: a folder is suggested
// only when the application's own gates (validate) agree with it.
namespace SmartExcludeAI {

// Most candidates sent to the model in one request.
inline constexpr qsizetype batchSize = 4;

// Read afresh on every call, so a change of the system settings shows at the next reading.
ExcludeAIAvailability availability();
// The sentence for each platform answer.
ExcludeAIAvailability availability(SystemModelAvailability platform);
// The platform's answer on this system.
SystemModelAvailability systemModelAvailability();

// Reviews the candidates in batches of 4 and returns one assessment per distinct evidence
// id: suggestions first, then larger folders first, then by path. Incomplete or risky
// candidates are never sent to the model. Throws CancellationError once `stop` is requested
// and whatever the provider throws; nothing partial is returned then.
QList<ExcludeAssessment> review(const QList<ExcludeEvidence> &evidence, ExcludeModelProviding &provider,
    const ExcludeReviewProgress &progress, std::stop_token stop = {});

// The gates: `decisions` are the model's answers carrying this evidence's id.
ExcludeAssessment validate(const ExcludeEvidence &evidence, const QList<ExcludeModelDecision> &decisions);

// The model's explanation made fit to show: control and format characters removed, cut to
// 240 user-perceived characters, spaces and tabs trimmed at both ends.
QString cleanedExplanation(const QString &reason);

// The first `count` user-perceived characters of `text`.
QString leadingCharacters(const QString &text, qsizetype count);

} // namespace SmartExcludeAI

} // namespace vellmir
