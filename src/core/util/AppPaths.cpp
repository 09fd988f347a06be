#include "util/AppPaths.h"

#include <QDir>

namespace vellmir::AppPaths {

namespace {
QString xdg(const char *variable, const QString &fallbackBelowHome)
{
    const QString value = qEnvironmentVariable(variable);
    // The XDG rules ignore relative values.
    if (!value.isEmpty() && value.startsWith(u'/'))
        return QDir::cleanPath(value);
    return homeDirectory() + u'/' + fallbackBelowHome;
}
} // namespace

QString homeDirectory()
{
    QString home = qEnvironmentVariable("HOME");
    if (home.isEmpty())
        home = QDir::homePath();
    home = QDir::cleanPath(home);
    while (home.size() > 1 && home.endsWith(u'/'))
        home.chop(1);
    return home;
}

QString configDirectory()
{
    return xdg("XDG_CONFIG_HOME", QStringLiteral(".config"));
}

QString cacheDirectory()
{
    return xdg("XDG_CACHE_HOME", QStringLiteral(".cache")) + QStringLiteral("/Vellmir");
}

QString resticCacheDirectory()
{
    // Go's os.UserCacheDir: a relative $XDG_CACHE_HOME or no $HOME finds none, unlike xdg() above.
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty()) {
        base = qEnvironmentVariable("HOME");
        if (base.isEmpty())
            return QString();
        base += QStringLiteral("/.cache");
    } else if (!base.startsWith(u'/')) {
        return QString();
    }
    return QDir::cleanPath(base + QStringLiteral("/restic"));
}

QString dataDirectory()
{
    return xdg("XDG_DATA_HOME", QStringLiteral(".local/share")) + QStringLiteral("/Vellmir");
}

QString destinationsFile()
{
    return dataDirectory() + QStringLiteral("/destinations.json");
}
QString historyDirectory()
{
    return dataDirectory() + QStringLiteral("/history");
}
QString healthDirectory()
{
    return dataDirectory() + QStringLiteral("/health");
}
QString requestsDirectory()
{
    return dataDirectory() + QStringLiteral("/requests");
}
QString locksDirectory()
{
    return dataDirectory() + QStringLiteral("/locks");
}
QString schedulerLockFile()
{
    return dataDirectory() + QStringLiteral("/scheduler.lock");
}

} // namespace vellmir::AppPaths
