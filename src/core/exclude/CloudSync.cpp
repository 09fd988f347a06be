#include "exclude/CloudSync.h"

#include "config/Destination.h"

#include <utility>

namespace vellmir {

CloudSync::CloudSync(ExcludeDetectorProbes probes)
    : m_probes(std::move(probes))
{
}

QString CloudSync::providerName(const QString &folderName)
{
    const QStringList pieces = folderName.split(u'-', Qt::SkipEmptyParts);
    const QString first = pieces.isEmpty() ? folderName : pieces.first();
    return first == u"GoogleDrive" ? QStringLiteral("Google Drive") : first;
}

QList<ExcludeCandidate> CloudSync::detect(const QStringList &sources) const
{
    QList<ExcludeCandidate> candidates;
    const auto offer = [&](const QString &path, const QString &label) {
        if (!ExcludeDetection::exists(path) || !ExcludeDetection::liesInside(path, sources))
            return;
        // The pattern names this folder only, whatever the home folder's name holds.
        const QString pattern = Destination::literalPattern(path);
        candidates.append({ pattern, pattern,
            label
                + QStringLiteral(
                    ": sync is not an independent backup. Exclude only after reviewing your recovery plan."),
            1, m_probes.measure(path), false, ExcludeCandidate::Source::cloud });
    };

    // The folders the usual sync clients keep in the home folder by default.
    static const std::pair<const char16_t *, const char16_t *> providers[] = {
        { u"Dropbox", u"Dropbox" },
        { u"OneDrive", u"OneDrive" },
        { u"Google Drive", u"Google Drive" },
        { u"Box Sync", u"Box" },
        { u"Box", u"Box" },
        { u"Nextcloud", u"Nextcloud" },
        { u"ownCloud", u"ownCloud" },
        { u"MEGA", u"MEGA" },
        { u"pCloudDrive", u"pCloud" },
        { u"Seafile", u"Seafile" },
        { u"Sync", u"Syncthing" },
    };
    for (const auto &[folder, provider] : providers)
        offer(ExcludeDetection::inHome(QString::fromUtf16(folder)), QString::fromUtf16(provider));
    return candidates;
}

} // namespace vellmir
