#include "operations/HistoryIndex.h"

#include "config/FileLock.h"
#include "operations/FolderReader.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/FileStamp.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/Uuid.h"

#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace vellmir {

namespace {

// The file is a cache of this machine only, so it holds plain native numbers: a header, a table
// of destinations (where each one's entries begin, how many there are and what the due rules need
// of them all), a table of the few distinct scopes, one fixed-size entry per record file (grouped
// by destination, newest first) and the bytes the tables point into: the scopes, and the names of
// files not called "<id>.json". The header covers itself, the tables and the scopes with a
// checksum; each entry has its own, over itself and its name, seeded with the header's nonce, which
// is new at every write: an entry is only ever taken together with the header it was written with.
constexpr char magic[8] = { 'V', 'H', 'I', 'X', 0, 0, 0, 5 };

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
    quint64 nonce;
    quint64 destinations;
    quint64 scopes;
    quint64 count;
    quint64 blobSize;
    quint64 checksum; // of the header (this field zero), the tables and the scopes
};

struct Range {
    char destination[16];
    quint64 first;
    quint64 count;
    quint64 running; // how many of them say "running"
    quint64 pruned; // whether any has a prunedAt
    double latestPrune;
};

struct ScopeRef {
    quint32 offset;
    quint32 length;
};

constexpr quint32 hasFinished = 1;
constexpr quint32 hasPruned = 2;
constexpr quint32 hasScope = 4;
constexpr quint32 hasOwnName = 8; // named otherwise than "<id>.json"

struct RawEntry {
    char destination[16];
    char id[16];
    double startedAt;
    double finishedAt;
    double prunedAt;
    quint32 nameOffset;
    quint32 nameLength;
    quint32 scope; // its place in the scope table
    quint32 flags;
    quint32 outcome;
    quint32 unused;
    StoredStamp file;
    quint64 checksum; // seeded with the nonce: of the entry (this field zero) and its own name
};

static_assert(
    std::is_trivially_copyable_v<
        Header> && std::is_trivially_copyable_v<RawEntry> && std::is_trivially_copyable_v<Range> && std::is_trivially_copyable_v<ScopeRef>);

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

// The name a record's file has when named after the record, as our writer names it.
QByteArray standardName(const char *id)
{
    return (uuidText(QUuid::fromRfc4122(QByteArrayView(id, 16))) + QStringLiteral(".json")).toUtf8();
}

quint64 entryChecksum(RawEntry entry, QByteArrayView ownName, quint64 nonce)
{
    entry.checksum = 0;
    const quint64 hash = checksum(
        reinterpret_cast<const char *>(&entry), sizeof entry, checksum(reinterpret_cast<const char *>(&nonce), 8));
    return checksum(ownName.data(), ownName.size(), hash);
}

// An index taken apart, for writing: its entries, grouped by destination and newest first within
// each, each with its file's name, and the scopes they point to. Offsets, the destination table
// and checksums follow from these.
struct Part {
    RawEntry raw;
    QByteArray name;
};
struct Parts {
    QList<Part> entries;
    QList<QByteArray> scopes;
};

// A new entry for `outline`, its scope found in or added to `scopes`.
Part part(const QByteArray &name, const BackupRecord &outline, const FileStamp &file, QList<QByteArray> &scopes)
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
    if (outline.scope) {
        const QByteArray scope = outline.scope->toUtf8();
        qsizetype at = scopes.indexOf(scope);
        if (at < 0) {
            at = scopes.size();
            scopes.append(scope);
        }
        raw.scope = quint32(at);
    }
    raw.file = StoredStamp::of(file);
    return Part { raw, name };
}

