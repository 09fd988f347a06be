#include "operations/HistoryIndex.h"

#include "config/FileLock.h"
#include "operations/FolderReader.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/FileStamp.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/Uuid.h"
#include "util/Workers.h"

#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <exception>
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
//
// A writer that trusted the index just before its write appends the entry of the record it wrote
// (an Appended) instead of writing the whole index again; a merge writes the compact form again
// once enough have gathered.
constexpr char magic[8] = { 'V', 'H', 'I', 'X', 0, 0, 0, 6 };

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
    quint64 ownNames; // how many entries have a name of their own
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

// An entry appended after the compact index: the folder's stamp after the write that added it, the
// entry, and how many bytes of its own name and its scope's text and how many places of compact
// entries it replaces (the same record's earlier entries) follow it. Its checksum is seeded with
// the one before it, the header's for the first, so appended entries are only ever taken in
// their order and with the very index they extend.
struct Appended {
    StoredStamp folder;
    RawEntry entry;
    quint32 nameLength;
    quint32 scopeLength;
    quint32 replaced;
    quint32 state; // appendedSettled, appendedEntry
    quint64 checksum; // of this (this field zero) and what follows it
};
constexpr quint32 appendedSettled = 1; // the folder had settled before it was listed
constexpr quint32 appendedEntry = 2; // it holds an entry; else it only says the folder's stamp

// The most entries appended before a writer merges them into the compact form, and the most bytes
// of them a reader takes: beyond either, the index is written whole again.
constexpr qsizetype appendedAtMost = 1024;
constexpr quint64 appendedBytesAtMost = 4 * 1024 * 1024;

static_assert(sizeof(Header) == HistoryIndex::headerSize);
static_assert(
    std::is_trivially_copyable_v<
        Header> && std::is_trivially_copyable_v<RawEntry> && std::is_trivially_copyable_v<Range> && std::is_trivially_copyable_v<ScopeRef> && std::is_trivially_copyable_v<Appended>);

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

// The id a file name stands for when it is the name our writer gives a record's file,
// "<UPPER-CASE UUID>.json"; nullopt for any other name.
std::optional<std::array<char, 16>> standardID(QByteArrayView name)
{
    // The value of each upper-case hex digit, 16 for any other byte.
    static constexpr std::array<quint8, 256> digits = [] {
        std::array<quint8, 256> values {};
        values.fill(16);
        for (int c = '0'; c <= '9'; ++c)
            values[size_t(c)] = quint8(c - '0');
        for (int c = 'A'; c <= 'F'; ++c)
            values[size_t(c)] = quint8(c - 'A' + 10);
        return values;
    }();
    if (name.size() != 41 || !name.endsWith(".json") || name[8] != '-' || name[13] != '-' || name[18] != '-'
        || name[23] != '-')
        return std::nullopt;
    // Where each of the 16 bytes' two digits are in the name.
    static constexpr std::array<quint8, 16> at = { 0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34 };
    std::array<char, 16> id {};
    quint8 invalid = 0;
    for (size_t i = 0; i < 16; ++i) {
        const quint8 high = digits[quint8(name[at[i]])];
        const quint8 low = digits[quint8(name[at[i] + 1])];
        invalid |= (high | low) & 16;
        id[i] = char((high << 4) | (low & 15));
    }
    if (invalid)
        return std::nullopt;
    return id;
}

// A record file that joins an index: its name, what the index keeps of it and its stamp.
struct Added {
    QByteArray name;
    BackupRecord outline;
    FileStamp file;
};

// One entry of an index being written, with its own name when that is not the standard one
// (pointing into the old index's bytes or an Added).
struct Source {
    RawEntry raw;
    QByteArrayView ownName;
};

// A new entry for `added`, its scope found in or added to `scopes`.
Source sourceOf(const Added &added, QList<QByteArray> &scopes)
{
    const BackupRecord &outline = added.outline;
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
    raw.file = StoredStamp::of(added.file);
    const std::optional<std::array<char, 16>> standard = standardID(added.name);
    const bool own = !standard || std::memcmp(standard->data(), raw.id, 16) != 0;
    if (own)
        raw.flags |= hasOwnName;
    return Source { raw, own ? QByteArrayView(added.name) : QByteArrayView() };
}

// An entry's place in an index being written: the entry as it stands elsewhere (in the old
// index or a Source), and its own name.
struct Placed {
    const RawEntry *raw;
    QByteArrayView ownName;
};

