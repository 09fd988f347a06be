#include "operations/HistoryIndex.h"

#include "config/FileLock.h"
#include "operations/FolderReader.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/FileStamp.h"
#include "util/LocalPath.h"

#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace vellmir {

QString HistoryIndex::setAsideSuffix()
{
    return FolderReader::damagedSuffix();
}

namespace {

// The file is a cache of this machine only, so it holds plain native numbers: a header, a table
// of destinations (where each one's entries begin, how many there are and what the due rules need
// of them all), one fixed-size entry per record file (grouped by destination, newest first) and
// the names and scopes the entries point into. The header covers itself and the table with a
// checksum; each entry has its own, over itself and the bytes it points to, checked when it is used.
constexpr char magic[8] = { 'V', 'H', 'I', 'X', 0, 0, 0, 4 };

// A FileStamp as the file holds it.
struct StoredStamp {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modified = 0;
    qint64 changed = 0;

    static StoredStamp of(const FileStamp &stamp)
    {
        return StoredStamp { stamp.device, stamp.inode, stamp.size, stamp.modified, stamp.changed };
    }
    FileStamp stamp() const
    {
        FileStamp stamp;
        stamp.exists = true;
        stamp.device = device;
        stamp.inode = inode;
        stamp.size = size;
        stamp.modified = modified;
        stamp.changed = changed;
        return stamp;
    }
};

struct Header {
    char magic[8];
    StoredStamp folder;
    quint64 settled;
    quint64 destinations;
    quint64 count;
    quint64 blobSize;
    quint64 checksum; // of the header (this field zero) and the destination table
};

struct Range {
    char destination[16];
    quint64 first;
    quint64 count;
    quint64 running; // how many of them say "running"
    quint64 pruned; // whether any has a prunedAt
    double latestPrune;
};

constexpr quint32 hasFinished = 1;
constexpr quint32 hasPruned = 2;
constexpr quint32 hasScope = 4;

struct RawEntry {
    char destination[16];
    char id[16];
    double startedAt;
    double finishedAt;
    double prunedAt;
    quint32 nameOffset;
    quint32 nameLength;
    quint32 scopeOffset;
    quint32 scopeLength;
    quint32 flags;
    quint32 outcome;
    StoredStamp file;
    quint64 checksum; // of the entry (this field zero), its name and its scope
};

static_assert(std::is_trivially_copyable_v<
                  Header> && std::is_trivially_copyable_v<RawEntry> && std::is_trivially_copyable_v<Range>);

quint64 checksum(const char *data, qsizetype size, quint64 hash = 14695981039346656037ULL)
{
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word;
        std::memcpy(&word, data + i, 8);
        hash = (hash ^ word) * 1099511628211ULL;
    }
    for (; i < size; ++i)
        hash = (hash ^ quint8(data[i])) * 1099511628211ULL;
    return hash;
}

// Adding, removing or replacing an entry sets the folder's modification time to the clock of
// that moment, so a folder modified long enough before the reading began cannot have been changed
// later in the same tick without its time moving on. Far above the file system's timestamp
// granularity.
constexpr double settleSeconds = 1.0;

bool settledBefore(const FileStamp &folder, Date started)
{
    return started.secondsSince(Date::fromUnix(double(folder.modified) / 1e9)) > settleSeconds;
}

