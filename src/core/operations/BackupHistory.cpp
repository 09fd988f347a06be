#include "operations/BackupHistory.h"

#include "operations/FolderReader.h"
#include "operations/HistoryIndex.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace vellmir {

namespace {

// Views poll the history every few seconds, and every listing must see every record file of
// the folder. Writers only ever replace a record by renaming a complete file over it, so:
// - a file whose identity, size and times are unchanged still holds the record decoded
//   last time, and need not be read and decoded again;
// - a folder whose own identity and times are unchanged has had no file added, removed or
//   replaced, and need not even be read. Folder times have a coarse clock, so this holds only
//   when the folder had been left alone for a while before it was read ("settled"); a change
//   in the same clock tick as the reading could otherwise go unseen.
struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};
    timespec changed {};

    static FileKey of(const struct stat &info)
    {
        return FileKey { info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim };
    }
    bool operator==(const FileKey &other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
            && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

struct CachedRecord {
    QByteArray name;
    FileKey key;
    // The destination the file names; its record is decoded only once that destination is asked
    // about, so the records of destinations long removed cost a read, never a decoding.
    QUuid destinationID;
    std::optional<BackupRecord> record;
};

struct FolderState {
    FileKey key; // of the folder, taken before its entries were read
    bool settled = false;
    QList<CachedRecord> entries; // every record file, in folder order
};

constexpr qsizetype maximumCachedFolders = 16;
// Far above the file system's timestamp granularity.
constexpr double settleSeconds = 1.0;

std::mutex &cacheMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Shared, so a listing copies a folder's state by reference count only.
QHash<QString, std::shared_ptr<const FolderState>> &cache()
{
    static QHash<QString, std::shared_ptr<const FolderState>> folders;
    return folders;
}

std::shared_ptr<const FolderState> cachedState(const QString &directory)
{
    const std::lock_guard guard(cacheMutex());
    return cache().value(directory);
}

// Adding, removing or replacing an entry sets the folder's modification time to the clock of
// that moment, so a folder modified long enough before the reading began cannot have been
// changed later in the same tick without its time moving on.
bool settledBefore(const struct stat &info, Date started)
{
    const Date modified
        = Date::fromUnix(static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9);
    return started.secondsSince(modified) > settleSeconds;
}

QList<BackupRecord> matching(const FolderState &state, const QSet<QUuid> &wanted)
{
    QList<BackupRecord> records;
    for (const CachedRecord &entry : state.entries)
        if (entry.record && wanted.contains(entry.destinationID))
            records.append(*entry.record);
    return records;
}

// Whether every record of the wanted destinations is decoded already.
bool decodedFor(const FolderState &state, const QSet<QUuid> &wanted)
{
    return std::all_of(state.entries.cbegin(), state.entries.cend(),
        [&](const CachedRecord &entry) { return entry.record || !wanted.contains(entry.destinationID); });
}

// The destination a record file names, found without decoding it: the value of its only
// "destinationID" key, in a file without escapes, where no string can hold a quote and so
// that text can only be the key itself. Null when the bytes do not say it that plainly; the
// record must then be decoded to know.
QUuid namedDestination(const QByteArray &bytes)
{
    static const QByteArray key = QByteArrayLiteral("\"destinationID\"");
    if (bytes.contains('\\'))
        return {};
    const qsizetype at = bytes.indexOf(key);
    if (at < 0 || bytes.indexOf(key, at + key.size()) >= 0)
        return {};
    qsizetype i = at + key.size();
    const auto skipSpace = [&] {
        while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\n' || bytes[i] == '\r'))
            ++i;
    };
    skipSpace();
    if (i >= bytes.size() || bytes[i] != ':')
        return {};
    ++i;
    skipSpace();
    if (i >= bytes.size() || bytes[i] != '"')
        return {};
    const qsizetype end = bytes.indexOf('"', i + 1);
    if (end < 0)
        return {};
    return parseUuid(QString::fromUtf8(bytes.mid(i + 1, end - i - 1))).value_or(QUuid());
}

// A record file that holds no record (damaged on disk, edited by hand) must neither stop the
// schedule nor hide the other records: it is renamed out of the listing, kept for whoever wants
// to look at it, and the rest of the history goes on.
void setAside(const FolderReader &folder, const QByteArray &name, const struct stat &read, const Error &error)
{
    folder.setAsideLogged(name, read, BackupHistory::setAsideSuffix().toUtf8(), QStringLiteral("history"),
        error.message(), QStringLiteral("It is left out of the history."));
}

// Every record of the folder with one of the wanted destination ids, in folder order. Every
// json file is read (or known unchanged), but only the wanted destinations' records, and those
// whose destination the file does not plainly name, are decoded.
QList<BackupRecord> listFolder(const QString &directory, const QSet<QUuid> &wanted)
{
    const Date started = Date::now();
    const std::shared_ptr<const FolderState> previous = cachedState(directory);
    if (previous && previous->settled && decodedFor(*previous, wanted)) {
        struct stat info { };
        if (::stat(LocalPath::encode(directory).constData(), &info) == 0 && FileKey::of(info) == previous->key)
            return matching(*previous, wanted);
    }

    const FolderReader folder(directory, QStringLiteral("history"));
    if (!folder.exists()) {
        const std::lock_guard guard(cacheMutex());
        cache().remove(directory);
        return {};
    }

    QHash<QByteArray, const CachedRecord *> known;
    if (previous) {
        known.reserve(previous->entries.size());
        for (const CachedRecord &entry : previous->entries)
            known.insert(entry.name, &entry);
    }

    auto state = std::make_shared<FolderState>();
    state->key = FileKey::of(folder.folderStatus());
    state->settled = settledBefore(folder.folderStatus(), started);
    state->entries.reserve(folder.names().size());
    for (const QByteArray &name : folder.names()) {
        if (!FolderReader::hasJsonExtension(name))
            continue;
        struct stat info { };
        const CachedRecord *hit = known.value(name);
        if (hit && folder.status(name, info) && hit->key == FileKey::of(info)
            && (hit->record || !wanted.contains(hit->destinationID))) {
            state->entries.append(*hit);
            continue;
        }
        try {
            const QByteArray bytes = folder.read(name, info);
            const QUuid named = namedDestination(bytes);
            if (!named.isNull() && !wanted.contains(named)) {
                state->entries.append(CachedRecord { name, FileKey::of(info), named, std::nullopt });
                continue;
            }
            try {
                BackupRecord record = BackupRecord::decoded(
                    bytes, QStringLiteral("The history record %1").arg(LocalPath::decode(name)));
                const QUuid destinationID = record.destinationID;
                state->entries.append(CachedRecord { name, FileKey::of(info), destinationID, std::move(record) });
            } catch (const Error &error) {
                setAside(folder, name, info, error);
            }
        } catch (const Error &error) {
            // Unreadable for now (no permission, no descriptor to spare): left where it is, and
            // left out of this listing only, so the next listing must read the folder again.
            folder.logOnce(name, QStringLiteral("history"), error.message());
            state->settled = false;
        }
    }

    QList<BackupRecord> records = matching(*state, wanted);
    const std::lock_guard guard(cacheMutex());
    if (!cache().contains(directory) && cache().size() >= maximumCachedFolders)
        cache().clear();
    cache().insert(directory, std::move(state));
    return records;
}

} // namespace