// The bytes of an index of `entries`, which are grouped by destination and newest first within
// each; offsets, the destination table and checksums follow from them. Each entry is copied once,
// straight into the bytes.
QByteArray assembled(
    const std::vector<Placed> &entries, const QList<QByteArray> &scopes, const FileStamp &folder, bool settled)
{
    Header header {};
    std::memcpy(header.magic, magic, sizeof magic);
    header.folder = StoredStamp::of(folder);
    header.settled = settled ? 1 : 0;
    header.nonce = QRandomGenerator::global()->generate64();

    QByteArray blob;
    QList<ScopeRef> scopeRefs;
    for (const QByteArray &scope : scopes) {
        scopeRefs.append(ScopeRef { quint32(blob.size()), quint32(scope.size()) });
        blob.append(scope);
    }
    // Own names follow the scopes in the blob, in the entries' order; where each one's begins.
    std::vector<quint32> nameAt(entries.size(), 0);
    QList<Range> ranges;
    for (size_t i = 0; i < entries.size(); ++i) {
        const RawEntry &raw = *entries[i].raw;
        if (raw.flags & hasOwnName) {
            nameAt[i] = quint32(blob.size());
            blob.append(entries[i].ownName);
            ++header.ownNames;
        }
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
    const qsizetype tablesEnd = qsizetype(sizeof header) + ranges.size() * qsizetype(sizeof(Range))
        + scopeRefs.size() * qsizetype(sizeof(ScopeRef));
    QByteArray bytes(tablesEnd + qsizetype(entries.size() * sizeof(RawEntry)) + blob.size(), Qt::Uninitialized);
    char *at = bytes.data() + sizeof header;
    std::memcpy(at, ranges.constData(), ranges.size() * sizeof(Range));
    at += ranges.size() * qsizetype(sizeof(Range));
    std::memcpy(at, scopeRefs.constData(), scopeRefs.size() * sizeof(ScopeRef));
    quint64 hash = checksum(reinterpret_cast<const char *>(&header), sizeof header);
    hash = checksum(bytes.constData() + sizeof header, tablesEnd - qsizetype(sizeof header), hash);
    for (const QByteArray &scope : scopes)
        hash = checksum(scope.constData(), scope.size(), hash);
    header.checksum = hash;
    std::memcpy(bytes.data(), &header, sizeof header);
    // Each entry is copied once, straight into the bytes, several slices at once.
    inSlices(qsizetype(entries.size()), 8192, [&](qsizetype first, qsizetype last) {
        for (qsizetype i = first; i < last; ++i) {
            const Placed &each = entries[size_t(i)];
            RawEntry raw = *each.raw;
            const bool own = raw.flags & hasOwnName;
            raw.nameOffset = own ? nameAt[size_t(i)] : 0;
            raw.nameLength = own ? quint32(each.ownName.size()) : 0;
            raw.checksum = entryChecksum(raw, each.ownName, header.nonce);
            std::memcpy(bytes.data() + tablesEnd + i * qsizetype(sizeof raw), &raw, sizeof raw);
        }
    });
    std::memcpy(bytes.data() + tablesEnd + qsizetype(entries.size() * sizeof(RawEntry)), blob.constData(), blob.size());
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

// What the appended entries change, as checked when the index was attached.
struct HistoryIndex::Tail {
    struct Entry {
        RawEntry raw; // its scope a place in m_scopes
        QByteArray name;
    };
    // Oldest first, each record once: a later entry of a record replaces its earlier ones.
    std::vector<Entry> entries;
    // The places of the compact entries replaced.
    QSet<quint64> replaced;
    // The figures of every destination an appended entry touched, for all its records; their
    // `first` and `count` fields are those of the compact index.
    QHash<QByteArray, Range> totals;
    QHash<QByteArray, quint64> counts;
    // The folder's stamp after the last append, whether it had settled, and that append's checksum.
    StoredStamp folder;
    bool settled = true;
    quint64 chain = 0;
    // How many were appended, and whether one has a name of its own.
    qsizetype appends = 0;
    bool ownNames = false;
};

HistoryIndex::~HistoryIndex()
{
    if (m_file >= 0)
        ::close(m_file);
}

bool HistoryIndex::readInto(char *to, quint64 offset, quint64 size) const
{
    if (m_file < 0) {
        if (offset > quint64(m_bytes.size()) || size > quint64(m_bytes.size()) - offset)
            return false;
        std::memcpy(to, m_bytes.constData() + offset, size);
        return true;
    }
    for (quint64 done = 0; done < size;) {
        const ssize_t count = ::pread(m_file, to + done, size_t(size - done), off_t(offset + done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += quint64(count);
    }
    return true;
}

std::optional<QByteArray> HistoryIndex::bytesAt(quint64 offset, quint64 size) const
{
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    if (!readInto(bytes.data(), offset, size))
        return std::nullopt;
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
        std::memcpy(&header, index.m_head.data(), sizeof header);
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
    // The compact index's row of the destination, whose id is `wanted`.
    static std::optional<Range> storedRange(const HistoryIndex &index, const char *wanted)
    {
        for (qsizetype i = 0; i < destinations(index); ++i) {
            const Range each = range(index, i);
            if (std::memcmp(each.destination, wanted, 16) == 0)
                return each;
        }
        return std::nullopt;
    }
    // A destination's figures over all its records, and where its compact entries are.
    struct Span {
        Range total;
        quint64 first = 0;
        quint64 stored = 0;
    };
    static std::optional<Span> spanOf(const HistoryIndex &index, const QUuid &destinationID)
    {
        if (!index.m_attached)
            return std::nullopt;
        const QByteArray wanted = destinationID.toRfc4122();
        if (index.m_tail)
            if (const auto total = index.m_tail->totals.constFind(wanted); total != index.m_tail->totals.cend())
                return Span { *total, total->first, index.m_tail->counts.value(wanted) };
        const std::optional<Range> stored = storedRange(index, wanted.constData());
        if (!stored)
            return std::nullopt;
        return Span { *stored, stored->first, stored->count };
    }
    // Whether the folder had settled when the index was last brought up to date.
    static bool settledOf(const HistoryIndex &index)
    {
        return index.m_tail ? index.m_tail->settled : header(index).settled == 1;
    }
    // The folder's stamp the index describes: the last append's, else the header's.
    static FileStamp folderOf(const HistoryIndex &index)
    {
        return index.m_tail ? index.m_tail->folder.stamp() : header(index).folder.stamp();
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

    // Walks the destination's entries newest first, the appended ones at their places, handing each
    // with its place to `each` until it returns false. The compact ones are read a few at a time and
    // more each time (most calls need only the newest), never more than a few thousand at once.
    // False when an entry is not whole.
    template <typename Each> static bool newestFirst(const HistoryIndex &index, const Span &span, Each each)
    {
        // Of equal start times, an appended entry comes after the compact ones, as a merge puts it.
        std::vector<Read> appended;
        if (index.m_tail)
            for (const HistoryIndex::Tail::Entry &entry : index.m_tail->entries)
                if (std::memcmp(entry.raw.destination, span.total.destination, 16) == 0)
                    appended.push_back(Read { entry.raw, entry.name, true });
        std::stable_sort(appended.begin(), appended.end(),
            [](const Read &a, const Read &b) { return a.raw.startedAt > b.raw.startedAt; });
        size_t next = 0;
        qsizetype at = 0;
        bool going = true;
        const auto give = [&](const Read &entry) { going = each(entry, at++); };
        constexpr qsizetype largestChunk = 4096;
        qsizetype done = 0;
        for (qsizetype chunk = 16; going && done < qsizetype(span.stored); chunk = std::min(chunk * 2, largestChunk)) {
            const qsizetype count = std::min(chunk, qsizetype(span.stored) - done);
            const std::optional<QList<Read>> read
                = HistoryIndexAccess::read(index, qsizetype(span.first) + done, count);
            if (!read)
                return false;
            for (qsizetype i = 0; going && i < read->size(); ++i) {
                const Read &entry = read->at(i);
                if (!entry.intact || std::memcmp(entry.raw.destination, span.total.destination, 16) != 0)
                    return false;
                if (index.m_tail && index.m_tail->replaced.contains(span.first + quint64(done + i)))
                    continue;
                while (going && next < appended.size() && appended[next].raw.startedAt > entry.raw.startedAt)
                    give(appended[next++]);
                if (going)
                    give(entry);
            }
            done += count;
        }
        while (going && next < appended.size())
            give(appended[next++]);
        return true;
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

    // Checks the header and tables of the index behind `index` (`size` bytes in all) and what was
    // appended after them, and keeps them; false unless it is a whole index of this version, as
    // written.
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
                > rest)
            return false;
        const quint64 compact = compactSize(header);
        const std::optional<QByteArray> tables
            = index.bytesAt(sizeof header, header.destinations * sizeof(Range) + header.scopes * sizeof(ScopeRef));
        if (!tables)
            return false;
        const quint64 stored = header.checksum;
        header.checksum = 0;
        quint64 hash = checksum(
            tables->constData(), tables->size(), checksum(reinterpret_cast<const char *>(&header), sizeof header));
        const quint64 blobAt = compact - header.blobSize;
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
        std::memcpy(index.m_head.data(), head->constData(), sizeof header);
        index.m_scopes = std::move(scopes);
        for (qsizetype i = 0; i < destinations(index); ++i) {
            const Range each = range(index, i);
            if (each.first > header.count || each.count > header.count - each.first)
                return false;
        }
        if (compact < size && !attachTail(index, compact, size))
            return false;
        index.m_end = size;
        index.m_attached = true;
        return true;
    }

    // The figures of the destination of `raw` as the appended entries leave them.
    static Range &totalOf(const HistoryIndex &index, HistoryIndex::Tail &tail, const RawEntry &raw)
    {
        const QByteArray destination(raw.destination, 16);
        auto total = tail.totals.find(destination);
        if (total == tail.totals.end()) {
            Range range {};
            std::memcpy(range.destination, raw.destination, 16);
            if (const std::optional<Range> stored = storedRange(index, raw.destination))
                range = *stored;
            tail.counts.insert(destination, range.count);
            total = tail.totals.insert(destination, range);
        }
        return *total;
    }

    // Reads and checks the entries appended from `from` to `size`, each against the one before it,
    // and the compact entries each replaces. False when any is not whole, or when one replaces the
    // entry that held its destination's latest prune with none as late (writers merge then instead).
    static bool attachTail(HistoryIndex &index, quint64 from, quint64 size)
    {
        if (size - from > appendedBytesAtMost)
            return false;
        const std::optional<QByteArray> bytes = index.bytesAt(from, size - from);
        if (!bytes)
            return false;
        const Header head = header(index);
        auto tail = std::make_unique<HistoryIndex::Tail>();
        quint64 chain = head.checksum;
        for (qsizetype at = 0, appends = 0; at < bytes->size(); ++appends) {
            Appended appended;
            if (quint64(bytes->size() - at) < sizeof appended || appends == appendedAtMost)
                return false;
            std::memcpy(&appended, bytes->constData() + at, sizeof appended);
            const quint64 extra = quint64(appended.nameLength) + appended.scopeLength + quint64(appended.replaced) * 8;
            if (extra > quint64(bytes->size() - at) - sizeof appended)
                return false;
            const quint64 stored = appended.checksum;
            appended.checksum = 0;
            const char *rest = bytes->constData() + at + sizeof appended;
            if (checksum(
                    rest, qsizetype(extra), checksum(reinterpret_cast<const char *>(&appended), sizeof appended, chain))
                != stored)
                return false;
            chain = stored;
            at += qsizetype(sizeof appended + extra);
            if (appended.state & ~(appendedSettled | appendedEntry))
                return false;
            tail->folder = appended.folder;
            tail->settled = appended.state & appendedSettled;
            tail->appends = appends + 1;
            if (!(appended.state & appendedEntry)) {
                if (extra != 0)
                    return false;
                continue;
            }

            RawEntry raw = appended.entry;
            const bool own = raw.flags & hasOwnName;
            const QByteArray name = own ? QByteArray(rest, appended.nameLength) : standardName(raw.id);
            if ((!own && appended.nameLength != 0) || raw.outcome > quint32(BackupRecord::Outcome::cancelled)
                || !HistoryIndex::plainName(name) || (!(raw.flags & hasScope) && appended.scopeLength != 0))
                return false;
            raw.scope = 0;
            if (raw.flags & hasScope) {
                const QByteArray scope(rest + appended.nameLength, appended.scopeLength);
                qsizetype place = index.m_scopes.indexOf(scope);
                if (place < 0) {
                    place = index.m_scopes.size();
                    index.m_scopes.append(scope);
                }
                raw.scope = quint32(place);
            }
            Range &total = totalOf(index, *tail, raw);
            std::optional<double> lostPrune;
            const auto remove = [&](const RawEntry &old) {
                --total.count;
                if (old.outcome == quint32(BackupRecord::Outcome::running))
                    --total.running;
                if ((old.flags & hasPruned) && old.prunedAt >= total.latestPrune)
                    lostPrune = old.prunedAt;
            };
            const Range compact = storedRange(index, raw.destination).value_or(Range {});
            for (quint32 i = 0; i < appended.replaced; ++i) {
                quint64 place;
                std::memcpy(&place, rest + appended.nameLength + appended.scopeLength + 8 * i, 8);
                if (place < compact.first || place >= compact.first + compact.count)
                    return false;
                if (tail->replaced.contains(place))
                    continue;
                const std::optional<QList<Read>> old = read(index, qsizetype(place), 1);
                if (!old || !old->first().intact || std::memcmp(old->first().raw.id, raw.id, 16) != 0)
                    return false;
                remove(old->first().raw);
                tail->replaced.insert(place);
            }
            // An earlier appended entry of the same record goes too.
            for (auto it = tail->entries.begin(); it != tail->entries.end();) {
                if (std::memcmp(it->raw.id, raw.id, 16) == 0) {
                    remove(it->raw);
                    it = tail->entries.erase(it);
                } else {
                    ++it;
                }
            }
            ++total.count;
            if (raw.outcome == quint32(BackupRecord::Outcome::running))
                ++total.running;
            if (lostPrune && !((raw.flags & hasPruned) && raw.prunedAt >= *lostPrune))
                return false;
            if ((raw.flags & hasPruned) && (!total.pruned || raw.prunedAt > total.latestPrune)) {
                total.pruned = 1;
                total.latestPrune = raw.prunedAt;
            }
            tail->entries.push_back(HistoryIndex::Tail::Entry { raw, name });
            tail->ownNames = tail->ownNames || own;
        }
        tail->chain = chain;
        index.m_tail = std::move(tail);
        return true;
    }

    // The index these bytes hold, kept in memory; an empty one unless they are a whole index.
    static std::shared_ptr<HistoryIndex> fromBytes(QByteArray bytes)
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
        return settledOf(index) && folderOf(index) == folder;
    }

    // Writes the index for `directory`, unless the folder has changed since `folder` (a writer got
    // in first, under the lock, and its index is the newer one). `locked`: the caller holds the
    // lock already. The index to use from now on: the file just written, kept open, or the bytes
    // themselves when the file is not (or no longer) theirs. `leftovers`: temporary files the
    // listing that made `bytes` found in the folder.
    static std::shared_ptr<HistoryIndex> store(const QString &directory, QByteArray bytes, const FileStamp &folder,
        bool locked, const QList<QByteArray> &leftovers = {})
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

    // The places of the compact entries of `previous` that the record written replaces: those of
    // the same record, which share its start time, found where that time begins among its
    // destination's entries (newest first). Nullopt when that is not cheap, or when one of them held
    // the destination's latest prune and the record holds none as late: a merge then works it out.
    static std::optional<std::vector<quint64>> replacedBy(const HistoryIndex &previous, const BackupRecord &record)
    {
        const HistoryIndex::Tail *tail = previous.m_tail.get();
        const QByteArray id = record.id.toRfc4122();
        const QByteArray destination = record.destinationID.toRfc4122();
        std::vector<quint64> replaced;
        std::optional<double> lostPrune;
        const std::optional<Span> span = spanOf(previous, record.destinationID);
        const auto replaces = [&](const RawEntry &old) {
            if ((old.flags & hasPruned) && span && old.prunedAt >= span->total.latestPrune)
                lostPrune = old.prunedAt;
        };
        if (span && span->stored > 0) {
            const auto at = [&](quint64 place) -> std::optional<RawEntry> {
                const std::optional<QList<Read>> read = HistoryIndexAccess::read(previous, qsizetype(place), 1);
                if (!read || !read->first().intact
                    || std::memcmp(read->first().raw.destination, destination.constData(), 16) != 0)
                    return std::nullopt;
                return read->first().raw;
            };
            quint64 low = span->first;
            quint64 high = span->first + span->stored;
            while (low < high) {
                const quint64 middle = low + (high - low) / 2;
                const std::optional<RawEntry> raw = at(middle);
                if (!raw)
                    return std::nullopt;
                if (raw->startedAt > record.startedAt.seconds)
                    low = middle + 1;
                else
                    high = middle;
            }
            constexpr int sameStartAtMost = 64;
            for (int looked = 0; low < span->first + span->stored; ++low, ++looked) {
                const std::optional<RawEntry> raw = at(low);
                if (!raw || looked == sameStartAtMost)
                    return std::nullopt;
                if (raw->startedAt != record.startedAt.seconds)
                    break;
                if (std::memcmp(raw->id, id.constData(), 16) == 0 && !(tail && tail->replaced.contains(low))) {
                    replaced.push_back(low);
                    replaces(*raw);
                }
            }
        }
        if (tail)
            for (const HistoryIndex::Tail::Entry &entry : tail->entries)
                if (std::memcmp(entry.raw.id, id.constData(), 16) == 0)
                    replaces(entry.raw);
        if (lostPrune && !(record.prunedAt && record.prunedAt->seconds >= *lostPrune))
            return std::nullopt;
        return replaced;
    }

    // One appended entry for `added` (none: only the folder's stamp and whether it had settled),
    // replacing the compact entries at `replaced`, chained after `chain`, which it moves on.
    static QByteArray appendedBytes(const HistoryIndex &previous, quint64 &chain, const Added *added,
        const std::vector<quint64> &replaced, const FileStamp &folder, bool settled)
    {
        Appended appended {};
        appended.folder = StoredStamp::of(folder);
        appended.state = (settled ? appendedSettled : 0u) | (added ? appendedEntry : 0u);
        QByteArray rest;
        if (added) {
            QList<QByteArray> scopes = previous.m_scopes;
            const Source source = sourceOf(*added, scopes);
            appended.entry = source.raw;
            appended.entry.scope = 0;
            appended.entry.nameOffset = 0;
            appended.entry.nameLength = quint32(source.ownName.size());
            appended.entry.checksum = entryChecksum(appended.entry, source.ownName, header(previous).nonce);
            const QByteArray scope = added->outline.scope ? added->outline.scope->toUtf8() : QByteArray();
            appended.nameLength = quint32(source.ownName.size());
            appended.scopeLength = quint32(scope.size());
            appended.replaced = quint32(replaced.size());
            rest = source.ownName.toByteArray() + scope;
            rest.append(reinterpret_cast<const char *>(replaced.data()), qsizetype(replaced.size() * 8));
        }
        appended.checksum = checksum(
            rest.constData(), rest.size(), checksum(reinterpret_cast<const char *>(&appended), sizeof appended, chain));
        chain = appended.checksum;
        return QByteArray(reinterpret_cast<const char *>(&appended), sizeof appended) + rest;
    }

    // The chain an append to `previous` continues.
    static quint64 chainOf(const HistoryIndex &previous)
    {
        return previous.m_tail ? previous.m_tail->chain : header(previous).checksum;
    }

    // Appends `bytes` to the very file `previous` was read from, where it ended, unless another
    // name reaches that file, it changed since, or the entries appended would grow past their
    // bounds. False, with the file as it was, when nothing was appended: the index is then written
    // whole.
    static bool appendTo(
        const QString &directory, const HistoryIndex &previous, const QByteArray &bytes, qsizetype entries)
    {
        const HistoryIndex::Tail *tail = previous.m_tail.get();
        if (previous.m_file < 0 || !previous.m_attached
            || (tail ? qsizetype(tail->appends) : 0) + entries >= appendedAtMost
            || previous.m_end + quint64(bytes.size()) - compactSize(header(previous)) > appendedBytesAtMost)
            return false;
        const int file = ::open(LocalPath::encode(HistoryIndex::pathFor(directory)).constData(),
            O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (file < 0)
            return false;
        struct stat opened { };
        struct stat read { };
        bool written = ::fstat(file, &opened) == 0 && ::fstat(previous.m_file, &read) == 0 && S_ISREG(opened.st_mode)
            && opened.st_nlink == 1 && opened.st_uid == ::geteuid() && opened.st_dev == read.st_dev
            && opened.st_ino == read.st_ino && quint64(opened.st_size) == previous.m_end;
        for (qsizetype done = 0; written && done < bytes.size();) {
            const ssize_t count = ::pwrite(
                file, bytes.constData() + done, size_t(bytes.size() - done), off_t(previous.m_end + quint64(done)));
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0) {
                // What was written of it would read as damage: it goes.
                written = false;
                if (::ftruncate(file, off_t(previous.m_end)) != 0)
                    break;
            }
            done += count > 0 ? count : 0;
        }
        ::close(file);
        return written;
    }

    // Appends the entry of the record just written as `name` (its file's status `info`) to the
    // index `previous`, trusted just before the write, the folder now being at `after`.
    static bool append(const QString &directory, const HistoryIndex &previous, const QByteArray &name,
        const BackupRecord &record, const struct stat &info, const FileStamp &after)
    {
        // A name of its own could be the written file's: only a merge sees to that.
        if (!previous.m_attached || header(previous).ownNames > 0 || (previous.m_tail && previous.m_tail->ownNames))
            return false;
        const std::optional<std::vector<quint64>> replaced = replacedBy(previous, record);
        if (!replaced)
            return false;
        quint64 chain = chainOf(previous);
        const Added added { name, outlineOf(record), FileStamp::of(info) };
        return appendTo(directory, previous, appendedBytes(previous, chain, &added, *replaced, after, true), 1);
    }

    static quint64 compactSize(const Header &head)
    {
        return sizeof head + head.destinations * sizeof(Range) + head.scopes * sizeof(ScopeRef)
            + head.count * sizeof(RawEntry) + head.blobSize;
    }

    // Every entry of `index`, as its bytes, and the bytes its own names point into; nullopt when
    // one of them is not whole.
    struct Loaded {
        std::vector<RawEntry> entries;
        // Where each entry stands in the compact index, -1 for an appended one; empty when every
        // entry stands where it is.
        std::vector<qint64> places;
        QByteArray blob;
        qsizetype count = 0;
        const RawEntry &raw(qsizetype i) const { return entries[size_t(i)]; }
        QByteArrayView ownName(const RawEntry &raw) const
        {
            return (raw.flags & hasOwnName) ? QByteArrayView(blob).sliced(raw.nameOffset, raw.nameLength)
                                            : QByteArrayView();
        }
    };
    static std::optional<Loaded> load(const HistoryIndex &index)
    {
        Loaded loaded;
        loaded.count = count(index);
        const Header head = header(index);
        loaded.entries.resize(size_t(loaded.count));
        std::optional<QByteArray> blob = index.bytesAt(blobAt(index), head.blobSize);
        if (!blob
            || !index.readInto(reinterpret_cast<char *>(loaded.entries.data()), entriesAt(index),
                quint64(loaded.count) * sizeof(RawEntry)))
            return std::nullopt;
        loaded.blob = std::move(*blob);
        std::atomic_bool whole = true;
        inSlices(loaded.count, 4096, [&](qsizetype first, qsizetype last) {
            for (qsizetype i = first; i < last && whole; ++i) {
                const RawEntry &raw = loaded.raw(i);
                if ((raw.flags & hasOwnName) && quint64(raw.nameOffset) + raw.nameLength > head.blobSize) {
                    whole = false;
                    break;
                }
                const QByteArrayView own = loaded.ownName(raw);
                if (raw.outcome > quint32(BackupRecord::Outcome::cancelled)
                    || ((raw.flags & hasScope) && raw.scope >= quint32(index.m_scopes.size()))
                    || entryChecksum(raw, own, head.nonce) != raw.checksum
                    || ((raw.flags & hasOwnName) && !HistoryIndex::plainName(own.toByteArray())))
                    whole = false;
            }
        });
        if (!whole)
            return std::nullopt;
        if (index.m_tail)
            withAppended(index, loaded);
        return loaded;
    }

    // Puts the appended entries of `index` in `loaded` in place of the compact ones they replace,
    // each at its place among its destination's, as a merge writes them.
    static void withAppended(const HistoryIndex &index, Loaded &loaded)
    {
        const HistoryIndex::Tail &tail = *index.m_tail;
        // Each destination's appended entries, newest first.
        QHash<QByteArray, std::vector<RawEntry>> appended;
        for (const HistoryIndex::Tail::Entry &entry : tail.entries) {
            RawEntry raw = entry.raw;
            if (raw.flags & hasOwnName) {
                raw.nameOffset = quint32(loaded.blob.size());
                raw.nameLength = quint32(entry.name.size());
                loaded.blob.append(entry.name);
            }
            appended[QByteArray(raw.destination, 16)].push_back(raw);
        }
        for (std::vector<RawEntry> &each : appended)
            std::stable_sort(each.begin(), each.end(),
                [](const RawEntry &a, const RawEntry &b) { return a.startedAt > b.startedAt; });
        std::vector<RawEntry> entries;
        std::vector<qint64> places;
        entries.reserve(loaded.entries.size() + tail.entries.size());
        places.reserve(entries.capacity());
        // The destination looked up last, and how many of its appended entries are placed.
        const char *looked = nullptr;
        std::vector<RawEntry> *rest = nullptr;
        size_t taken = 0;
        const auto flush = [&](const char *destination, const double *startedBefore) {
            if (!looked || std::memcmp(looked, destination, 16) != 0) {
                if (rest)
                    rest->erase(rest->begin(), rest->begin() + qsizetype(taken));
                looked = destination;
                const auto found = appended.find(QByteArray(destination, 16));
                rest = found == appended.end() ? nullptr : &*found;
                taken = 0;
            }
            while (rest && taken < rest->size() && (!startedBefore || (*rest)[taken].startedAt > *startedBefore)) {
                entries.push_back((*rest)[taken++]);
                places.push_back(-1);
            }
        };
        for (qsizetype i = 0; i < loaded.count; ++i) {
            const RawEntry &raw = loaded.raw(i);
            flush(raw.destination, &raw.startedAt);
            if (!tail.replaced.contains(quint64(i))) {
                entries.push_back(raw);
                places.push_back(i);
            }
            if (i + 1 == loaded.count || std::memcmp(loaded.raw(i + 1).destination, raw.destination, 16) != 0)
                flush(raw.destination, nullptr);
        }
        if (rest)
            rest->erase(rest->begin(), rest->begin() + qsizetype(taken));
        for (const std::vector<RawEntry> &others : std::as_const(appended)) {
            entries.insert(entries.end(), others.begin(), others.end());
            places.insert(places.end(), others.size(), -1);
        }
        loaded.entries = std::move(entries);
        loaded.places = std::move(places);
        loaded.count = qsizetype(loaded.entries.size());
    }

    // The entries of `loaded` that `kept` says stay, with `added` merged in at their places:
    // within their destination's group, after every entry that started at the same time or later.
    // Only the changes are sorted; the kept entries are already in order.
    static QByteArray merged(const HistoryIndex *index, const Loaded *loaded, const std::vector<bool> &kept,
        const QList<Added> &added, const FileStamp &folder, bool settled)
    {
        QList<QByteArray> scopes = index ? index->m_scopes : QList<QByteArray>();
        std::vector<Source> fresh;
        fresh.reserve(size_t(added.size()));
        for (const Added &each : added)
            fresh.push_back(sourceOf(each, scopes));
        const auto newerFirst = [](const Source &a, const Source &b) {
            if (const int order = std::memcmp(a.raw.destination, b.raw.destination, 16))
                return order < 0;
            return a.raw.startedAt > b.raw.startedAt;
        };
        std::stable_sort(fresh.begin(), fresh.end(), newerFirst);
        // Where each destination's new entries begin in `fresh`; `next` walks them.
        QHash<QByteArray, size_t> next;
        for (size_t i = fresh.size(); i-- > 0;)
            next.insert(QByteArray(fresh[i].raw.destination, 16), i);

        std::vector<Placed> entries;
        entries.reserve(size_t(loaded ? loaded->count : 0) + fresh.size());
        // The destination looked up last, and where its new entries stand.
        QByteArray looked;
        size_t *cursor = nullptr;
        const auto flush = [&](const char *destination, const double *startedBefore) {
            if (looked.isNull() || std::memcmp(looked.constData(), destination, 16) != 0) {
                looked = QByteArray(destination, 16);
                const auto found = next.find(looked);
                cursor = found == next.end() ? nullptr : &*found;
            }
            if (!cursor)
                return;
            size_t &i = *cursor;
            for (; i < fresh.size() && !std::memcmp(fresh[i].raw.destination, destination, 16)
                 && (!startedBefore || fresh[i].raw.startedAt > *startedBefore);
                 ++i)
                entries.push_back(Placed { &fresh[i].raw, fresh[i].ownName });
        };
        for (qsizetype i = 0; loaded && i < loaded->count; ++i) {
            const RawEntry &raw = loaded->raw(i);
            flush(raw.destination, &raw.startedAt);
            if (kept[size_t(i)])
                entries.push_back(Placed { &raw, loaded->ownName(raw) });
            if (i + 1 == loaded->count || std::memcmp(loaded->raw(i + 1).destination, raw.destination, 16))
                flush(raw.destination, nullptr);
        }
        for (const Source &each : fresh)
            flush(each.raw.destination, nullptr);
        return assembled(entries, scopes, folder, settled);
    }

    // A record id as a key of the lookups below; its bytes are random enough to hash as they are.
    struct IDKey {
        quint64 high;
        quint64 low;
        bool operator==(const IDKey &) const = default;
        static IDKey of(const char *id)
        {
            IDKey key;
            std::memcpy(&key.high, id, 8);
            std::memcpy(&key.low, id + 8, 8);
            return key;
        }
    };
    // Entries by record id, in one flat table probed in place: a folder's worth of lookups stays
    // within a few megabytes of memory instead of one allocation per entry.
    class IDTable {
    public:
        explicit IDTable(size_t count)
        {
            size_t size = 16;
            while (size < count * 2)
                size <<= 1;
            m_slots.assign(size, Slot {});
            m_mask = size - 1;
        }
        // `inode`: the entry's file, kept beside it so that a lookup reads one place only.
        void insert(const IDKey &key, qsizetype value, quint64 inode = 0)
        {
            size_t at = size_t(key.high) & m_mask;
            while (m_slots[at].value >= 0)
                at = (at + 1) & m_mask;
            m_slots[at] = Slot { key, value, inode };
        }
        // The value, or -1 when the key is not there or `inode` is given and differs.
        qsizetype find(const IDKey &key, const quint64 *inode = nullptr) const
        {
            for (size_t at = size_t(key.high) & m_mask; m_slots[at].value >= 0; at = (at + 1) & m_mask)
                if (m_slots[at].key == key)
                    return !inode || *inode == m_slots[at].inode ? m_slots[at].value : -1;
            return -1;
        }
        bool add(const IDKey &key)
        {
            if (find(key) >= 0)
                return false;
            insert(key, 0);
            return true;
        }

    private:
        struct Slot {
            IDKey key { 0, 0 };
            qsizetype value = -1;
            quint64 inode = 0;
        };
        std::vector<Slot> m_slots;
        size_t m_mask = 0;
    };

    // A listed file's part in the new index: an entry of the old one it still is, or what was read
    // of it.
    struct Fresh {
        std::optional<Added> read;
        QString problem;
        struct stat status { };
        bool unreadable = false;
    };
    struct Listed {
        qsizetype name;
        qsizetype known = -1;
        std::unique_ptr<Fresh> fresh; // only for a file looked at again
        bool counts() const { return known >= 0 || (fresh && fresh->read); }
    };

    // Leaves out the files that hold a record another file holds too (a copy under another
    // name): the one named after the record counts, else the first name in order. Only files not
    // named after their record can be such copies, so the common folder costs one look at each.
    static void dropCopies(const QList<QByteArray> &names, const Loaded *loaded, std::vector<Listed> &listed)
    {
        const auto idOf = [&](const Listed &each) {
            return each.known >= 0 ? IDKey::of(loaded->raw(each.known).id)
                                   : IDKey::of(each.fresh->read->outline.id.toRfc4122().constData());
        };
        const auto namedAfter = [&](const Listed &each) {
            if (each.known >= 0)
                return !(loaded->raw(each.known).flags & hasOwnName);
            const std::optional<std::array<char, 16>> standard = standardID(names.at(each.name));
            return standard && idOf(each) == IDKey::of(standard->data());
        };
        std::vector<Listed *> others;
        for (Listed &each : listed)
            if (each.counts() && !namedAfter(each))
                others.push_back(&each);
        if (others.empty())
            return;
        IDTable counted(listed.size());
        for (const Listed &each : listed)
            if (each.counts() && namedAfter(each))
                counted.add(idOf(each));
        std::sort(others.begin(), others.end(),
            [&](const Listed *a, const Listed *b) { return names.at(a->name) < names.at(b->name); });
        for (Listed *each : others) {
            if (counted.add(idOf(*each)))
                continue;
            each->known = -1;
            each->fresh.reset();
        }
    }

    // The entries of `loaded` by the names their files have: a standard name by the id it stands
    // for, any other by itself.
    struct Known {
        const Loaded &loaded;
        IDTable byID;
        QHash<QByteArray, qsizetype> byName;

        explicit Known(const Loaded &entries)
            : loaded(entries)
            , byID(size_t(entries.count))
        {
            for (qsizetype i = 0; i < entries.count; ++i) {
                const RawEntry &raw = entries.raw(i);
                if (raw.flags & hasOwnName)
                    byName.insert(entries.ownName(raw).toByteArray(), i);
                else
                    byID.insert(IDKey::of(raw.id), i, raw.file.inode);
            }
        }
        // The entry the file `name` with `inode` still is, or -1.
        qsizetype find(const QByteArray &name, quint64 inode) const
        {
            if (const std::optional<std::array<char, 16>> id = standardID(name))
                return byID.find(IDKey::of(id->data()), &inode);
            const qsizetype known = byName.value(name, -1);
            return known >= 0 && loaded.raw(known).file.inode == inode ? known : -1;
        }
    };

    // The folder's record files, each with the entry of `known` it still is (the listing gives the
    // same inode); the temporary files killed writes left go to `leftovers`.
    static std::vector<Listed> listing(const FolderReader &folder, const Known *known, QList<QByteArray> &leftovers)
    {
        const QList<QByteArray> &names = folder.names();
        std::vector<Listed> listed;
        listed.reserve(size_t(names.size()));
        for (qsizetype n = 0; n < names.size(); ++n) {
            if (isTemporaryName(names.at(n)))
                leftovers.append(names.at(n));
            if (!FolderReader::hasJsonExtension(names.at(n)))
                continue;
            Listed each;
            each.name = n;
            listed.push_back(std::move(each));
        }
        // The lookups, several slices at once: each is a wait on memory more than work.
        inSlices(qsizetype(listed.size()), 4096, [&](qsizetype first, qsizetype last) {
            for (qsizetype i = first; known && i < last; ++i) {
                Listed &each = listed[size_t(i)];
                each.known = known->find(names.at(each.name), folder.inodes().at(each.name));
            }
        });
        return listed;
    }

    // Reads what is not known, several files at once. Known files whose stamp `lookAt` asks for
    // are compared by their whole stamp first.
    template <typename LookAt>
    static void readChanged(
        const FolderReader &folder, const Loaded *loaded, const LookAt &lookAt, std::vector<Listed> &listed)
    {
        inSlices(qsizetype(listed.size()), 512, [&](qsizetype first, qsizetype last) {
            for (qsizetype i = first; i < last; ++i) {
                Listed &each = listed[size_t(i)];
                if (each.known >= 0 && !lookAt(loaded->raw(each.known)))
                    continue;
                const QByteArray &name = folder.names().at(each.name);
                each.fresh = std::make_unique<Fresh>();
                Fresh &fresh = *each.fresh;
                if (each.known >= 0 && folder.status(name, fresh.status)
                    && loaded->raw(each.known).file.stamp() == FileStamp::of(fresh.status)) {
                    each.fresh.reset();
                    continue;
                }
                each.known = -1;
                try {
                    const QByteArray bytes = folder.read(name, fresh.status);
                    try {
                        const BackupRecord record = BackupRecord::decoded(
                            bytes, QStringLiteral("The history record %1").arg(LocalPath::decode(name)));
                        fresh.read = Added { name, outlineOf(record), FileStamp::of(fresh.status) };
                    } catch (const Error &error) {
                        fresh.problem = error.message();
                    }
                } catch (const Error &error) {
                    fresh.problem = error.message();
                    fresh.unreadable = true;
                }
            }
        });
    }

    // The index built from the record files. What `previous` knew of a file that is still the
    // same file is taken over without opening it; only the files that are new or changed are
    // read, and only the changes are merged in. Record files that do not decode are set aside.
    // Two files of one record (a copy under another name) count once: the one named after it,
    // else the first. (A file rewritten in place keeps its inode: a record read in full is
    // checked against its entry, and a mismatch rebuilds.)
    // Appends to `previous` (under its lock) the entries of the files the listing found new or
    // changed, `added`, each replacing the entries of the same record that `kept` leaves out, and
    // the folder's stamp; nullptr when an entry left out is no such record's (a file gone), holds a
    // prune, or nothing could be appended.
    static std::shared_ptr<HistoryIndex> appendChanges(const QString &directory, const HistoryIndex &previous,
        const Loaded &loaded, const std::vector<bool> &kept, const QList<Added> &added, const FileStamp &folder,
        bool settled)
    {
        if (header(previous).ownNames > 0 || (previous.m_tail && previous.m_tail->ownNames))
            return nullptr;
        QHash<QUuid, qsizetype> byID;
        for (qsizetype i = 0; i < added.size(); ++i)
            byID.insert(added.at(i).outline.id, i);
        std::vector<std::vector<quint64>> replaced(size_t(added.size()));
        for (qsizetype i = 0; i < loaded.count; ++i) {
            if (kept[size_t(i)])
                continue;
            const RawEntry &raw = loaded.raw(i);
            const qsizetype by = byID.value(QUuid::fromRfc4122(QByteArrayView(raw.id, 16)), -1);
            if (by < 0 || (raw.flags & hasPruned)
                || added.at(by).outline.destinationID != QUuid::fromRfc4122(QByteArrayView(raw.destination, 16)))
                return nullptr;
            const qint64 place = loaded.places.empty() ? i : loaded.places[size_t(i)];
            if (place >= 0)
                replaced[size_t(by)].push_back(quint64(place));
        }
        quint64 chain = chainOf(previous);
        QByteArray bytes;
        for (qsizetype i = 0; i < added.size(); ++i)
            bytes += appendedBytes(previous, chain, &added.at(i), replaced[size_t(i)], folder, settled);
        if (added.isEmpty())
            bytes = appendedBytes(previous, chain, nullptr, {}, folder, settled);
        if (folderStamp(directory) != folder
            || !appendTo(directory, previous, bytes, std::max<qsizetype>(added.size(), 1)))
            return nullptr;
        std::shared_ptr<HistoryIndex> appended = stored(directory);
        return appended && folderOf(*appended) == folder ? appended : nullptr;
    }

    static std::shared_ptr<const HistoryIndex> built(
        const QString &directory, const HistoryIndex *previous, const HistoryIndex::Clock &now, bool locked)
    {
        const Date started = now();
        // The old index is read, and its lookups made, while the folder is listed: the listing
        // waits on the file system, the rest on memory.
        std::optional<Loaded> loaded;
        std::optional<Known> known;
        std::exception_ptr failed; // what the helper thread met, for this one to throw
        const auto readPrevious = [&] {
            try {
                if (previous && (loaded = load(*previous)))
                    known.emplace(*loaded);
            } catch (...) {
                failed = std::current_exception();
            }
        };
        std::optional<FolderReader> reader;
        {
            const std::jthread reading = alongside(readPrevious);
            reader.emplace(directory, QStringLiteral("history"));
        }
        if (failed)
            std::rethrow_exception(failed);
        const FolderReader &folder = *reader;
        if (!folder.exists())
            return std::make_shared<HistoryIndex>();
        if (!loaded)
            previous = nullptr;
        QList<QByteArray> leftovers;
        std::vector<Listed> listed = listing(folder, known ? &*known : nullptr, leftovers);
        known.reset();
        // After an index that was built before its folder settled, a file written shortly before
        // may have been written again in place within the same clock tick.
        const std::optional<qint64> recentSince = previous && !settledOf(*previous)
            ? std::optional(folderOf(*previous).modified - qint64(settleSeconds * 1e9))
            : std::nullopt;
        readChanged(
            folder, loaded ? &*loaded : nullptr,
            [&](const RawEntry &raw) { return recentSince && raw.file.modified >= *recentSince; }, listed);
        dropCopies(folder.names(), loaded ? &*loaded : nullptr, listed);

        const FileStamp folderKey = FileStamp::of(folder.folderStatus());
        bool settled = settledBefore(folderKey, started);
        std::vector<bool> kept(size_t(loaded ? loaded->count : 0), false);
        QList<Added> added;
        for (Listed &each : listed) {
            const QByteArray &name = folder.names().at(each.name);
            if (each.known >= 0) {
                kept[size_t(each.known)] = true;
            } else if (!each.fresh) {
                continue; // a copy left out
            } else if (each.fresh->read) {
                added.append(std::move(*each.fresh->read));
            } else if (each.fresh->unreadable) {
                // Unreadable for now: left out of this index only, which the next listing rebuilds.
                folder.logOnce(name, QStringLiteral("history"), each.fresh->problem);
                settled = false;
            } else if (!each.fresh->problem.isEmpty()) {
                folder.setAsideLogged(name, each.fresh->status, FolderReader::damagedSuffix().toUtf8(),
                    QStringLiteral("history"), each.fresh->problem, QStringLiteral("It is left out of the history."));
            }
        }
        listed.clear();
        // What changed is appended when it can be: files added or replaced, none gone.
        if (locked && previous && loaded && leftovers.isEmpty())
            if (std::shared_ptr<HistoryIndex> appended
                = appendChanges(directory, *previous, *loaded, kept, added, folderKey, settled))
                return appended;
        QByteArray bytes = merged(previous, loaded ? &*loaded : nullptr, kept, added, folderKey, settled);
        loaded.reset();
        added.clear();
        // An index of a folder that has not settled is trusted by no reader: merged from an
        // earlier one, writing it would save the next reader nothing, since that merges from the
        // same earlier index as cheaply. (Leftovers of killed writes are cleared only where the
        // index is written, under its lock.)
        if (!settled && previous && leftovers.isEmpty())
            return fromBytes(std::move(bytes));
        return store(directory, std::move(bytes), folderKey, locked, leftovers);
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
        previous.get(), &*loaded, kept, { Added { name, outlineOf(record), FileStamp::of(info) } }, *after, true);
    loaded.reset();
    remember(directory, HistoryIndexAccess::store(directory, std::move(bytes), *after, true));
    previous.reset();
    returnFreedMemory();
}

bool HistoryIndex::anyRunning(const QUuid &destinationID) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    return span && span->total.running > 0;
}

std::optional<Date> HistoryIndex::latestPrune(const QUuid &destinationID) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span || !span->total.pruned)
        return std::nullopt;
    return Date { span->total.latestPrune };
}

