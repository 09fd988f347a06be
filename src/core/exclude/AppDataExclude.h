#pragma once

#include "exclude/ExcludeCandidate.h"
#include "exclude/ExcludeDetectorProbes.h"

#include <QList>
#include <QSet>
#include <QStringList>

namespace vellmir {

// Very large second-level folders of applications' own data (models, disk images, profiles),
// offered for review only, when the XDG data folder or Flatpak's applications folder lies
// inside the sources.
class AppDataExclude {
public:
    // Folder names that hold an application's user data; never proposed.
    static const QSet<QString> &userData();
    static constexpr qint64 threshold = 2'000'000'000;

    explicit AppDataExclude(ExcludeDetectorProbes probes = ExcludeDetectorProbes::local());

    QList<ExcludeCandidate> detect(const QStringList &sources) const;

private:
    ExcludeDetectorProbes m_probes;
};

} // namespace vellmir
