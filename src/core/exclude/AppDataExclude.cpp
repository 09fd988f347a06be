#include "exclude/AppDataExclude.h"

#include "config/Destination.h"

namespace vellmir {

const QSet<QString> &AppDataExclude::userData()
{
    static const QSet<QString> names { QStringLiteral("Local Storage"), QStringLiteral("IndexedDB"),
        QStringLiteral("Session Storage"), QStringLiteral("Databases"), QStringLiteral("databases"),
        QStringLiteral("Local Store"), QStringLiteral("User Data") };
    return names;
}

AppDataExclude::AppDataExclude(ExcludeDetectorProbes probes)
    : m_probes(std::move(probes))
{
}

QList<ExcludeCandidate> AppDataExclude::detect(const QStringList &sources) const
{
    QList<ExcludeCandidate> candidates;
    const QString support = ExcludeDetection::inHome(QStringLiteral("Library/Application Support"));
    if (!ExcludeDetection::liesInside(support, sources))
        return candidates;
    for (const QString &app : ExcludeDetection::childDirectories(support)) {
        const QString appPath = support + u'/' + app;
        for (const QString &name : ExcludeDetection::childDirectories(appPath)) {
            if (name.toLower().contains(QStringLiteral("cache")) || userData().contains(name))
                continue;
            const qint64 size = m_probes.measure(appPath + u'/' + name);
            if (size < threshold)
                continue;
            const QString pattern = QStringLiteral("~/Library/Application Support/") + Destination::literalPattern(app)
                + u'/' + Destination::literalPattern(name);
            candidates.append({ pattern, pattern,
                QStringLiteral("Large data in ") + app
                    + QStringLiteral(" - review (may be models, VM images, or profile data)"),
                1, size, false, ExcludeCandidate::Source::rule });
        }
    }
    return candidates;
}

} // namespace vellmir