std::optional<QList<HistoryIndex::Entry>> HistoryIndex::entries(const QUuid &destinationID, qsizetype limit) const
{
    QList<Entry> entries;
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span || limit == 0)
        return entries;
    entries.reserve(limit < 0 ? qsizetype(span->total.count) : std::min(qsizetype(span->total.count), limit));
    QHash<quint32, QString> scopes;
    const bool whole
        = HistoryIndexAccess::newestFirst(*this, *span, [&](const HistoryIndexAccess::Read &each, qsizetype) {
              entries.append(Entry { each.name, HistoryIndexAccess::outline(*this, each.raw, scopes) });
              return limit < 0 || entries.size() < limit;
          });
    if (!whole)
        return std::nullopt;
    return entries;
}

std::optional<qsizetype> HistoryIndex::runningDepth(const QUuid &destinationID) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span || span->total.running == 0)
        return 0;
    quint64 running = 0;
    std::optional<qsizetype> depth;
    const bool whole
        = HistoryIndexAccess::newestFirst(*this, *span, [&](const HistoryIndexAccess::Read &each, qsizetype at) {
              if (each.raw.outcome == quint32(BackupRecord::Outcome::running) && ++running == span->total.running)
                  depth = at + 1;
              return !depth;
          });
    return whole ? depth : std::nullopt;
}