QByteArray assembled(Parts parts, const FileStamp &folder, bool settled)
{
    Header header {};
    std::memcpy(header.magic, magic, sizeof magic);
    header.folder = StoredStamp::of(folder);
    header.settled = settled ? 1 : 0;
    header.nonce = QRandomGenerator::global()->generate64();

    QByteArray blob;
    QList<ScopeRef> scopeRefs;
    for (const QByteArray &scope : std::as_const(parts.scopes)) {
        scopeRefs.append(ScopeRef { quint32(blob.size()), quint32(scope.size()) });
        blob.append(scope);
    }
    QList<Range> ranges;
    QList<RawEntry> entries;
    entries.reserve(parts.entries.size());
    for (qsizetype i = 0; i < parts.entries.size(); ++i) {
        Part &each = parts.entries[i];
        RawEntry &raw = each.raw;
        raw.flags &= ~hasOwnName;
        raw.nameOffset = 0;
        raw.nameLength = 0;
        QByteArrayView own;
        if (each.name != standardName(raw.id)) {
            raw.flags |= hasOwnName;
            raw.nameOffset = quint32(blob.size());
            raw.nameLength = quint32(each.name.size());
            blob.append(each.name);
            own = each.name;
        }
        raw.checksum = entryChecksum(raw, own, header.nonce);
        entries.append(raw);

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

    header.destinations = quint64(ranges.size());
    header.scopes = quint64(scopeRefs.size());
    header.count = quint64(entries.size());
    header.blobSize = quint64(blob.size());
    QByteArray bytes;
    bytes.reserve(qsizetype(sizeof header) + ranges.size() * qsizetype(sizeof(Range))
        + scopeRefs.size() * qsizetype(sizeof(ScopeRef)) + entries.size() * qsizetype(sizeof(RawEntry)) + blob.size());
    bytes.append(reinterpret_cast<const char *>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char *>(ranges.constData()), ranges.size() * qsizetype(sizeof(Range)));
    bytes.append(reinterpret_cast<const char *>(scopeRefs.constData()), scopeRefs.size() * qsizetype(sizeof(ScopeRef)));
    quint64 hash = checksum(bytes.constData(), bytes.size());
    for (const QByteArray &scope : std::as_const(parts.scopes))
        hash = checksum(scope.constData(), scope.size(), hash);
    header.checksum = hash;
    std::memcpy(bytes.data(), &header, sizeof header);
    bytes.append(reinterpret_cast<const char *>(entries.constData()), entries.size() * qsizetype(sizeof(RawEntry)));
    bytes.append(blob);
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

// Gives the memory a rebuild or rewrite used for the whole index back to the system: a
// long-running process would otherwise keep its peak for good.
void returnFreedMemory()
{
    ::malloc_trim(0);
}

QString lockPath(const QString &directory)
{
    return HistoryIndex::pathFor(directory) + QStringLiteral(".lock");
}

} // namespace

HistoryIndex::~HistoryIndex()
{
    if (m_file >= 0)
        ::close(m_file);
}

std::optional<QByteArray> HistoryIndex::bytesAt(quint64 offset, quint64 size) const
{
    if (m_file < 0) {
        if (offset > quint64(m_bytes.size()) || size > quint64(m_bytes.size()) - offset)
            return std::nullopt;
        return m_bytes.mid(qsizetype(offset), qsizetype(size));
    }
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t count = ::pread(m_file, bytes.data() + done, size_t(bytes.size() - done), off_t(offset) + done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return std::nullopt;
        done += count;
    }
    return bytes;
}

// Reading the raw layout is kept beside the class so the header stays free of it. The header and
// tables were checked when attached and are this process's own; each entry is checked where it
// is read, against the nonce of that header.
struct HistoryIndexAccess {
    // An entry as read, with its file's name, and whether it is whole: as written with this
    // header, naming a known outcome and scope and a plain file name.
    struct Read {
        RawEntry raw;
        QByteArray name;
        bool intact;
    };

    static Header header(const HistoryIndex &index)
    {
        Header header;
        std::memcpy(&header, index.m_header.constData(), sizeof header);
        return header;
    }
    static qsizetype destinations(const HistoryIndex &index) { return qsizetype(header(index).destinations); }
    static qsizetype count(const HistoryIndex &index) { return index.m_attached ? qsizetype(header(index).count) : 0; }
    static Range range(const HistoryIndex &index, qsizetype i)
    {
        Range range;
        std::memcpy(&range, index.m_header.constData() + sizeof(Header) + i * qsizetype(sizeof(Range)), sizeof range);
        return range;
    }
    static std::optional<Range> rangeOf(const HistoryIndex &index, const QUuid &destinationID)
    {
        if (!index.m_attached)
            return std::nullopt;
        const QByteArray wanted = destinationID.toRfc4122();
        for (qsizetype i = 0; i < destinations(index); ++i) {
            const Range each = range(index, i);
            if (std::memcmp(each.destination, wanted.constData(), 16) == 0)
                return each;
        }
        return std::nullopt;
    }
    static quint64 entriesAt(const HistoryIndex &index) { return quint64(index.m_header.size()); }
    static quint64 blobAt(const HistoryIndex &index)
    {
        return entriesAt(index) + header(index).count * sizeof(RawEntry);
    }

    // The `n` entries from `first` on; nullopt when the index no longer holds them.
    static std::optional<QList<Read>> read(const HistoryIndex &index, qsizetype first, qsizetype n)
    {
        if (n <= 0)
            return QList<Read>();
        const std::optional<QByteArray> bytes
            = index.bytesAt(entriesAt(index) + quint64(first) * sizeof(RawEntry), quint64(n) * sizeof(RawEntry));
        if (!bytes)
            return std::nullopt;
        const Header head = header(index);
        QList<Read> entries;
        entries.reserve(n);
        for (qsizetype i = 0; i < n; ++i) {
            Read each {};
            std::memcpy(&each.raw, bytes->constData() + i * qsizetype(sizeof(RawEntry)), sizeof(RawEntry));
            const RawEntry &raw = each.raw;
            if (raw.flags & hasOwnName) {
                if (quint64(raw.nameOffset) + raw.nameLength > head.blobSize)
                    return std::nullopt;
                const std::optional<QByteArray> name = index.bytesAt(blobAt(index) + raw.nameOffset, raw.nameLength);
                if (!name)
                    return std::nullopt;
                each.name = *name;
            } else {
                each.name = standardName(raw.id);
            }
            each.intact = raw.outcome <= quint32(BackupRecord::Outcome::cancelled)
                && (!(raw.flags & hasScope) || raw.scope < quint32(index.m_scopes.size()))
                && entryChecksum(
                       raw, (raw.flags & hasOwnName) ? QByteArrayView(each.name) : QByteArrayView(), head.nonce)
                    == raw.checksum
                && HistoryIndex::plainName(each.name);
            entries.append(std::move(each));
        }
        return entries;
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
            auto scope = scopes.constFind(raw.scope);
            if (scope == scopes.cend())
                scope = scopes.insert(raw.scope, QString::fromUtf8(index.m_scopes.at(raw.scope)));
            outline.scope = *scope;
        }
        outline.outcome = BackupRecord::Outcome(raw.outcome);
        return outline;
    }

    // Checks the header and tables of the index behind `index` (`size` bytes in all) and keeps
    // them; false unless it is a whole index of this version, as written.
    static bool attach(HistoryIndex &index, quint64 size)
    {
        const std::optional<QByteArray> head = index.bytesAt(0, sizeof(Header));
        if (!head)
            return false;
        Header header;
        std::memcpy(&header, head->constData(), sizeof header);
        const quint64 rest = size - sizeof header;
        if (size < sizeof header || std::memcmp(header.magic, magic, sizeof magic) != 0
            || header.destinations > rest / sizeof(Range) || header.scopes > rest / sizeof(ScopeRef)
            || header.count > rest / sizeof(RawEntry) || header.blobSize > rest
            || header.destinations * sizeof(Range) + header.scopes * sizeof(ScopeRef) + header.count * sizeof(RawEntry)
                    + header.blobSize
                != rest)
            return false;
        const std::optional<QByteArray> tables
            = index.bytesAt(sizeof header, header.destinations * sizeof(Range) + header.scopes * sizeof(ScopeRef));
        if (!tables)
            return false;
        const quint64 stored = header.checksum;
        header.checksum = 0;
        quint64 hash = checksum(
            tables->constData(), tables->size(), checksum(reinterpret_cast<const char *>(&header), sizeof header));
        const quint64 blobAt = size - header.blobSize;
        QList<QByteArray> scopes;
        for (quint64 i = 0; i < header.scopes; ++i) {
            ScopeRef ref;
            std::memcpy(
                &ref, tables->constData() + header.destinations * sizeof(Range) + i * sizeof(ScopeRef), sizeof ref);
            if (quint64(ref.offset) + ref.length > header.blobSize)
                return false;
            std::optional<QByteArray> scope = index.bytesAt(blobAt + ref.offset, ref.length);
            if (!scope)
                return false;
            hash = checksum(scope->constData(), scope->size(), hash);
            scopes.append(std::move(*scope));
        }
        if (hash != stored)
            return false;
        index.m_header = *head + *tables;
        index.m_scopes = std::move(scopes);
        for (qsizetype i = 0; i < destinations(index); ++i) {
            const Range each = range(index, i);
            if (each.first > header.count || each.count > header.count - each.first)
                return false;
        }
        index.m_attached = true;
        return true;
    }

    // The index these bytes hold, kept in memory; an empty one unless they are a whole index.
    static std::shared_ptr<const HistoryIndex> fromBytes(QByteArray bytes)
    {
        auto index = std::make_shared<HistoryIndex>();
        index->m_bytes = std::move(bytes);
        if (!attach(*index, quint64(index->m_bytes.size())))
            return std::make_shared<HistoryIndex>();
        return index;
    }

    // The index stored for `directory`, its file kept open, or nullptr when there is none whole.
    static std::shared_ptr<HistoryIndex> stored(const QString &directory)
    {
        try {
            struct stat info { };
            auto index = std::make_shared<HistoryIndex>();
            index->m_file = openRegularFile(
                AT_FDCWD, LocalPath::encode(HistoryIndex::pathFor(directory)), FileBound::index, info);
            return attach(*index, quint64(info.st_size)) ? index : nullptr;
        } catch (const Error &) {
            return nullptr;
        }
    }

    static bool trusted(const HistoryIndex &index, const FileStamp &folder)
    {
        if (!index.m_attached)
            return false;
        const Header stored = header(index);
        return stored.settled == 1 && stored.folder.stamp() == folder;
    }

    // Writes the index for `directory`, unless the folder has changed since `folder` (a writer got
    // in first, under the lock, and its index is the newer one). `locked`: the caller holds the
    // lock already. The index to use from now on: the file just written, kept open, or the bytes
    // themselves when the file is not (or no longer) theirs. `leftovers`: temporary files the
    // listing that made `bytes` found in the folder.
    static std::shared_ptr<const HistoryIndex> store(const QString &directory, QByteArray bytes,
        const FileStamp &folder, bool locked, const QList<QByteArray> &leftovers = {})
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
                writeFileAtomically(HistoryIndex::pathFor(directory), bytes);
                std::shared_ptr<HistoryIndex> written = stored(directory);
                if (written && bytes.startsWith(written->m_header))
                    return written;
            }
        } catch (const std::exception &) {
            // A folder that takes no index is still listed, only at the cost of a rebuild each time.
        }
        return fromBytes(std::move(bytes));
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
        std::optional<QList<Read>> previousEntries;
        if (previous)
            previousEntries = read(*previous, 0, count(*previous));
        if (previousEntries) {
            known.reserve(previousEntries->size());
            for (const Read &entry : std::as_const(*previousEntries))
                if (entry.intact)
                    known.insert(entry.name, entry.raw);
            previousEntries.reset();
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
        QList<QByteArray> leftovers;
        for (const QByteArray &name : folder.names()) {
            if (isTemporaryName(name))
                leftovers.append(name);
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
                    folder.setAsideLogged(name, info, FolderReader::damagedSuffix().toUtf8(), QStringLiteral("history"),
                        error.message(), QStringLiteral("It is left out of the history."));
                }
            } catch (const Error &error) {
                // Unreadable for now: left out of this index only, which the next listing rebuilds.
                folder.logOnce(name, QStringLiteral("history"), error.message());
                settled = false;
            }
        }
        known.clear();
        // A record copied under a second name is still one run: the file named after its id
        // stands for it, else the first of its names.
        QHash<QUuid, qsizetype> byId;
        byId.reserve(built.size());
        qsizetype kept = 0;
        for (qsizetype i = 0; i < built.size(); ++i) {
            Built &each = built[i];
            const auto seen = byId.constFind(each.outline.id);
            if (seen == byId.cend()) {
                byId.insert(each.outline.id, kept);
                if (kept != i)
                    built[kept] = std::move(each);
                ++kept;
                continue;
            }
            Built &other = built[*seen];
            const QByteArray own = standardName(each.outline.id.toRfc4122().constData());
            if (other.name != own && (each.name == own || each.name < other.name))
                other = std::move(each);
        }
        built.resize(kept);
        std::stable_sort(built.begin(), built.end(), [](const Built &a, const Built &b) {
            if (a.outline.destinationID != b.outline.destinationID)
                return a.outline.destinationID < b.outline.destinationID;
            return a.outline.startedAt > b.outline.startedAt;
        });
        Parts parts;
        parts.entries.reserve(built.size());
        for (const Built &each : std::as_const(built))
            parts.entries.append(part(each.name, each.outline, each.file, parts.scopes));
        built.clear();
        return store(directory, assembled(std::move(parts), folderKey, settled), folderKey, false, leftovers);
    }

    // `index` with the entry of the file `name` (if any) replaced by one for `outline`, describing
    // the folder as `folder`; empty when an entry of `index` is not whole (the next reader rebuilds).
    static QByteArray spliced(const HistoryIndex &index, const QByteArray &name, const BackupRecord &outline,
        const FileStamp &file, const FileStamp &folder)
    {
        std::optional<QList<Read>> entries = read(index, 0, count(index));
        if (!entries)
            return {};
        Parts parts;
        parts.scopes = index.m_scopes;
        parts.entries.reserve(entries->size() + 1);
        const QByteArray id = outline.id.toRfc4122();
        for (Read &entry : *entries) {
            if (!entry.intact)
                return {};
            // The file written is the run's own; a copy of it under another name is no second run.
            if (entry.name != name && std::memcmp(entry.raw.id, id.constData(), 16) != 0)
                parts.entries.append(Part { entry.raw, std::move(entry.name) });
        }
        entries.reset();

        const QByteArray destination = outline.destinationID.toRfc4122();
        qsizetype at = 0;
        while (at < parts.entries.size()
            && std::memcmp(parts.entries.at(at).raw.destination, destination.constData(), 16) != 0)
            ++at;
        while (at < parts.entries.size()
            && !std::memcmp(parts.entries.at(at).raw.destination, destination.constData(), 16)
            && parts.entries.at(at).raw.startedAt >= outline.startedAt.seconds)
            ++at;
        parts.entries.insert(at, part(name, outline, file, parts.scopes));
        return assembled(std::move(parts), folder, true);
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
    std::shared_ptr<const HistoryIndex> fresh
        = HistoryIndexAccess::built(directory, rebuild || !previous ? nullptr : previous.get(), now);
    remember(directory, fresh);
    previous.reset();
    returnFreedMemory();
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
    if (!bytes.isEmpty())
        remember(directory, HistoryIndexAccess::store(directory, std::move(bytes), *after, true));
    previous.reset();
    returnFreedMemory();
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
    std::optional<QList<HistoryIndexAccess::Read>> read
        = HistoryIndexAccess::read(*this, qsizetype(range->first), count);
    if (!read)
        return std::nullopt;
    entries.reserve(count);
    QHash<quint32, QString> scopes;
    for (HistoryIndexAccess::Read &each : *read) {
        if (!each.intact || std::memcmp(each.raw.destination, range->destination, 16) != 0)
            return std::nullopt;
        entries.append(Entry { std::move(each.name), HistoryIndexAccess::outline(*this, each.raw, scopes) });
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
    QHash<quint32, QString> scopes;
    bool found = false;
    quint64 running = 0;
    // Read a few entries at a time, more each time: most calls need only the newest.
    qsizetype at = 0;
    for (qsizetype chunk = 16; at < qsizetype(range->count) && !(found && running == range->running); chunk *= 2) {
        const qsizetype count = std::min(chunk, qsizetype(range->count) - at);
        const std::optional<QList<HistoryIndexAccess::Read>> read
            = HistoryIndexAccess::read(*this, qsizetype(range->first) + at, count);
        if (!read)
            return std::nullopt;
        for (const HistoryIndexAccess::Read &each : *read) {
            if (found && running == range->running)
                break;
            const RawEntry &raw = each.raw;
            if (!each.intact || std::memcmp(raw.destination, range->destination, 16) != 0)
                return std::nullopt;
            const bool isRunning = raw.outcome == quint32(BackupRecord::Outcome::running);
            running += isRunning ? 1 : 0;
            if (found && !isRunning)
                continue;
            outlines.append(HistoryIndexAccess::outline(*this, raw, scopes));
            found = found
                || (raw.outcome == quint32(BackupRecord::Outcome::complete) && (raw.flags & hasFinished)
                    && (raw.flags & hasScope) && m_scopes.at(raw.scope) == wanted);
        }
        at += count;
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
