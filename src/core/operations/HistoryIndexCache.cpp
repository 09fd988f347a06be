#include "operations/HistoryIndexFormat.h"

#include "config/FileLock.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/Log.h"

#include <fcntl.h>
#include <malloc.h>
#include <mutex>
#include <sys/stat.h>

namespace vellmir::historyindex {

std::optional<FileStamp> folderStamp(const QString &directory)
{
    struct stat info { };
    if (::stat(LocalPath::encode(directory).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return FileStamp::of(info);
}

} // namespace vellmir::historyindex

namespace vellmir {

namespace {

std::mutex &cacheMutex()
{
    static std::mutex mutex;
    return mutex;
}

// The indexes this process has read or built, by folder; a few folders at most in practice.
QHash<QString, std::shared_ptr<const HistoryIndex>> &cache()
{
    static QHash<QString, std::shared_ptr<const HistoryIndex>> indexes;
    return indexes;
}

void remember(const QString &directory, std::shared_ptr<const HistoryIndex> index)
{
    constexpr qsizetype maximumCachedFolders = 16;
    const std::lock_guard guard(cacheMutex());
    if (!cache().contains(directory) && cache().size() >= maximumCachedFolders)
        cache().clear();
    cache().insert(directory, std::move(index));
}

// Gives the memory a rebuild or rewrite used for the whole index back to the system: a
// long-running process would otherwise keep its peak for good.
void returnFreedMemory()
{
    ::malloc_trim(0);
}

// The indexes the answer under way on this thread has read, while a HistoryIndex::Call lives.
thread_local int callDepth = 0;
thread_local QHash<QString, std::shared_ptr<const HistoryIndex>> callIndexes;

std::shared_ptr<const HistoryIndex> forThisCall(const QString &directory, std::shared_ptr<const HistoryIndex> index)
{
    if (callDepth > 0)
        callIndexes.insert(directory, index);
    return index;
}

QString lockPath(const QString &directory)
{
    return HistoryIndex::pathFor(directory) + QStringLiteral(".lock");
}

} // namespace

std::shared_ptr<HistoryIndex> HistoryIndexAccess::stored(const QString &directory)
{
    try {
        struct stat info { };
        auto index = std::make_shared<HistoryIndex>();
        index->m_file
            = openRegularFile(AT_FDCWD, LocalPath::encode(HistoryIndex::pathFor(directory)), FileBound::index, info);
        return attach(*index, quint64(info.st_size)) ? index : nullptr;
    } catch (const Error &) {
        return nullptr;
    }
}

bool HistoryIndexAccess::trusted(const HistoryIndex &index, const FileStamp &folder)
{
    if (!index.m_attached)
        return false;
    return settledOf(index) && folderOf(index) == folder;
}

std::shared_ptr<HistoryIndex> HistoryIndexAccess::store(const QString &directory, QByteArray bytes,
    const FileStamp &folder, bool locked, const QList<QByteArray> &leftovers)
{
    try {
        std::optional<FileLock> lock;
        if (!locked)
            lock.emplace(lockPath(directory), true);
        removeLeftoverTemporaries(HistoryIndex::pathFor(directory), QStringLiteral("history"));
        if (folderStamp(directory) == folder) {
            // Records are written under this lock too, and none was since the listing: its
            // temporary files are what killed writes left.
            for (const QByteArray &name : leftovers) {
                if (::unlink(LocalPath::encode(directory + u'/' + LocalPath::decode(name)).constData()) == 0)
                    logLine(QStringLiteral("history"),
                        QStringLiteral("removed the leftover temporary file ") + LocalPath::decode(name));
            }
            writeFileAtomically(HistoryIndex::pathFor(directory), bytes, 0600, Kept::cache);
            std::shared_ptr<HistoryIndex> written = stored(directory);
            if (written && bytes.startsWith(written->m_header))
                return written;
        }
    } catch (const std::exception &error) {
        // A folder that takes no index is still listed, only at the cost of a rebuild each
        // time: said once, not at every listing.
        static std::mutex mutex;
        static QSet<QString> told;
        const std::lock_guard guard(mutex);
        if (!told.contains(directory)) {
            told.insert(directory);
            logLine(QStringLiteral("history"),
                QStringLiteral("could not write the history index; the history is read from its files instead: ")
                    + errorDescription(error));
        }
    }
    return fromBytes(std::move(bytes));
}

std::shared_ptr<const HistoryIndex> HistoryIndex::current(const QString &directory, const Clock &now, bool rebuild)
{
    const std::optional<FileStamp> folder = folderStamp(directory);
    std::shared_ptr<const HistoryIndex> previous;
    {
        const std::lock_guard guard(cacheMutex());
        previous = cache().value(directory);
    }
    if (folder && !rebuild && callDepth > 0) {
        // Within one answer a folder that has not settled is read once: what changes meanwhile
        // is the next answer's.
        const auto read = callIndexes.constFind(directory);
        if (read != callIndexes.cend() && (*read)->m_attached && HistoryIndexAccess::folderOf(**read) == *folder)
            return *read;
    }
    if (folder && !rebuild && previous && HistoryIndexAccess::trusted(*previous, *folder))
        return forThisCall(directory, previous);
    if (folder && !rebuild) {
        if (std::shared_ptr<const HistoryIndex> stored = HistoryIndexAccess::stored(directory)) {
            previous = stored;
            if (HistoryIndexAccess::trusted(*stored, *folder)) {
                remember(directory, stored);
                return forThisCall(directory, stored);
            }
        }
    }
    // One reader brings the index up to date at a time; one that waited for it takes what it wrote
    // when that describes the folder as it is now.
    std::optional<FileLock> lock;
    if (folder) {
        struct stat before { };
        const bool had = ::stat(LocalPath::encode(pathFor(directory)).constData(), &before) == 0;
        try {
            lock.emplace(lockPath(directory), true);
        } catch (const std::exception &) {
            // Without the lock the index is still brought up to date, only not written.
        }
        struct stat after { };
        const bool has = lock && ::stat(LocalPath::encode(pathFor(directory)).constData(), &after) == 0;
        if (has && !rebuild
            && (!had || before.st_ino != after.st_ino || before.st_size != after.st_size
                || before.st_mtim.tv_nsec != after.st_mtim.tv_nsec || before.st_mtim.tv_sec != after.st_mtim.tv_sec))
            if (std::shared_ptr<const HistoryIndex> written = HistoryIndexAccess::stored(directory)) {
                if (const std::optional<FileStamp> present = folderStamp(directory);
                    present && HistoryIndexAccess::folderOf(*written) == *present) {
                    remember(directory, written);
                    return forThisCall(directory, written);
                }
                previous = written;
            }
    }
    std::shared_ptr<const HistoryIndex> fresh
        = HistoryIndexAccess::built(directory, rebuild || !previous ? nullptr : previous.get(), now, lock.has_value());
    lock.reset();
    remember(directory, fresh);
    previous.reset();
    returnFreedMemory();
    return forThisCall(directory, fresh);
}

HistoryIndex::Call::Call()
{
    ++callDepth;
}

HistoryIndex::Call::~Call()
{
    if (--callDepth == 0)
        callIndexes.clear();
}

void HistoryIndex::update(
    const QString &directory, const QByteArray &name, const BackupRecord &record, const std::function<void()> &write)
{
    callIndexes.remove(directory);
    std::optional<FileLock> lock;
    try {
        lock.emplace(lockPath(directory), true);
    } catch (const std::exception &) {
        // Without the lock the record is still written; the next listing rebuilds the index.
    }
    const std::optional<FileStamp> before = lock ? folderStamp(directory) : std::nullopt;
    std::shared_ptr<const HistoryIndex> previous;
    if (before) {
        {
            const std::lock_guard guard(cacheMutex());
            previous = cache().value(directory);
        }
        if (!previous || !HistoryIndexAccess::trusted(*previous, *before))
            previous = HistoryIndexAccess::stored(directory);
        if (previous && !HistoryIndexAccess::trusted(*previous, *before))
            previous.reset();
    }
    write();
    if (!previous)
        return;
    // Only our writers change the folder, each under this lock, so the folder now differs from
    // what the index described by this one file. (Another program changing it meanwhile would go
    // unseen until the folder is rebuilt for another reason; nothing of ours does.)
    const std::optional<FileStamp> after = folderStamp(directory);
    struct stat info { };
    if (!after || ::stat(LocalPath::encode(directory + u'/' + LocalPath::decode(name)).constData(), &info) != 0
        || !S_ISREG(info.st_mode))
        return;
    // Most writes add one entry at the end; now and then the entries added are merged.
    if (HistoryIndexAccess::append(directory, *previous, name, record, info, *after)) {
        std::shared_ptr<HistoryIndex> appended = HistoryIndexAccess::stored(directory);
        if (appended && HistoryIndexAccess::trusted(*appended, *after)) {
            remember(directory, std::move(appended));
            return;
        }
    }
    std::optional<HistoryIndexAccess::Loaded> loaded = HistoryIndexAccess::load(*previous);
    if (!loaded)
        return; // an entry is not whole: the next listing rebuilds
    // The file written is the run's own: its earlier entry goes, and so does a copy of it under
    // another name, which is no second run.
    const QByteArray id = record.id.toRfc4122();
    std::vector<bool> kept(size_t(loaded->count), true);
    for (qsizetype i = 0; i < loaded->count; ++i) {
        const RawEntry &raw = loaded->raw(i);
        kept[size_t(i)] = std::memcmp(raw.id, id.constData(), 16) != 0
            && (!(raw.flags & hasOwnName) || loaded->ownName(raw) != name);
    }
    QByteArray bytes = HistoryIndexAccess::merged(
        previous.get(), &*loaded, kept, { Added { name, Outline::of(record), FileStamp::of(info) } }, *after, true);
    loaded.reset();
    remember(directory, HistoryIndexAccess::store(directory, std::move(bytes), *after, true));
    previous.reset();
    returnFreedMemory();
}

void HistoryIndex::clearCache()
{
    const std::lock_guard guard(cacheMutex());
    cache().clear();
}

} // namespace vellmir