BackupHistory::BackupHistory(const QString &directory)
    : m_directory(QDir::cleanPath(directory))
{
}

QString BackupHistory::filePath(const QUuid &recordID) const
{
    return m_directory + u'/' + uuidText(recordID) + QStringLiteral(".json");
}

namespace {

// The records made with the destination's current settings, in their order.
QList<BackupRecord> withCurrentScope(QList<BackupRecord> records, const Destination &destination)
{
    const QString scope = destination.backupScope();
    records.removeIf([&](const BackupRecord &record) { return !record.scope || *record.scope != scope; });
    return records;
}

void sortNewestFirst(QList<BackupRecord> &records)
{
    std::stable_sort(records.begin(), records.end(),
        [](const BackupRecord &a, const BackupRecord &b) { return a.startedAt > b.startedAt; });
}

} // namespace

QList<BackupRecord> BackupHistory::records(const QUuid &destinationID) const
{
    QList<BackupRecord> records = listFolder(m_directory, { destinationID });
    sortNewestFirst(records);
    return records;
}

QHash<QUuid, QList<BackupRecord>> BackupHistory::records(const QList<QUuid> &destinationIDs) const
{
    QHash<QUuid, QList<BackupRecord>> byDestination;
    const QSet<QUuid> wanted(destinationIDs.cbegin(), destinationIDs.cend());
    for (const BackupRecord &record : listFolder(m_directory, wanted))
        byDestination[record.destinationID].append(record);
    for (QList<BackupRecord> &records : byDestination)
        sortNewestFirst(records);
    return byDestination;
}