bool HistoryIndex::eachOutline(const QUuid &destinationID, const std::function<bool(const BackupRecord &)> &each) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span)
        return true;
    QHash<quint32, QString> scopes;
    return HistoryIndexAccess::newestFirst(*this, *span, [&](const HistoryIndexAccess::Read &entry, qsizetype) {
        return each(HistoryIndexAccess::outline(*this, entry.raw, scopes));
    });
}

qsizetype HistoryIndex::count(const QUuid &destinationID) const
{
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    return span ? qsizetype(span->total.count) : 0;
}

std::optional<QList<BackupRecord>> HistoryIndex::outlines(
    const QUuid &destinationID, const QString &scope, Date now) const
{
    QList<BackupRecord> outlines;
    const std::optional<HistoryIndexAccess::Span> span = HistoryIndexAccess::spanOf(*this, destinationID);
    if (!span)
        return outlines;
    const QByteArray wanted = scope.toUtf8();
    QHash<quint32, QString> scopes;
    bool found = false;
    quint64 running = 0;
    const bool whole
        = HistoryIndexAccess::newestFirst(*this, *span, [&](const HistoryIndexAccess::Read &each, qsizetype) {
              const RawEntry &raw = each.raw;
              if (found && running == span->total.running)
                  return false;
              const bool isRunning = raw.outcome == quint32(BackupRecord::Outcome::running);
              running += isRunning ? 1 : 0;
              if (found && !isRunning)
                  return true;
              outlines.append(HistoryIndexAccess::outline(*this, raw, scopes));
              found = found
                  || (raw.outcome == quint32(BackupRecord::Outcome::complete) && (raw.flags & hasFinished)
                      && (raw.flags & hasScope) && m_scopes.at(raw.scope) == wanted
                      && !outlines.last().isDatedAfter(now));
              return true;
          });
    if (!whole)
        return std::nullopt;
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
