#include "exclude/ExcludeDetectorProbes.h"

#include "config/Destination.h"
#include "exclude/SmartExclude.h"
#include "util/AppPaths.h"
#include "util/LocalPath.h"

#include <QFile>

#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace vellmir {

ExcludeDetectorProbes ExcludeDetectorProbes::local()
{
    ExcludeDetectorProbes probes;
    probes.measure = [](const QString &path) {
        // What restic would store: a folder in a source that is a link (a ~/Dropbox leading to
        // another disk) is stored as the link, nothing behind it.
        struct stat info;
        if (::lstat(LocalPath::encode(path).constData(), &info) == 0 && S_ISLNK(info.st_mode))
            return qint64(0);
        return SmartExclude::directorySize(path);
    };
    return probes;
}

namespace ExcludeDetection {

bool liesInside(const QString &path, const QStringList &sources)
{
    for (const QString &source : sources) {
        if (path == source || (path.startsWith(source) && path.size() > source.size() && path[source.size()] == u'/'))
            return true;
    }
    return false;
}

QString inHome(const QString &relative)
{
    const QString home = AppPaths::homeDirectory();
    return home == u"/" ? home + relative : home + u'/' + relative;
}

QString flatpakApplications()
{
    return inHome(QStringLiteral(".var/app"));
}

QString patternFor(const QString &path)
{
    return Destination::literalPattern(Destination::tildeForm(path));
}

bool exists(const QString &path)
{
    struct stat info;
    return ::stat(LocalPath::encode(path).constData(), &info) == 0;
}

QStringList childDirectories(const QString &folder)
{
    QStringList names;
    const QByteArray encoded = LocalPath::encode(folder);
    DIR *dir = ::opendir(encoded.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info;
            const QByteArray path = encoded + '/' + entry->d_name;
            isDirectory = ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        if (isDirectory)
            names.append(LocalPath::decode(entry->d_name));
    }
    ::closedir(dir);
    return names;
}

} // namespace ExcludeDetection

} // namespace vellmir
