#pragma once

#include "exclude/ExcludeCandidate.h"
#include "exclude/ExcludeDetectorProbes.h"

#include <QList>
#include <QStringList>

namespace vellmir {

// Regenerable places of the home's own data (the XDG cache and state folders, thumbnails and
// Flatpak applications' caches), then the whole XDG data folder as an aggressive choice.
class LibraryExclude {
public:
    explicit LibraryExclude(ExcludeDetectorProbes probes = ExcludeDetectorProbes::local());

    QList<ExcludeCandidate> detect(const QStringList &sources) const;

private:
    ExcludeDetectorProbes m_probes;
};

} // namespace vellmir