QList<BackupRecord> BackupHistory::records(const Destination &destination) const
{
    return withCurrentScope(records(destination.id), destination);
}

namespace {

// The destination's index entries; a damaged entry gets the index rebuilt from the files once.
// Nullopt when even the rebuilt one will not do (the files keep changing under it).
std::optional<QList<HistoryIndex::Entry>> indexed(const QString &directory, const QUuid &id, qsizetype limit)
{
    std::optional<QList<HistoryIndex::Entry>> entries = HistoryIndex::current(directory)->entries(id, limit);
    if (!entries)
        entries = HistoryIndex::current(directory, true)->entries(id, limit);
    return entries;
}

// The file's bytes through one open and a read or two (a listing may read many thousands);
// nullopt when it cannot be read.
std::optional<QByteArray> readWhole(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info { };
    QByteArray data;
    if (::fstat(fd, &info) == 0)
        data.resize(qsizetype(info.st_size > 0 ? info.st_size : 0) + 1);
    qsizetype used = 0;
    while (!data.isEmpty()) {
        if (used == data.size())
            data.resize(data.size() * 2);
        const ssize_t count = ::read(fd, data.data() + used, size_t(data.size() - used));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            ::close(fd);
            if (count < 0)
                return std::nullopt;
            data.resize(used);
            return data;
        }
        used += count;
    }
    ::close(fd);
    return std::nullopt;
}

// The records the entries describe, each read from its own file; nullopt unless every one is
// there, decodes and agrees with its entry.
std::optional<QList<BackupRecord>> readRecords(const QString &directory, const QList<HistoryIndex::Entry> &entries)
{
    QList<BackupRecord> records;
    records.reserve(entries.size());
    for (const HistoryIndex::Entry &entry : entries) {
        try {
            const QString name = LocalPath::decode(entry.name);
            const std::optional<QByteArray> bytes = readWhole(LocalPath::encode(directory) + '/' + entry.name);
            if (!bytes)
                return std::nullopt;
            BackupRecord record = BackupRecord::decoded(*bytes, QStringLiteral("The history record %1").arg(name));
            if (!HistoryIndex::agrees(record, entry.outline))
                return std::nullopt;
            records.append(std::move(record));
        } catch (const Error &) {
            return std::nullopt;
        }
    }
    return records;
}

} // namespace

QList<BackupRecord> BackupHistory::newest(const QUuid &destinationID, qsizetype limit) const
{
    for (const bool rebuild : { false, true }) {
        std::optional<QList<HistoryIndex::Entry>> entries = rebuild
            ? HistoryIndex::current(m_directory, true)->entries(destinationID, limit)
            : indexed(m_directory, destinationID, limit);
        if (!entries)
            break;
        if (std::optional<QList<BackupRecord>> records = readRecords(m_directory, *entries))
            return *records;
    }
    // The index and the files still disagree: the files decide.
    QList<BackupRecord> all = records(destinationID);
    if (limit >= 0 && all.size() > limit)
        all.resize(limit);
    return all;
}

