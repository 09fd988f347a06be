#pragma once

#include "exclude/ExcludeEvidence.h"

#include <QString>

namespace vellmir {

// The outcome of the model review for one folder. Only the application's gates make a folder
// `suggested`; every other folder carries a reason beginning "Keep backed up: ".
struct ExcludeAssessment {
    ExcludeEvidence evidence;
    bool suggested = false;
    QString reason;

    QString id() const { return evidence.id(); }

    friend bool operator==(const ExcludeAssessment &, const ExcludeAssessment &) = default;
};

} // namespace vellmir
