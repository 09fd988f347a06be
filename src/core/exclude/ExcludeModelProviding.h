#pragma once

#include "exclude/ExcludeEvidence.h"

#include <QList>
#include <QString>
#include <stop_token>

namespace vellmir {

// The model's answer for one candidate, whatever model gave it.
struct ExcludeModelDecision {
    QString id; // the candidate's evidence id, not the short identifier the model saw
    QString decision; // "exclude", "keep" or "uncertain"
    QString reason; // the model's explanation as generated

    friend bool operator==(const ExcludeModelDecision &, const ExcludeModelDecision &) = default;
};

// The seam between the review and a concrete model. The review calls classify() from one
// thread at a time, one batch after the other.
class ExcludeModelProviding {
public:
    virtual ~ExcludeModelProviding() = default;

    // Classifies a batch of at most 4 candidates. Throws ExcludeAIError, or CancellationError
    // once `stop` is requested.
    virtual QList<ExcludeModelDecision> classify(const QList<ExcludeEvidence> &batch, std::stop_token stop) = 0;
};

} // namespace vellmir
