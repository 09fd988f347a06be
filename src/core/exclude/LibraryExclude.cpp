#include "exclude/LibraryExclude.h"

#include "config/Destination.h"
#include "util/AppPaths.h"

#include <utility>

namespace vellmir {

LibraryExclude::LibraryExclude(ExcludeDetectorProbes probes)
    : m_probes(std::move(probes))
{
}

QList<ExcludeCandidate> LibraryExclude::detect(const QStringList &sources) const
{
    QList<ExcludeCandidate> candidates;
    const auto propose = [&](const QString &pattern, const QString &reason, qint64 count, qint64 bytes,
                             bool recommended) {
        candidates.append({ pattern, pattern, reason, count, bytes, recommended, ExcludeCandidate::Source::rule });
    };
    const std::pair<QString, const char *> places[] = {
        { AppPaths::cacheHome(), "Application caches (regenerable)" },
        { AppPaths::stateHome(), "Application state and logs (regenerable)" },
        { ExcludeDetection::inHome(QStringLiteral(".thumbnails")), "Thumbnails (regenerable)" },
    };
    for (const auto &[path, reason] : places) {
        if (ExcludeDetection::exists(path) && ExcludeDetection::liesInside(path, sources))
            propose(ExcludeDetection::patternFor(path), QString::fromUtf8(reason), 1, m_probes.measure(path), true);
    }

    // Every Flatpak application keeps its cache in a folder of the same name: one pattern covers
    // them all, and counts those that lie inside the sources.
    const QString apps = ExcludeDetection::flatpakApplications();
    qint64 caches = 0;
    qint64 bytes = 0;
    for (const QString &app : ExcludeDetection::childDirectories(apps)) {
        const QString cache = apps + u'/' + app + QStringLiteral("/cache");
        if (ExcludeDetection::exists(cache) && ExcludeDetection::liesInside(cache, sources)) {
            ++caches;
            bytes += m_probes.measure(cache);
        }
    }
    if (caches > 0) {
        propose(ExcludeDetection::patternFor(apps) + QStringLiteral("/*/cache"),
            QStringLiteral("Flatpak application caches (regenerable)"), caches, bytes, true);
    }

    const QString data = AppPaths::dataHome();
    if (ExcludeDetection::exists(data) && ExcludeDetection::liesInside(data, sources)) {
        propose(ExcludeDetection::patternFor(data),
            QStringLiteral("All of the application data folder - includes mail, browser profiles, and app data "
                           "(aggressive)"),
            1, 0, false);
    }
    return candidates;
}

} // namespace vellmir
