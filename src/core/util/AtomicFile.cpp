#include "util/AtomicFile.h"

#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/SystemError.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <unistd.h>
#include <utility>

namespace vellmir {

namespace {

QString shownName(const QByteArray &name)
{
    const qsizetype slash = name.lastIndexOf('/');
    return LocalPath::decode(slash < 0 ? name : name.mid(slash + 1));
}

class Descriptor {
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    // Hands the descriptor over to the caller.
    int release() { return std::exchange(m_fd, -1); }
    // Closes now, for a caller that must see the close's own failure.
    int close()
    {
        const int result = ::close(m_fd);
        m_fd = -1;
        return result;
    }

private:
    int m_fd;
};

[[noreturn]] void unfitFile(const QByteArray &name, const QString &why)
{
    throw UnfitFileError(QStringLiteral("%1 is not read: %2.").arg(shownName(name), why));
}

[[noreturn]] void unreadable(const QByteArray &name, int error)
{
    throw Error(QStringLiteral("Could not read %1: %2.").arg(shownName(name), systemErrorText(error)));
}

QString largerThan(qsizetype bound)
{
    return QStringLiteral("it is larger than %1 bytes").arg(bound);
}

// The regular file opened for reading, or -1 when `missing` is given and nothing is at the name
// (ENOENT goes to it).
int openAt(int folder, const QByteArray &name, qsizetype bound, struct stat &info, bool *missing)
{
    // No link is followed and no FIFO waited on: a file of ours is a regular file, and anything
    // else in its place must not stall or redirect the reader.
    Descriptor fd(::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ENOENT && missing) {
            *missing = true;
            return -1;
        }
        if (error == ELOOP) {
            // The link's own status, so that a caller can set the link itself aside.
            ::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW);
            unfitFile(name, QStringLiteral("it is a link"));
        }
        if (error == ENXIO)
            unfitFile(name, QStringLiteral("it is not a regular file"));
        unreadable(name, error);
    }
    if (::fstat(fd.get(), &info) != 0)
        unreadable(name, errno);
    // A folder is left where it is and reported as before: nothing of ours is renamed over it.
    if (S_ISDIR(info.st_mode))
        unreadable(name, EISDIR);
    if (!S_ISREG(info.st_mode))
        unfitFile(name, QStringLiteral("it is not a regular file"));
    if (info.st_size > bound)
        unfitFile(name, largerThan(bound));
    return fd.release();
}

// The file, or nullopt when `missing` is given and nothing is at the name (ENOENT goes to it).
std::optional<QByteArray> readAt(int folder, const QByteArray &name, qsizetype bound, struct stat &info, bool *missing)
{
    const Descriptor fd(openAt(folder, name, bound, info, missing));
    if (fd.get() < 0)
        return std::nullopt;
    // Sized from the status with one spare byte, so a file read whole takes one call and the end
    // shows as a short read; a file that grew meanwhile is read on, up to its bound.
    QByteArray data;
    data.resize(qsizetype(info.st_size) + 1);
    qsizetype used = 0;
    while (true) {
        if (used == data.size()) {
            if (used > bound)
                unfitFile(name, largerThan(bound));
            data.resize(std::min(data.size() * 2, bound + 1));
        }
        const ssize_t count = ::read(fd.get(), data.data() + used, size_t(data.size() - used));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            unreadable(name, errno);
        }
        if (count == 0)
            break;
        used += count;
        if (used < data.size() && used >= info.st_size)
            break;
    }
    if (used > bound)
        unfitFile(name, largerThan(bound));
    data.truncate(used);
    return data;
}

// Whether the folder's entries reached the disk. Until they do, a power loss may bring back the
// old file, or none, after a rename: the new content is in place but not saved as promised.
// (EINVAL: a file system that cannot sync a folder, which then keeps nothing back.)
bool syncFolder(int folder)
{
    return ::fsync(folder) == 0 || errno == EINVAL;
}

// Creates one folder with mode 0700; true when it was created, false when it was there already.
bool makeFolder(const QByteArray &native, const QString &path)
{
    if (::mkdir(native.constData(), 0700) == 0) {
        // The umask may have taken the owner's own bits.
        ::chmod(native.constData(), 0700);
        return true;
    }
    const int error = errno;
    struct stat info { };
    if (::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode))
        return false;
    throw Error(QStringLiteral("Could not create the folder %1: %2.")
                    .arg(path, systemErrorText(error == EEXIST ? ENOTDIR : error)));
}