bool BackupHistory::anyRunning(const QUuid &destinationID) const
{
    return HistoryIndex::current(m_directory)->anyRunning(destinationID);
}

QHash<QUuid, QList<BackupRecord>> BackupHistory::outlines(const QList<QUuid> &destinationIDs) const
{
    QHash<QUuid, QList<BackupRecord>> byDestination;
    // One index for the whole call: while the folder settles, each lookup would build it again.
    std::shared_ptr<const HistoryIndex> index = HistoryIndex::current(m_directory);
    for (const QUuid &id : destinationIDs) {
        if (byDestination.contains(id))
            continue;
        std::optional<QList<HistoryIndex::Entry>> entries = index->entries(id, -1);
        if (!entries) {
            index = HistoryIndex::current(m_directory, true);
            entries = index->entries(id, -1);
        }
        if (entries) {
            if (entries->isEmpty())
                continue;
            QList<BackupRecord> &outlines = byDestination[id];
            outlines.reserve(entries->size());
            for (const HistoryIndex::Entry &entry : *entries)
                outlines.append(entry.outline);
        } else if (QList<BackupRecord> all = records(id); !all.isEmpty()) {
            byDestination.insert(id, std::move(all));
        }
    }
    return byDestination;
}

QString BackupHistory::setAsideSuffix()
{
    return HistoryIndex::setAsideSuffix();
}

QStringList BackupHistory::setAsideRecords() const
{
    return FolderReader::namesContaining(m_directory, QStringLiteral("history"), ".json" + setAsideSuffix().toUtf8());
}

bool BackupHistory::isDue(const Destination &destination, Date now) const
{
    if (destination.schedule == Destination::Schedule::manual)
        return false;
    return isDue(destination, outlines({ destination.id }).value(destination.id), now);
}

bool BackupHistory::isDue(const Destination &destination, const QList<BackupRecord> &all, Date now)
{
    if (destination.schedule == Destination::Schedule::manual)
        return false;
    const QList<BackupRecord> records = withCurrentScope(all, destination);
    if (records.isEmpty())
        return true;

    const BackupRecord &newest = records.first();
    const Date lastRun = newest.finishedAt.value_or(newest.startedAt);
    if (now.secondsSince(lastRun) < minimumSpacing)
        return false;

    const BackupRecord *lastSuccess = nullptr;
    int failures = 0;
    for (const BackupRecord &record : records) {
        if (record.outcome == BackupRecord::Outcome::complete) {
            lastSuccess = &record;
            break;
        }
        if (record.outcome == BackupRecord::Outcome::incomplete || record.outcome == BackupRecord::Outcome::failed)
            ++failures;
    }

    const double interval = destination.schedule == Destination::Schedule::hourly ? 3600 : 86400;
    if (failures < failuresBeforeBackOff) {
        if (!lastSuccess || !lastSuccess->finishedAt)
            return true;
        return now.secondsSince(*lastSuccess->finishedAt) >= interval;
    }
    return now.secondsSince(lastRun) >= interval;
}

bool BackupHistory::isPruneDue(const Destination &destination, Date now) const
{
    std::optional<Date> latest;
    for (const BackupRecord &record : outlines({ destination.id }).value(destination.id))
        if (record.prunedAt && (!latest || *record.prunedAt > *latest))
            latest = record.prunedAt;
    if (!latest)
        return true;
    return now.secondsSince(*latest) >= pruneInterval;
}

void BackupHistory::clearCache()
{
    HistoryIndex::clearCache();
    const std::lock_guard guard(cacheMutex());
    cache().clear();
}

} // namespace vellmir
