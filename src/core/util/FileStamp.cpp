#include "util/FileStamp.h"

#include "util/LocalPath.h"

#include <sys/stat.h>

namespace vellmir {

FileStamp FileStamp::of(const QString &path)
{
    struct stat status { };
    if (::stat(LocalPath::encode(path).constData(), &status) != 0)
        return {};
    return of(status);
}

FileStamp FileStamp::of(const struct stat &status)
{
    FileStamp stamp;
    stamp.exists = true;
    stamp.size = qint64(status.st_size);
    stamp.modified = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    stamp.changed = qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    stamp.inode = quint64(status.st_ino);
    stamp.device = quint64(status.st_dev);
    return stamp;
}

QList<FileStamp> FileStamp::of(const QStringList &paths)
{
    QList<FileStamp> stamps;
    stamps.reserve(paths.size());
    for (const QString &path : paths)
        stamps.append(of(path));
    return stamps;
}

} // namespace vellmir
