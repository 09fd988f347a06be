#include "exclude/CloudSync.h"

#include "config/Destination.h"

#include <QSet>

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
    QSet<QString> proposed;
    const auto offer = [&](const QString &path, const QString &label) {
        if (proposed.contains(path) || !ExcludeDetection::exists(path) || !ExcludeDetection::liesInside(path, sources))
            return;
        proposed.insert(path);
        // Provider folders are named by their apps and users; the pattern names this one only.
        const QString pattern = Destination::literalPattern(path);
        candidates.append({ pattern, pattern,
            label
                + QStringLiteral(
                    ": sync is not an independent backup. Exclude only after reviewing your recovery plan."),
            1, m_probes.measure(path), false, ExcludeCandidate::Source::cloud });
    };

    offer(ExcludeDetection::inHome(QStringLiteral("Library/Mobile Documents/com~apple~CloudDocs")),
        QStringLiteral("iCloud Drive"));
    for (const QString &name : { QStringLiteral("Desktop"), QStringLiteral("Documents") }) {
        const QString path = ExcludeDetection::inHome(name);
        if (m_probes.isUbiquitous(path))
            offer(path, QStringLiteral("iCloud ") + name);
    }
    const QString storage = ExcludeDetection::inHome(QStringLiteral("Library/CloudStorage"));
    for (const QString &child : ExcludeDetection::childDirectories(storage))
        offer(storage + u'/' + child, providerName(child));
    static const std::pair<const char16_t *, const char16_t *> providers[] = {
        { u"Dropbox", u"Dropbox" },
        { u"OneDrive", u"OneDrive" },
        { u"Google Drive", u"Google Drive" },
        { u"Box Sync", u"Box" },
        { u"Box", u"Box" },
    };
    for (const auto &[folder, provider] : providers)
        offer(ExcludeDetection::inHome(QString::fromUtf16(folder)), QString::fromUtf16(provider));
    return candidates;
}

} // namespace vellmir
