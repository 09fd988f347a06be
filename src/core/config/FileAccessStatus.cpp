#include "config/FileAccessStatus.h"

#include "util/LocalPath.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellmir::FileAccessStatus {

namespace {
bool canOpenForReading(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool canList(const QByteArray &path)
{
    DIR *dir = ::opendir(path.constData());
    if (!dir)
        return false;
    // Opening is not listing: a folder can be searchable yet unreadable.
    errno = 0;
    const bool listed = ::readdir(dir) != nullptr || errno == 0;
    ::closedir(dir);
    return listed;
}

void readThrough(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    // Only regular files are read: a FIFO or a device at one of these paths would never end.
    // The bytes are discarded, so they are read in pieces rather than held whole.
    struct stat info { };
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        char buffer[64 * 1024];
        while (::read(fd, buffer, sizeof buffer) > 0) { }
    }
    ::close(fd);
}

QByteArray below(const QString &home, const QString &relative)
{
    return LocalPath::encode(home + u'/' + relative);
}
} // namespace

const QStringList &probePaths()
{
    static const QStringList paths {
        QStringLiteral("Library/Safari/Bookmarks.plist"),
        QStringLiteral("Library/Safari/History.db"),
        QStringLiteral("Library/Safari/CloudTabs.db"),
        QStringLiteral("Library/Messages/chat.db"),
        QStringLiteral("Library/Mail"),
        QStringLiteral("Library/Application Support/com.apple.TCC/TCC.db"),
        QStringLiteral("Library/Cookies/Cookies.binarycookies"),
    };
    return paths;
}

const QStringList &registrationPaths()
{
    static const QStringList paths {
        QStringLiteral("Library/Application Support/com.apple.TCC/TCC.db"),
        QStringLiteral("Library/Safari/Bookmarks.plist"),
        QStringLiteral("Library/Mail"),
        QStringLiteral("Library/Messages/chat.db"),
        QStringLiteral("Library/Application Support/AddressBook"),
    };
    return paths;
}

bool isGranted()
{
    return true;
}

void registerByProbing() { }

void openSettings() { }

bool isGranted(const QString &home)
{
    for (const QString &relative : probePaths()) {
        const QByteArray path = below(home, relative);
        if (canOpenForReading(path) || canList(path))
            return true;
    }
    return false;
}

void registerByProbing(const QString &home)
{
    for (const QString &relative : registrationPaths()) {
        const QByteArray path = below(home, relative);
        readThrough(path);
        canList(path);
    }
}

} // namespace vellmir::FileAccessStatus
