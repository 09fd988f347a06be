#include "operations/FolderReader.h"

#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/SystemError.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace vellmir {

FolderReader::FolderReader(const QString &path, const QString &what, Listing listing)
    : m_path(path)
{
    const QByteArray native = LocalPath::encode(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat info { };
        if ((error == ENOENT || error == ENOTDIR) && ::stat(native.constData(), &info) != 0
            && (errno == ENOENT || errno == ENOTDIR))
            return;
        throw Error(QStringLiteral("Could not list the %1 folder %2: %3.").arg(what, path, systemErrorText(error)));
    }
    if (::fstat(fd, &m_status) != 0) {
        const int error = errno;
        ::close(fd);
        throw Error(QStringLiteral("Could not list the %1 folder %2: %3.").arg(what, path, systemErrorText(error)));
    }
    if (listing == Listing::none) {
        m_descriptor = fd;
        return;
    }
    // fdopendir takes over a descriptor of its own; the one kept for openat stays ours.
    const int listFd = ::dup(fd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        const int error = errno;
        if (listFd >= 0)
            ::close(listFd);
        ::close(fd);
        throw Error(QStringLiteral("Could not list the %1 folder %2: %3.").arg(what, path, systemErrorText(error)));
    }
    m_descriptor = fd;
    while (true) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            const int error = errno;
            ::closedir(dir);
            if (error != 0) {
                ::close(m_descriptor);
                m_descriptor = -1;
                throw Error(
                    QStringLiteral("Could not list the %1 folder %2: %3.").arg(what, path, systemErrorText(error)));
            }
            break;
        }
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        m_names.append(QByteArray(name));
        m_inodes.append(quint64(entry->d_ino));
    }
}

FolderReader::~FolderReader()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool FolderReader::status(const QByteArray &name, struct stat &info) const
{
    return m_descriptor >= 0 && ::fstatat(m_descriptor, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

QByteArray FolderReader::read(const QByteArray &name, struct stat &info, qsizetype bound) const
{
    if (m_descriptor < 0)
        throw Error(QStringLiteral("Could not read %1: %2.").arg(LocalPath::decode(name), systemErrorText(ENOENT)));
    return readRegularFile(m_descriptor, name, bound, info);
}

bool FolderReader::remove(const QByteArray &name) const
{
    return m_descriptor >= 0 && ::unlinkat(m_descriptor, name.constData(), 0) == 0;
}

QByteArray FolderReader::setAside(const QByteArray &name, const struct stat &read, const QByteArray &suffix) const
{
    struct stat now { };
    if (!status(name, now) || now.st_dev != read.st_dev || now.st_ino != read.st_ino || now.st_size != read.st_size
        || now.st_mtim.tv_sec != read.st_mtim.tv_sec || now.st_mtim.tv_nsec != read.st_mtim.tv_nsec)
        return {};
    return setAsideAt(m_descriptor, name, suffix);
}

void FolderReader::setAsideLogged(const QByteArray &name, const struct stat &read, const QByteArray &suffix,
    const QString &component, const QString &problem, const QString &stays) const
{
    const QByteArray moved = setAside(name, read, suffix);
    if (moved.isEmpty())
        logOnce(name, component, problem + u' ' + stays);
    else
        logLine(component, problem + QStringLiteral(" It was set aside as %1.").arg(LocalPath::decode(moved)));
}

QStringList FolderReader::namesContaining(const QString &path, const QString &what, const QByteArray &marker)
{
    QStringList names;
    try {
        const FolderReader folder(path, what);
        for (const QByteArray &name : folder.names())
            if (name.contains(marker))
                names.append(LocalPath::decode(name));
    } catch (const Error &) {
        // Reported by whoever reads the folder itself.
    }
    names.sort();
    return names;
}

void FolderReader::logOnce(const QByteArray &name, const QString &component, const QString &message) const
{
    static std::mutex mutex;
    static QSet<QString> logged;
    {
        const std::lock_guard guard(mutex);
        const QString key = m_path + u'/' + LocalPath::decode(name);
        if (logged.contains(key))
            return;
        logged.insert(key);
    }
    logLine(component, message);
}

bool FolderReader::hasJsonExtension(const QByteArray &name)
{
    return name.size() > 5 && name.endsWith(".json");
}

} // namespace vellmir
