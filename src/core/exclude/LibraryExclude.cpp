#include "exclude/LibraryExclude.h"

namespace vellmir {

const QList<LibraryExclude::Subfolder> &LibraryExclude::subfolders()
{
    static const QList<Subfolder> table {
        { QStringLiteral("Library/Caches"), QStringLiteral("Application caches (regenerable)") },
        { QStringLiteral("Library/Logs"), QStringLiteral("Logs (regenerable)") },
        { QStringLiteral("Library/Cookies"), QStringLiteral("Cookies (regenerable)") },
        { QStringLiteral("Library/Saved Application State"), QStringLiteral("Saved window state (regenerable)") },
        { QStringLiteral("Library/Developer/Xcode/DerivedData"),
            QStringLiteral("Xcode build output; preserves Archives and simulator data") },
        { QStringLiteral("Library/Developer/Xcode/iOS DeviceSupport"),
            QStringLiteral("Downloaded device support symbols") },
        { QStringLiteral("Library/Metadata/CoreSpotlight"), QStringLiteral("Spotlight index (regenerable)") },
        { QStringLiteral("Library/Application Support/CrashReporter"), QStringLiteral("Crash reports (regenerable)") },
    };
    return table;
}

LibraryExclude::LibraryExclude(ExcludeDetectorProbes probes)
    : m_probes(std::move(probes))
{
}

QList<ExcludeCandidate> LibraryExclude::detect(const QStringList &sources) const
{
    QList<ExcludeCandidate> candidates;
    for (const Subfolder &row : subfolders()) {
        const QString path = ExcludeDetection::inHome(row.relative);
        if (!ExcludeDetection::exists(path) || !ExcludeDetection::liesInside(path, sources))
            continue;
        const QString pattern = QStringLiteral("~/") + row.relative;
        candidates.append(
            { pattern, pattern, row.reason, 1, m_probes.measure(path), true, ExcludeCandidate::Source::rule });
    }
    const QString library = ExcludeDetection::inHome(QStringLiteral("Library"));
    if (ExcludeDetection::exists(library) && ExcludeDetection::liesInside(library, sources)) {
        // Mail, messages and settings live here too, so it is offered unmeasured and unselected.
        candidates.append({ QStringLiteral("~/Library"), QStringLiteral("~/Library"),
            QStringLiteral("All of Library - includes Mail, Messages, and app data (aggressive)"), 1, 0, false,
            ExcludeCandidate::Source::rule });
    }
    return candidates;
}

} // namespace vellmir
