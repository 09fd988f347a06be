#include "config/FileLock.h"

#include "config/Destination.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/ShutdownSignals.h"
#include "util/SystemError.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vellmir {

namespace {

// Waits for the lock on `fd`: 0 once it is taken, EWOULDBLOCK when the wait's bound passed first,
// ECANCELED when the process was asked to stop, or the errno of a failing flock. It polls rather
// than blocks in flock(), which no signal ends (the shutdown handler restarts it) and which a
// holder stopped with Ctrl-Z would keep waiting for ever.
int waitForLock(int fd)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + FileLock::waitLimit;
    auto pause = std::chrono::milliseconds(1);
    while (true) {
        if (ShutdownSignals::received())
            return ECANCELED;
        if (Clock::now() >= deadline)
            return EWOULDBLOCK;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return errno;
    }
}

} // namespace

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
    if (fd < 0 && errno == EROFS) {
        // Nothing on a read-only file system can be written, by us or anyone, so what waits for
        // this lock only reads, and goes on: a lock file that exists is locked as well through a
        // read-only descriptor, and one that does not can be held by no one.
        fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            return;
    }
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        throw Error(QStringLiteral("Could not open operation lock: %1 is not a regular file; remove it, then retry.")
                        .arg(path));
    }
    if (fd < 0)
        throw Error(QStringLiteral("Could not open operation lock: ") + systemErrorText(errno));
    int error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (error == EWOULDBLOCK && wait)
        error = waitForLock(fd);
    if (error != 0) {
        ::close(fd);
        // Only a lock that another holds is busy; a wait cut short or a refusal says what it was.
        if (error == EWOULDBLOCK)
            throw Error(busyMessage(), ErrorKind::busy);
        if (error == ECANCELED)
            throw CancellationError();
        throw Error(QStringLiteral("Could not take operation lock: ") + systemErrorText(error));
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

} // namespace vellmir
