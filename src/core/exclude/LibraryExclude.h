#pragma once

#include "exclude/ExcludeCandidate.h"
#include "exclude/ExcludeDetectorProbes.h"

#include <QList>
#include <QStringList>

namespace vellmir {

// Regenerable folders of the home Library folder, and the whole Library as an aggressive choice,
// proposed only where they lie inside the sources.
class LibraryExclude {
public:
    struct Subfolder {
        QString relative; // below the home folder
        QString reason;
    };
    static const QList<Subfolder> &subfolders();

    explicit LibraryExclude(ExcludeDetectorProbes probes = ExcludeDetectorProbes::local());

    QList<ExcludeCandidate> detect(const QStringList &sources) const;

private:
    ExcludeDetectorProbes m_probes;
};

} // namespace vellmir