std::optional<FileStamp> folderStamp(const QString &directory)
{
    struct stat info { };
    if (::stat(LocalPath::encode(directory).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return FileStamp::of(info);
}

BackupRecord outlineOf(const BackupRecord &record)
{
    BackupRecord outline;
    outline.id = record.id;
    outline.destinationID = record.destinationID;
    outline.startedAt = record.startedAt;
    outline.finishedAt = record.finishedAt;
    outline.outcome = record.outcome;
    outline.scope = record.scope;
    outline.prunedAt = record.prunedAt;
    return outline;
}

quint64 entryChecksum(RawEntry entry, const char *blob)
{
    entry.checksum = 0;
    quint64 hash = checksum(reinterpret_cast<const char *>(&entry), sizeof entry);
    hash = checksum(blob + entry.nameOffset, entry.nameLength, hash);
    return checksum(blob + entry.scopeOffset, entry.scopeLength, hash);
}

// An index taken apart: its entries, grouped by destination and newest first within each, and
// the names and scopes they point into. The destination table follows from the entries.
struct Parts {
    QList<RawEntry> entries;
    QByteArray blob;
};

// A new entry for `outline`, its name and scope appended to the blob unless `scopeAt` gives
// where its scope is already.
RawEntry rawEntry(const QByteArray &name, const BackupRecord &outline, const FileStamp &file, QByteArray &blob,
    std::optional<quint32> scopeAt = std::nullopt)
{
    RawEntry raw {};
    std::memcpy(raw.destination, outline.destinationID.toRfc4122().constData(), 16);
    std::memcpy(raw.id, outline.id.toRfc4122().constData(), 16);
    raw.startedAt = outline.startedAt.seconds;
    raw.finishedAt = outline.finishedAt ? outline.finishedAt->seconds : 0;
    raw.prunedAt = outline.prunedAt ? outline.prunedAt->seconds : 0;
    raw.flags = (outline.finishedAt ? hasFinished : 0u) | (outline.prunedAt ? hasPruned : 0u)
        | (outline.scope ? hasScope : 0u);
    raw.outcome = quint32(outline.outcome);
    raw.nameOffset = quint32(blob.size());
    raw.nameLength = quint32(name.size());
    blob.append(name);
    if (outline.scope) {
        const QByteArray scope = outline.scope->toUtf8();
        if (!scopeAt) {
            scopeAt = quint32(blob.size());
            blob.append(scope);
        }
        raw.scopeOffset = *scopeAt;
        raw.scopeLength = quint32(scope.size());
    }
    raw.file = StoredStamp::of(file);
    raw.checksum = entryChecksum(raw, blob.constData());
    return raw;
}

QByteArray assembled(const Parts &parts, const FileStamp &folder, bool settled)
{
    QList<Range> ranges;
    for (qsizetype i = 0; i < parts.entries.size(); ++i) {
        const RawEntry &raw = parts.entries.at(i);
        if (ranges.isEmpty() || std::memcmp(ranges.last().destination, raw.destination, 16) != 0) {
            Range range {};
            std::memcpy(range.destination, raw.destination, 16);
            range.first = quint64(i);
            ranges.append(range);
        }
        Range &range = ranges.last();
        ++range.count;
        if (raw.outcome == quint32(BackupRecord::Outcome::running))
            ++range.running;
        if ((raw.flags & hasPruned) && (!range.pruned || raw.prunedAt > range.latestPrune)) {
            range.pruned = 1;
            range.latestPrune = raw.prunedAt;
        }
    }

    Header header {};
    std::memcpy(header.magic, magic, sizeof magic);
    header.folder = StoredStamp::of(folder);
    header.settled = settled ? 1 : 0;
    header.destinations = quint64(ranges.size());
    header.count = quint64(parts.entries.size());
    header.blobSize = quint64(parts.blob.size());
    QByteArray bytes;
    bytes.reserve(qsizetype(sizeof header) + ranges.size() * qsizetype(sizeof(Range))
        + parts.entries.size() * qsizetype(sizeof(RawEntry)) + parts.blob.size());
    bytes.append(reinterpret_cast<const char *>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char *>(ranges.constData()), ranges.size() * qsizetype(sizeof(Range)));
    header.checksum = checksum(bytes.constData(), bytes.size());
    std::memcpy(bytes.data(), &header, sizeof header);
    bytes.append(
        reinterpret_cast<const char *>(parts.entries.constData()), parts.entries.size() * qsizetype(sizeof(RawEntry)));
    bytes.append(parts.blob);
    return bytes;
}

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

QString lockPath(const QString &directory)
{
    return HistoryIndex::pathFor(directory) + QStringLiteral(".lock");
}

} // namespace

// Reading the raw layout is kept beside the class so the header stays free of it. Every offset
// was checked against the bytes when they were attached (the table) or is checked where it is
// used (the entries), and the bytes are this process's own, so nothing can move them meanwhile.
struct HistoryIndexAccess {
    static const char *data(const HistoryIndex &index) { return index.m_bytes.constData(); }
    static Header header(const HistoryIndex &index)
    {
        Header header;
        std::memcpy(&header, data(index), sizeof header);
        return header;
    }
    static Range range(const HistoryIndex &index, qsizetype i)
    {
        Range range;
        std::memcpy(&range, data(index) + sizeof(Header) + i * qsizetype(sizeof(Range)), sizeof range);
        return range;
    }
    static std::optional<Range> rangeOf(const HistoryIndex &index, const QUuid &destinationID)
    {
        const QByteArray wanted = destinationID.toRfc4122();
        for (qsizetype i = 0; i < index.m_destinations; ++i) {
            const Range each = range(index, i);
            if (std::memcmp(each.destination, wanted.constData(), 16) == 0)
                return each;
        }
        return std::nullopt;
    }
    static qsizetype entriesAt(const HistoryIndex &index)
    {
        return qsizetype(sizeof(Header)) + index.m_destinations * qsizetype(sizeof(Range));
    }
    static RawEntry raw(const HistoryIndex &index, qsizetype i)
    {
        RawEntry entry;
        std::memcpy(&entry, data(index) + entriesAt(index) + i * qsizetype(sizeof(RawEntry)), sizeof entry);
        return entry;
    }
    static const char *blob(const HistoryIndex &index)
    {
        return data(index) + entriesAt(index) + index.m_count * qsizetype(sizeof(RawEntry));
    }
    static qsizetype blobSize(const HistoryIndex &index) { return data(index) + index.m_bytes.size() - blob(index); }
    static QByteArray name(const HistoryIndex &index, const RawEntry &raw)
    {
        return QByteArray(blob(index) + raw.nameOffset, raw.nameLength);
    }
    static bool withinBlob(const HistoryIndex &index, const RawEntry &raw)
    {
        const quint64 size = quint64(blobSize(index));
        return quint64(raw.nameOffset) + raw.nameLength <= size && quint64(raw.scopeOffset) + raw.scopeLength <= size;
    }
    // Whether the entry is whole: within the index, as written, naming a known outcome and a
    // plain file name.
    static bool intact(const HistoryIndex &index, const RawEntry &raw)
    {
        return withinBlob(index, raw) && raw.outcome <= quint32(BackupRecord::Outcome::cancelled)
            && entryChecksum(raw, blob(index)) == raw.checksum && HistoryIndex::plainName(name(index, raw));
    }
    // The entry's outline; its scope from `scopes`, which keeps the few an index holds decoded.
    static BackupRecord outline(const HistoryIndex &index, const RawEntry &raw, QHash<quint32, QString> &scopes)
    {
        BackupRecord outline;
        outline.destinationID = QUuid::fromRfc4122(QByteArrayView(raw.destination, 16));
        outline.id = QUuid::fromRfc4122(QByteArrayView(raw.id, 16));
        outline.startedAt = Date { raw.startedAt };
        if (raw.flags & hasFinished)
            outline.finishedAt = Date { raw.finishedAt };
        if (raw.flags & hasPruned)
            outline.prunedAt = Date { raw.prunedAt };
        if (raw.flags & hasScope) {
            auto scope = scopes.constFind(raw.scopeOffset);
            if (scope == scopes.cend())
                scope
                    = scopes.insert(raw.scopeOffset, QString::fromUtf8(blob(index) + raw.scopeOffset, raw.scopeLength));
            outline.scope = *scope;
        }
        outline.outcome = BackupRecord::Outcome(raw.outcome);
        return outline;
    }

    // The index these bytes hold, or an empty one unless they are a whole index of this version,
    // its header and destination table as written.
    static std::shared_ptr<const HistoryIndex> fromBytes(QByteArray bytes)
    {
        auto index = std::make_shared<HistoryIndex>();
        const qsizetype size = bytes.size();
        if (size < qsizetype(sizeof(Header)))
            return index;
        Header header;
        std::memcpy(&header, bytes.constData(), sizeof header);
        const quint64 rest = quint64(size) - sizeof header;
        if (std::memcmp(header.magic, magic, sizeof magic) != 0 || header.destinations > rest / sizeof(Range)
            || header.count > rest / sizeof(RawEntry)
            || header.destinations * sizeof(Range) + header.count * sizeof(RawEntry) + header.blobSize != rest)
            return index;
        const quint64 stored = header.checksum;
        header.checksum = 0;
        const qsizetype tableSize = qsizetype(header.destinations * sizeof(Range));
        if (checksum(bytes.constData() + sizeof header, tableSize,
                checksum(reinterpret_cast<const char *>(&header), sizeof header))
            != stored)
            return index;
        auto attached = std::make_shared<HistoryIndex>();
        attached->m_bytes = std::move(bytes);
        attached->m_destinations = qsizetype(header.destinations);
        attached->m_count = qsizetype(header.count);
        for (qsizetype i = 0; i < attached->m_destinations; ++i) {
            const Range each = range(*attached, i);
            if (each.first > header.count || each.count > header.count - each.first)
                return index;
        }
        return attached;
    }

    // The index stored for `directory`, read whole into memory of our own, or nullptr when there
    // is none whole.
    static std::shared_ptr<const HistoryIndex> stored(const QString &directory)
    {
        const QFileInfo path(HistoryIndex::pathFor(directory));
        try {
            const FolderReader folder(path.path(), QStringLiteral("data"), FolderReader::Listing::none);
            struct stat info { };
            std::shared_ptr<const HistoryIndex> index
                = fromBytes(folder.read(LocalPath::encode(path.fileName()), info, FileBound::index));
            return index->m_bytes.isEmpty() ? nullptr : index;
        } catch (const Error &) {
            return nullptr;
        }
    }

    static bool trusted(const HistoryIndex &index, const FileStamp &folder)
    {
        if (index.m_bytes.isEmpty())
            return false;
        const Header stored = header(index);
        return stored.settled == 1 && stored.folder.stamp() == folder;
    }

    // Writes the index for `directory`, unless the folder has changed since `folder` (a writer got
    // in first, under the lock, and its index is the newer one). `locked`: the caller holds the
    // lock already.
    static void store(const QString &directory, const QByteArray &bytes, const FileStamp &folder, bool locked)
    {
        try {
            std::optional<FileLock> lock;
            if (!locked)
                lock.emplace(lockPath(directory), true);
            if (folderStamp(directory) == folder)
                writeFileAtomically(HistoryIndex::pathFor(directory), bytes);
        } catch (const std::exception &) {
            // A folder that takes no index is still listed, only at the cost of a rebuild each time.
        }
    }

    // The index built from the record files, reusing what `previous` knew of every file whose
    // stamp is unchanged. Record files that do not decode are set aside.
    static std::shared_ptr<const HistoryIndex> built(
        const QString &directory, const HistoryIndex *previous, const HistoryIndex::Clock &now)
    {
        const Date started = now();
        const FolderReader folder(directory, QStringLiteral("history"));
        if (!folder.exists())
            return std::make_shared<HistoryIndex>();
        QHash<QByteArray, RawEntry> known;
        if (previous) {
            known.reserve(previous->m_count);
            for (qsizetype i = 0; i < previous->m_count; ++i) {
                const RawEntry entry = raw(*previous, i);
                if (intact(*previous, entry))
                    known.insert(name(*previous, entry), entry);
            }
        }
        const FileStamp folderKey = FileStamp::of(folder.folderStatus());
        bool settled = settledBefore(folderKey, started);
        struct Built {
            QByteArray name;
            BackupRecord outline;
            FileStamp file;
        };
        QList<Built> built;
        built.reserve(folder.names().size());
        QHash<quint32, QString> scopes;
        for (const QByteArray &name : folder.names()) {
            if (!FolderReader::hasJsonExtension(name))
                continue;
            struct stat info { };
            if (const auto hit = known.constFind(name); hit != known.cend() && folder.status(name, info)) {
                if (hit->file.stamp() == FileStamp::of(info)) {
                    built.append(Built { name, outline(*previous, *hit, scopes), hit->file.stamp() });
                    continue;
                }
            }
            try {
                const QByteArray bytes = folder.read(name, info);
                try {
                    const BackupRecord record = BackupRecord::decoded(
                        bytes, QStringLiteral("The history record %1").arg(LocalPath::decode(name)));
                    built.append(Built { name, outlineOf(record), FileStamp::of(info) });
                } catch (const Error &error) {
                    folder.setAsideLogged(name, info, HistoryIndex::setAsideSuffix().toUtf8(),
                        QStringLiteral("history"), error.message(), QStringLiteral("It is left out of the history."));
                }
            } catch (const Error &error) {
                // Unreadable for now: left out of this index only, which the next listing rebuilds.
                folder.logOnce(name, QStringLiteral("history"), error.message());
                settled = false;
            }
        }
        std::stable_sort(built.begin(), built.end(), [](const Built &a, const Built &b) {
            if (a.outline.destinationID != b.outline.destinationID)
                return a.outline.destinationID < b.outline.destinationID;
            return a.outline.startedAt > b.outline.startedAt;
        });
        Parts parts;
        parts.entries.reserve(built.size());
        QHash<QString, quint32> scopeOffsets; // the few distinct scopes, stored once each
        for (const Built &each : built) {
            std::optional<quint32> scopeAt;
            if (each.outline.scope) {
                if (const auto offset = scopeOffsets.constFind(*each.outline.scope); offset != scopeOffsets.cend())
                    scopeAt = *offset;
                else
                    scopeOffsets.insert(*each.outline.scope, quint32(parts.blob.size() + each.name.size()));
            }
            parts.entries.append(rawEntry(each.name, each.outline, each.file, parts.blob, scopeAt));
        }
        QByteArray bytes = assembled(parts, folderKey, settled);
        store(directory, bytes, folderKey, false);
        return fromBytes(std::move(bytes));
    }

    // `index` with the entry of the file `name` (if any) replaced by one for `outline`, describing
    // the folder as `folder`.
    static QByteArray spliced(const HistoryIndex &index, const QByteArray &name, const BackupRecord &outline,
        const FileStamp &file, const FileStamp &folder)
    {
        Parts parts;
        parts.blob = QByteArray(blob(index), blobSize(index));
        parts.entries.resize(index.m_count);
        std::memcpy(parts.entries.data(), data(index) + entriesAt(index), index.m_count * sizeof(RawEntry));
        parts.entries.removeIf([&](const RawEntry &raw) {
            return raw.nameLength == quint32(name.size()) && withinBlob(index, raw)
                && std::memcmp(parts.blob.constData() + raw.nameOffset, name.constData(), size_t(name.size())) == 0;
        });

        const QByteArray destination = outline.destinationID.toRfc4122();
        const QByteArray scope = outline.scope ? outline.scope->toUtf8() : QByteArray();
        qsizetype at = 0;
        while (at < parts.entries.size() && std::memcmp(parts.entries.at(at).destination, destination.constData(), 16))
            ++at;
        // The destination's own records most likely share its scope already.
        std::optional<quint32> scopeAt;
        for (qsizetype i = at; i < parts.entries.size(); ++i) {
            const RawEntry &raw = parts.entries.at(i);
            if (std::memcmp(raw.destination, destination.constData(), 16) != 0)
                break;
            if (outline.scope && !scopeAt && (raw.flags & hasScope) && raw.scopeLength == quint32(scope.size())
                && withinBlob(index, raw)
                && std::memcmp(parts.blob.constData() + raw.scopeOffset, scope.constData(), size_t(scope.size())) == 0)
                scopeAt = raw.scopeOffset;
        }
        while (at < parts.entries.size() && !std::memcmp(parts.entries.at(at).destination, destination.constData(), 16)
            && parts.entries.at(at).startedAt >= outline.startedAt.seconds)
            ++at;
        parts.entries.insert(at, rawEntry(name, outline, file, parts.blob, scopeAt));
        return assembled(parts, folder, true);
    }
};

QString HistoryIndex::pathFor(const QString &directory)
{
    return directory + QStringLiteral(".index");
}

bool HistoryIndex::plainName(const QByteArray &name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\0');
}

std::shared_ptr<const HistoryIndex> HistoryIndex::current(const QString &directory, const Clock &now, bool rebuild)
{
    const std::optional<FileStamp> folder = folderStamp(directory);
    std::shared_ptr<const HistoryIndex> previous;
    {
        const std::lock_guard guard(cacheMutex());
        previous = cache().value(directory);
    }
    if (folder && !rebuild && previous && HistoryIndexAccess::trusted(*previous, *folder))
        return previous;
    if (folder && !rebuild) {
        if (std::shared_ptr<const HistoryIndex> stored = HistoryIndexAccess::stored(directory)) {
            previous = stored;
            if (HistoryIndexAccess::trusted(*stored, *folder)) {
                remember(directory, stored);
                return stored;
            }
        }
    }
    std::shared_ptr<const HistoryIndex> fresh = HistoryIndexAccess::built(
        directory, rebuild || !previous || previous->m_bytes.isEmpty() ? nullptr : previous.get(), now);
    remember(directory, fresh);
    return fresh;
}

void HistoryIndex::update(
    const QString &directory, const QByteArray &name, const BackupRecord &record, const std::function<void()> &write)
{
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
    QByteArray bytes = HistoryIndexAccess::spliced(*previous, name, outlineOf(record), FileStamp::of(info), *after);
    HistoryIndexAccess::store(directory, bytes, *after, true);
    remember(directory, HistoryIndexAccess::fromBytes(std::move(bytes)));
}

bool HistoryIndex::anyRunning(const QUuid &destinationID) const
{
    const std::optional<Range> range = HistoryIndexAccess::rangeOf(*this, destinationID);
    return range && range->running > 0;
}

std::optional<Date> HistoryIndex::latestPrune(const QUuid &destinationID) const
{
    const std::optional<Range> range = HistoryIndexAccess::rangeOf(*this, destinationID);
    if (!range || !range->pruned)
        return std::nullopt;
    return Date { range->latestPrune };
}

std::optional<QList<HistoryIndex::Entry>> HistoryIndex::entries(const QUuid &destinationID, qsizetype limit) const
{
    QList<Entry> entries;
    const std::optional<Range> range = HistoryIndexAccess::rangeOf(*this, destinationID);
    if (!range)
        return entries;
    const qsizetype count = limit < 0 ? qsizetype(range->count) : std::min(qsizetype(range->count), limit);
    entries.reserve(count);
    QHash<quint32, QString> scopes;
    for (qsizetype at = 0; at < count; ++at) {
        const RawEntry raw = HistoryIndexAccess::raw(*this, qsizetype(range->first) + at);
        if (!HistoryIndexAccess::intact(*this, raw) || std::memcmp(raw.destination, range->destination, 16) != 0)
            return std::nullopt;
        entries.append(Entry { HistoryIndexAccess::name(*this, raw), HistoryIndexAccess::outline(*this, raw, scopes) });
    }
    return entries;
}

std::optional<QList<BackupRecord>> HistoryIndex::outlines(const QUuid &destinationID, const QString &scope) const
{
    QList<BackupRecord> outlines;
    const std::optional<Range> range = HistoryIndexAccess::rangeOf(*this, destinationID);
    if (!range)
        return outlines;
    const QByteArray wanted = scope.toUtf8();
    const char *blob = HistoryIndexAccess::blob(*this);
    QHash<quint32, QString> scopes;
    bool found = false;
    quint64 running = 0;
    for (qsizetype at = 0; at < qsizetype(range->count) && !(found && running == range->running); ++at) {
        const RawEntry raw = HistoryIndexAccess::raw(*this, qsizetype(range->first) + at);
        if (!HistoryIndexAccess::intact(*this, raw) || std::memcmp(raw.destination, range->destination, 16) != 0)
            return std::nullopt;
        const bool isRunning = raw.outcome == quint32(BackupRecord::Outcome::running);
        running += isRunning ? 1 : 0;
        if (found && !isRunning)
            continue;
        outlines.append(HistoryIndexAccess::outline(*this, raw, scopes));
        found = found
            || (raw.outcome == quint32(BackupRecord::Outcome::complete) && (raw.flags & hasFinished)
                && (raw.flags & hasScope) && raw.scopeLength == quint32(wanted.size())
                && std::memcmp(blob + raw.scopeOffset, wanted.constData(), size_t(wanted.size())) == 0);
    }
    return outlines;
}

void HistoryIndex::clearCache()
{
    const std::lock_guard guard(cacheMutex());
    cache().clear();
}

bool HistoryIndex::agrees(const BackupRecord &record, const BackupRecord &outline)
{
    return outlineOf(record) == outline;
}

} // namespace vellmir
