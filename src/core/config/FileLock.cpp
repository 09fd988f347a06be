#include "config/FileLock.h"

#include "config/Destination.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/SystemError.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellmir {

QString FileLock::busyMessage()
{
    return QStringLiteral("This repository is busy in another Vellmir operation. Try again after it finishes.");
}

FileLock::FileLock(const QString &path, bool wait)
{
    ensureDirectory(QFileInfo(path).absolutePath());
    const QByteArray native = LocalPath::encode(path);
    // A lock file holds nothing, so a link in its place is removed rather than followed: opening
    // through it would create or lock someone else's file.
    int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat info { };
    if (fd < 0 && errno == ELOOP && ::lstat(native.constData(), &info) == 0 && S_ISLNK(info.st_mode)
        && ::unlink(native.constData()) == 0)
        fd = ::open(native.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        throw Error(QStringLiteral("Could not open operation lock: %1 is not a regular file; remove it, then retry.")
                        .arg(path));
    }
    if (fd < 0)
        throw Error(QStringLiteral("Could not open operation lock: ") + systemErrorText(errno));
    if (::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw Error(busyMessage(), ErrorKind::busy);
    }
    m_descriptor = fd;
}

FileLock::~FileLock()
{
    if (m_descriptor >= 0) {
        ::flock(m_descriptor, LOCK_UN);
        ::close(m_descriptor);
    }
}

QString FileLock::normalizedRepository(const QString &repository)
{
    // One repository, one lock, however its local folder is written.
    const QString trimmed = Destination::localFolder(repository.trimmed());
    if (!trimmed.startsWith(u'/'))
        return trimmed;
    // Resolve symbolic links first and only then drop "." and "..": after a link, ".." means
    // the link target's parent, which is where restic itself ends up. A missing tail (a
    // repository not created yet) is cleaned textually below its longest existing ancestor.
    QString head = trimmed;
    QString tail;
    while (true) {
        char resolved[PATH_MAX];
        if (::realpath(LocalPath::encode(head).constData(), resolved)) {
            const QString result = LocalPath::decode(resolved);
            return tail.isEmpty() ? result : QDir::cleanPath(result + u'/' + tail);
        }
        const qsizetype slash = head.lastIndexOf(u'/');
        if (slash <= 0)
            return QDir::cleanPath(trimmed);
        tail = tail.isEmpty() ? head.mid(slash + 1) : head.mid(slash + 1) + u'/' + tail;
        head = head.left(slash);
    }
}

QString FileLock::repositoryLockPath(const QString &repository, const QString &directory)
{
    const QString folder = directory.isEmpty() ? AppPaths::locksDirectory() : directory;
    const QByteArray digest
        = QCryptographicHash::hash(normalizedRepository(repository).toUtf8(), QCryptographicHash::Sha256).toHex();
    return folder + u'/' + QString::fromLatin1(digest) + QStringLiteral(".lock");
}

std::unique_ptr<FileLock> FileLock::repository(const QString &repository, const QString &directory)
{
    return std::make_unique<FileLock>(repositoryLockPath(repository, directory), false);
}

bool FileLock::anyHeld(const QString &directory)
{
    const QStringList entries = QDir(directory).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QString &name : entries) {
        if (QFileInfo(name).suffix() != QStringLiteral("lock"))
            continue;
        const QByteArray native = LocalPath::encode(directory + u'/' + name);
        const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return true;
        }
        ::flock(fd, LOCK_UN);
        ::close(fd);
    }
    return false;
}

} // namespace vellmir
