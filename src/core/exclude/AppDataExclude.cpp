#include "exclude/AppDataExclude.h"

#include "util/AppPaths.h"

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
    // Each application's folder in the XDG data folder, then each Flatpak application's own data
    // folder: their second level is where models, disk images and profiles grow.
    const auto examine = [&](const QString &app, const QString &appPath) {
        for (const QString &name : ExcludeDetection::childDirectories(appPath)) {
            if (name.toLower().contains(QStringLiteral("cache")) || userData().contains(name))
                continue;
            const QString path = appPath + u'/' + name;
            const qint64 size = m_probes.measure(path);
            if (size < threshold)
                continue;
            const QString pattern = ExcludeDetection::patternFor(path);
            candidates.append({ pattern, pattern,
                QStringLiteral("Large data in ") + app
                    + QStringLiteral(" - review (may be models, VM images, or profile data)"),
                1, size, false, ExcludeCandidate::Source::rule });
        }
    };
    const QString data = AppPaths::dataHome();
    if (ExcludeDetection::liesInside(data, sources)) {
        for (const QString &app : ExcludeDetection::childDirectories(data))
            examine(app, data + u'/' + app);
    }
    const QString flatpak = ExcludeDetection::flatpakApplications();
    if (ExcludeDetection::liesInside(flatpak, sources)) {
        for (const QString &app : ExcludeDetection::childDirectories(flatpak))
            examine(app, flatpak + u'/' + app + QStringLiteral("/data"));
    }
    return candidates;
}

} // namespace vellmir
