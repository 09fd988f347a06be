#pragma once

#include "exclude/ExcludeCandidate.h"
#include "exclude/ExcludeEvidence.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <stop_token>

namespace vellmir {

// Finds folders under a destination's sources that can be rebuilt or downloaded again: a fixed
// table of folder names plus a "cache" name heuristic. Keeps no state; any thread.
class SmartExclude {
public:
    struct Rule {
        QString reason;
        bool recommended = false;
        friend bool operator==(const Rule &, const Rule &) = default;
    };

    // Exact, case-sensitive folder name -> why and whether it is preselected.
    static const QHash<QString, Rule> &rules();
    // The rule for a folder name given as UTF-8 bytes, or nullptr; no allocation.
    static const Rule *ruleFor(const char *name);
    // Whether the name, lower-cased, contains "cache".
    static bool nameSuggestsCache(const char *name);

    // Allocated size of the regular files below the folder (hidden ones included, the folder
    // itself not), no patterns applied and restic's own cache left out; 0 when it cannot be listed.
    static qint64 directorySize(const QString &path);
    static qint64 directorySize(const char *path);

    // One candidate per matching folder, named by its absolute path (escaped), so that it leaves
    // out that folder alone; largest first, equal sizes ordered by pattern. A path that is not
    // valid UTF-8 gives a candidate with no pattern, whose reason says why it cannot be excluded.
    QList<ExcludeCandidate> scan(const QStringList &sources) const;

    // The bounded evidence scan for the model review; see discoverForAI in ExcludeEvidenceScan.h.
    ExcludeDiscovery discoverForAI(
        const QStringList &sources, const ExcludeScanLimits &limits = {}, std::stop_token stop = {}) const;
};

} // namespace vellmir
