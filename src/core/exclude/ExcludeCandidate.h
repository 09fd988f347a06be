#pragma once

#include <QHashFunctions>
#include <QString>
#include <QtGlobal>

namespace vellmir {

// One exclusion suggestion of the smart-exclude detectors. Never written to disk.
struct ExcludeCandidate {
    enum class Source { rule, cloud, ai };

    QString id; // equal to pattern for every detector
    QString pattern; // what applying the suggestion adds to the destination's excludes
    QString reason; // shown to the user
    qint64 instanceCount = 0; // folders the suggestion covers
    qint64 totalBytes = 0; // their allocated size; 0 where nothing was measured
    bool recommended = false; // preselected in the sheet
    Source source = Source::rule;

    friend bool operator==(const ExcludeCandidate &, const ExcludeCandidate &) = default;
};

inline size_t qHash(const ExcludeCandidate &candidate, size_t seed = 0)
{
    return qHashMulti(seed, candidate.id, candidate.pattern, candidate.reason, candidate.instanceCount,
        candidate.totalBytes, candidate.recommended, int(candidate.source));
}

} // namespace vellmir
