#include "util/AppPaths.h"

#include "util/LocalPath.h"

#include <QDir>

#include <sys/stat.h>
#include <unistd.h>

namespace vellmir::AppPaths {

namespace {
// A folder named by the environment, as the bytes it holds: a name that is not UTF-8 still
// names that folder, where qEnvironmentVariable would turn its bytes into U+FFFD.
QString pathVariable(const char *variable)
{
    return LocalPath::decode(qgetenv(variable));
}

QString xdg(const char *variable, const QString &fallbackBelowHome)
{
    const QString value = pathVariable(variable);
    // The XDG rules ignore relative values.
    if (!value.isEmpty() && value.startsWith(u'/'))
        return QDir::cleanPath(value);
    return homeDirectory() + u'/' + fallbackBelowHome;
}
} // namespace

QString homeDirectory()
{
    QString home = pathVariable("HOME");
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

QString dataHome()
{
    return xdg("XDG_DATA_HOME", QStringLiteral(".local/share"));
}

QString stateHome()
{
    return xdg("XDG_STATE_HOME", QStringLiteral(".local/state"));
}

QString cacheHome()
{
    return xdg("XDG_CACHE_HOME", QStringLiteral(".cache"));
}

QString cacheDirectory()
{
    return cacheHome() + QStringLiteral("/Vellmir");
}

QString resticCacheDirectory()
{
    // Go's os.UserCacheDir: a relative $XDG_CACHE_HOME or no $HOME finds none, unlike xdg() above.
    QString base = pathVariable("XDG_CACHE_HOME");
    if (base.isEmpty()) {
        base = pathVariable("HOME");
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
    return dataHome() + QStringLiteral("/Vellmir");
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

void tightenFolders()
{
    const QString data = dataDirectory();
    for (const QString &folder : { data, historyDirectory(), healthDirectory(), requestsDirectory(), locksDirectory(),
             configDirectory() + QStringLiteral("/Vellmir") }) {
        const QByteArray native = LocalPath::encode(folder);
        struct stat info { };
        if (::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
            && (info.st_mode & 077) != 0)
            ::chmod(native.constData(), info.st_mode & 0700);
    }
}

} // namespace vellmir::AppPaths