// The spare a cache keeps beside it (the copy its last write replaced), open for writing over:
// a large file written into pages the system still holds costs a fraction of one written into
// fresh pages. Taken only when it is a regular file of ours with no other name, so nothing that
// another name reaches is ever written through; anything else there is removed (only its name
// goes) and -1 returned.
int openSpare(int folder, const QByteArray &spare)
{
    struct stat named { };
    if (::fstatat(folder, spare.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (S_ISREG(named.st_mode) && named.st_nlink == 1 && named.st_uid == ::geteuid()) {
        const int file = ::openat(folder, spare.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat opened { };
        if (file >= 0 && ::fstat(file, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_nlink == 1
            && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino)
            return file;
        if (file >= 0)
            ::close(file);
    }
    ::unlinkat(folder, spare.constData(), 0);
    return -1;
}

// Renames `name` to `target` in `folder`, never over an entry named `target`: where the file
// system cannot refuse to replace, it looks first. -1 with errno EEXIST when the name is taken.
int renameNoReplace(int folder, const char *name, const char *target)
{
    const int result = ::renameat2(folder, name, folder, target, RENAME_NOREPLACE);
    if (result == 0 || errno != EINVAL)
        return result;
    struct stat taken { };
    if (::fstatat(folder, target, &taken, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(folder, name, folder, target);
}

} // namespace

void ensureDirectory(const QString &path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QByteArray native = LocalPath::encode(absolute);
    struct stat info { };
    if (::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode))
        return;
    // From the top down, so every folder made on the way is private too.
    for (qsizetype slash = native.indexOf('/', 1); slash > 0; slash = native.indexOf('/', slash + 1))
        makeFolder(native.left(slash), absolute);
    makeFolder(native, absolute);
}

void writeFileAtomically(const QString &path, const QByteArray &data, mode_t mode, Kept kept)
{
    const QFileInfo target(path);
    ensureDirectory(target.absolutePath());
    const QByteArray name = LocalPath::encode(target.fileName());
    auto fail = [&](int error) {
        throw Error(QStringLiteral("Could not write %1: %2.").arg(target.fileName(), systemErrorText(error)));
    };
    const Descriptor folder(
        ::open(LocalPath::encode(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        fail(errno);

    // A new file of our own beside the target, never one that was there: O_EXCL refuses a name
    // that exists, a link included. Named "<name>.~Ab12Cd", which never ends in ".json", is no
    // name a person gives a copy ("destinations.json.backup"), and is what the settings' cleanup
    // of leftovers looks for. A cache is written over its spare where there is a fit one.
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const QByteArray spare = name + ".~spare";
    int created = kept == Kept::cache ? openSpare(folder.get(), spare) : -1;
    QByteArray temporary = created >= 0 ? spare : QByteArray();
    for (int attempt = 0; attempt < 100 && created < 0; ++attempt) {
        temporary = name + ".~";
        for (int i = 0; i < 6; ++i)
            temporary += letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
        created
            = ::openat(folder.get(), temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (created < 0 && errno != EEXIST)
            fail(errno);
    }
    if (created < 0)
        fail(EEXIST);
    Descriptor file(created);
    auto failRemoving = [&](int error) {
        ::unlinkat(folder.get(), temporary.constData(), 0);
        fail(error);
    };
    // The umask may have taken bits the caller asked for.
    if (::fchmod(file.get(), mode) != 0)
        failRemoving(errno);
    for (qsizetype written = 0; written < data.size();) {
        const ssize_t count = ::write(file.get(), data.constData() + written, size_t(data.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            failRemoving(count < 0 ? errno : ENOSPC);
        written += count;
    }
    if (temporary == spare && ::ftruncate(file.get(), off_t(data.size())) != 0)
        failRemoving(errno);
    // A rename is only as good as the data behind it: push the bytes to disk first so a power
    // loss cannot leave an empty file under the final name.
    if (kept == Kept::durably && ::fsync(file.get()) != 0)
        failRemoving(errno);
    if (file.close() != 0)
        failRemoving(errno);
    if (kept == Kept::cache
        && ::renameat2(folder.get(), temporary.constData(), folder.get(), name.constData(), RENAME_EXCHANGE) == 0) {
        // The copy replaced is the next write's spare.
        if (temporary != spare && ::renameat(folder.get(), temporary.constData(), folder.get(), spare.constData()) != 0)
            ::unlinkat(folder.get(), temporary.constData(), 0);
        return;
    }
    // rename replaces whatever is at the name, a link as a link: its target is never touched.
    if (::renameat(folder.get(), temporary.constData(), folder.get(), name.constData()) != 0)
        failRemoving(errno);
    if (kept == Kept::durably && !syncFolder(folder.get()))
        fail(errno);
}

QString unfinishedMark()
{
    return QStringLiteral(" (unfinished)");
}

void renameWithoutReplacing(const QString &from, const QString &to)
{
    const QByteArray source = LocalPath::encode(from);
    const QByteArray target = LocalPath::encode(to);
    if (renameNoReplace(AT_FDCWD, source.constData(), target.constData()) != 0)
        throw Error(QStringLiteral("Could not rename %1 to %2: %3.").arg(from, to, systemErrorText(errno)));
}

void replaceByRename(const QString &from, const QString &to)
{
    const QFileInfo target(to);
    const Descriptor folder(
        ::open(LocalPath::encode(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0 || ::rename(LocalPath::encode(from).constData(), LocalPath::encode(to).constData()) != 0
        || !syncFolder(folder.get()))
        throw Error(QStringLiteral("Could not replace %1: %2.").arg(to, systemErrorText(errno)));
}

bool isTemporaryName(const QByteArray &name, const QByteArray &target)
{
    const qsizetype base = name.size() - 8;
    if (base < 1 || (!target.isEmpty() && (base != target.size() || !name.startsWith(target))) || name.at(base) != '.'
        || name.at(base + 1) != '~')
        return false;
    for (qsizetype i = base + 2; i < name.size(); ++i) {
        const char ch = name.at(i);
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9')))
            return false;
    }
    return true;
}

void removeLeftoverTemporaries(const QString &path, const QString &component)
{
    const QFileInfo target(path);
    const QByteArray name = LocalPath::encode(target.fileName());
    DIR *folder = ::opendir(LocalPath::encode(target.absolutePath()).constData());
    if (!folder)
        return; // nothing was ever written there
    while (const dirent *entry = ::readdir(folder)) {
        const QByteArray found(entry->d_name);
        if (isTemporaryName(found, name) && ::unlinkat(::dirfd(folder), entry->d_name, 0) == 0)
            logLine(component, QStringLiteral("removed the leftover temporary file ") + LocalPath::decode(found));
    }
    ::closedir(folder);
}

int openRegularFile(int folder, const QByteArray &name, qsizetype bound, struct stat &info)
{
    return openAt(folder, name, bound, info, nullptr);
}

QByteArray readRegularFile(int folder, const QByteArray &name, qsizetype bound, struct stat &info)
{
    return *readAt(folder, name, bound, info, nullptr);
}

std::optional<QByteArray> readFileIfExists(const QString &path, qsizetype bound)
{
    struct stat info { };
    bool missing = false;
    return readAt(AT_FDCWD, LocalPath::encode(path), bound, info, &missing);
}

bool readFileTail(const QString &path, qsizetype bound, const std::function<void(QByteArrayView)> &each)
{
    const QByteArray name = LocalPath::encode(path);
    struct stat info { };
    bool missing = false;
    const Descriptor fd(openAt(AT_FDCWD, name, std::numeric_limits<qsizetype>::max(), info, &missing));
    if (fd.get() < 0)
        return false;
    constexpr qsizetype piece = 256 * 1024;
    qint64 at = std::max<qint64>(0, qint64(info.st_size) - bound);
    const qint64 end = qint64(info.st_size);
    // Begun inside a line: whole lines only, so what comes before the first line feed is skipped.
    bool skipping = at > 0;
    QByteArray pending; // a line begun in an earlier piece
    QByteArray data(piece, Qt::Uninitialized);
    while (at < end) {
        const ssize_t count = ::pread(fd.get(), data.data(), size_t(std::min<qint64>(piece, end - at)), off_t(at));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            unreadable(name, errno);
        if (count == 0)
            break;
        at += count;
        const QByteArrayView read(data.constData(), count);
        qsizetype from = 0;
        for (qsizetype feed = read.indexOf('\n'); feed >= 0; feed = read.indexOf('\n', from)) {
            if (!skipping) {
                if (pending.isEmpty()) {
                    each(read.sliced(from, feed - from));
                } else {
                    pending.append(read.sliced(from, feed - from));
                    each(pending);
                    pending.clear();
                }
            }
            skipping = false;
            from = feed + 1;
        }
        if (!skipping)
            pending.append(read.sliced(from));
    }
    if (!pending.isEmpty())
        each(pending);
    return true;
}

std::optional<QByteArray> readOwnFile(const QString &path, qsizetype bound, const QString &component)
{
    try {
        return readFileIfExists(path, bound);
    } catch (const UnfitFileError &error) {
        const QByteArray native = LocalPath::encode(path);
        const QByteArray moved = setAsideAt(AT_FDCWD, native, ".unreadable");
        if (moved.isEmpty())
            throw;
        logLine(component, error.message() + QStringLiteral(" It was set aside as %1.").arg(shownName(moved)));
        return std::nullopt;
    }
}

QByteArray setAsideAt(int folder, const QByteArray &name, const QByteArray &suffix)
{
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const QByteArray target = name + suffix + (attempt == 1 ? QByteArray() : '-' + QByteArray::number(attempt));
        if (renameNoReplace(folder, name.constData(), target.constData()) == 0)
            return target;
        if (errno != EEXIST)
            return {};
    }
    return {};
}

} // namespace vellmir
