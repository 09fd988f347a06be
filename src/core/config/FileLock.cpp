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
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// The locks this process holds, by path, with the work each holder named.
struct HeldHere {
    std::mutex mutex;
    std::condition_variable_any released;
    QHash<QString, QString> works; // one holder a path: the lock excludes the others
};

HeldHere &holders()
{
    // Never destroyed: a lock may still be let go while the process's statics are going.
    static auto *held = new HeldHere;
    return *held;
}

// Whether `pid` names a process that has not ended: one that ended and waits to be reaped (a
// zombie, state "Z" in /proc/<pid>/stat) has let go of everything. A pid we cannot tell about
// (0 or less, outside our view) lives.
bool processLives(int pid)
{
    if (pid <= 0)
        return true;
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return false;
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/stat";
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    char stat[512];
    const ssize_t got = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    const QByteArrayView text(stat, qMax<ssize_t>(got, 0));
    const qsizetype close = text.lastIndexOf(')'); // the name may hold anything, a ")" too
    return close < 0 || close + 2 >= text.size() || (text.at(close + 2) != 'Z' && text.at(close + 2) != 'X');
}

} // namespace

QString FileLock::busyMessage()
{
    return QStringLiteral("This repository is busy in another Vellmir operation. Try again after it finishes.");
}

QString FileLock::busyHereMessage(const QString &work)
{
    return QStringLiteral("This repository is busy with %1 that Vellmir is already running here. Try again after it "
                          "finishes.")
        .arg(work);
}

QString FileLock::workHere(const QString &path)
{
    const std::lock_guard guard(holders().mutex);
    return holders().works.value(path);
}

bool FileLock::waitUntilReleasedHere(const QString &path, std::stop_token stop)
{
    HeldHere &held = holders();
    std::unique_lock lock(held.mutex);
    // A shutdown signal stops no token of its own here: look for it now and then.
    const auto released = [&] { return held.works.value(path).isEmpty(); };
    while (!released()) {
        if (stop.stop_requested() || ShutdownSignals::received())
            return false;
        held.released.wait_for(lock, stop, std::chrono::milliseconds(200), released);
    }
    return !stop.stop_requested();
}

bool FileLock::heldFor(const QString &path, const std::function<bool(const QString &work)> &counts)
{
    const std::lock_guard guard(holders().mutex);
    const QString here = holders().works.value(path);
    if (!here.isEmpty())
        return counts(here);
    return heldAnywhere(path);
}

bool FileLock::heldAnywhere(const QString &path)
{
    struct stat info { };
    if (::lstat(LocalPath::encode(path).constData(), &info) != 0)
        return errno != ENOENT; // no file, no lock
    if (!S_ISREG(info.st_mode))
        return true;
    // The kernel's list reports a size of 0: it is read until it ends, within a bound.
    const int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    constexpr qsizetype bound = 8 << 20;
    QByteArray list;
    char chunk[16384];
    ssize_t got = 0;
    while (list.size() < bound && ((got = ::read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)))
        list.append(chunk, qMax<ssize_t>(got, 0));
    ::close(fd);
    if (got < 0 || list.size() >= bound)
        return true;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a line with "->" is a waiter, not a holder.
    const QByteArray file = QByteArray::number(major(info.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(info.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(info.st_ino));
    for (const QByteArray &line : list.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) != "FLOCK" || fields.at(5) != file)
            continue;
        // The lock names the process that took it, however many children share it since. A holder
        // that died leaves its lock to a child for the moments it takes to end (restic after its
        // Vellmir was killed): the work that took it is over. A pid outside our view reads 0 or less.
        if (processLives(fields.at(4).toInt()))
            return true;
    }
    return false;
}

FileLock::FileLock(const QString &path, bool wait, const QString &work)
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
    int error = 0;
    {
        // Taken and named at once: heldFor() never finds this process holding the lock under no name.
        const std::lock_guard guard(holders().mutex);
        error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
        if (error == 0)
            holders().works.insert(path, work);
    }
    if (error == EWOULDBLOCK && wait) {
        error = waitForLock(fd);
        const std::lock_guard guard(holders().mutex);
        if (error == 0)
            holders().works.insert(path, work);
    }
    if (error != 0) {
        ::close(fd);
        // Only a lock that another holds is busy; a wait cut short or a refusal says what it was.
        if (error == EWOULDBLOCK) {
            // Work of this process is no other operation: name it.
            const std::lock_guard guard(holders().mutex);
            const auto holder = holders().works.constFind(path);
            if (!work.isEmpty() && holder != holders().works.cend() && !holder->isEmpty())
                throw Error(busyHereMessage(*holder), ErrorKind::busy);
            throw Error(busyMessage(), ErrorKind::busy);
        }
        if (error == ECANCELED)
            throw CancellationError();
        throw Error(QStringLiteral("Could not take operation lock: ") + systemErrorText(error));
    }
    m_descriptor = fd;
    m_path = path;
}

FileLock::~FileLock()
{
    if (m_descriptor < 0)
        return;
    HeldHere &held = holders();
    {
        // Named and let go at once, as it was taken: a thread that takes the lock the instant it
        // is free names it after this one's name is gone, never to have its own name removed.
        const std::lock_guard guard(held.mutex);
        held.works.remove(m_path);
        ::flock(m_descriptor, LOCK_UN);
        ::close(m_descriptor);
    }
    held.released.notify_all();
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

std::unique_ptr<FileLock> FileLock::repository(const QString &repository, const QString &directory, const QString &work)
{
    return std::make_unique<FileLock>(repositoryLockPath(repository, directory), false, work);
}

} // namespace vellmir
