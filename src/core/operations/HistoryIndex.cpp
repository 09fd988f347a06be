#include "operations/HistoryIndex.h"

#include "operations/FolderReader.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/LocalPath.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace vellmir {

QString HistoryIndex::setAsideSuffix()
{
    return FolderReader::damagedSuffix();
}

namespace {

// The file is a cache of this machine only, so it holds plain native numbers: a header, a table
// of destinations (where each one's entries begin and how many there are), one fixed-size entry
// per record file (grouped by destination, newest first) and the names and scopes the entries
// point into. The header covers itself and the table with a checksum; each entry has its own, over
// itself and the bytes it points to, checked when it is used.
constexpr char magic[8] = { 'V', 'H', 'I', 'X', 0, 0, 0, 3 };

struct Stamp {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modified = 0; // nanoseconds
    qint64 changed = 0; // nanoseconds

    static Stamp of(const struct stat &info)
    {
        const auto ns = [](const timespec &time) { return qint64(time.tv_sec) * 1000000000 + time.tv_nsec; };
        return Stamp { quint64(info.st_dev), quint64(info.st_ino), qint64(info.st_size), ns(info.st_mtim),
            ns(info.st_ctim) };
    }
    friend bool operator==(const Stamp &, const Stamp &) = default;
};

struct Header {
    char magic[8];
    Stamp folder;
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
    Stamp file;
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
// later in the same tick without its time moving on.
bool settledBefore(const Stamp &folder, Date started)
{
    return started.secondsSince(Date::fromUnix(double(folder.modified) / 1e9)) > 1.0;
}

std::optional<Stamp> folderStamp(const QString &directory)
{
    struct stat info { };
    if (::stat(LocalPath::encode(directory).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return Stamp::of(info);
}

struct Built {
    QByteArray name;
    BackupRecord outline;
    Stamp file;
};

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

// `built` sorted by destination, newest first.
QByteArray serialized(const QList<Built> &built, const Stamp &folder, bool settled)
{
    QByteArray blob;
    QHash<QString, quint32> scopes; // the few distinct scopes, stored once each
    QList<RawEntry> entries;
    QList<Range> ranges;
    entries.reserve(built.size());
    for (const Built &each : built) {
        const BackupRecord &outline = each.outline;
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
        raw.nameLength = quint32(each.name.size());
        blob.append(each.name);
        if (outline.scope) {
            const QByteArray scope = outline.scope->toUtf8();
            auto known = scopes.constFind(*outline.scope);
            if (known == scopes.cend()) {
                known = scopes.insert(*outline.scope, quint32(blob.size()));
                blob.append(scope);
            }
            raw.scopeOffset = *known;
            raw.scopeLength = quint32(scope.size());
        }
        raw.file = each.file;
        if (ranges.isEmpty() || std::memcmp(ranges.last().destination, raw.destination, 16) != 0) {
            Range range {};
            std::memcpy(range.destination, raw.destination, 16);
            range.first = quint64(entries.size());
            ranges.append(range);
        }
        ++ranges.last().count;
        if (outline.outcome == BackupRecord::Outcome::running)
            ++ranges.last().running;
        entries.append(raw);
    }
    for (RawEntry &entry : entries)
        entry.checksum = entryChecksum(entry, blob.constData());

    Header header {};
    std::memcpy(header.magic, magic, sizeof magic);
    header.folder = folder;
    header.settled = settled ? 1 : 0;
    header.destinations = quint64(ranges.size());
    header.count = quint64(entries.size());
    header.blobSize = quint64(blob.size());
    QByteArray bytes(reinterpret_cast<const char *>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char *>(ranges.constData()), ranges.size() * qsizetype(sizeof(Range)));
    header.checksum = checksum(bytes.constData(), bytes.size());
    std::memcpy(bytes.data(), &header, sizeof header);
    bytes.append(reinterpret_cast<const char *>(entries.constData()), entries.size() * qsizetype(sizeof(RawEntry)));
    return bytes + blob;
}

std::mutex &cacheMutex()
{
    static std::mutex mutex;
    return mutex;
}

QHash<QString, std::shared_ptr<const HistoryIndex>> &cache()
{
    static QHash<QString, std::shared_ptr<const HistoryIndex>> indexes;
    return indexes;
}

} // namespace

// Reading the raw layout is kept beside the class so the header stays free of it.
struct HistoryIndexAccess {
    static Header header(const HistoryIndex &index)
    {
        Header header;
        std::memcpy(&header, index.m_data, sizeof header);
        return header;
    }
    static Range range(const HistoryIndex &index, qsizetype i)
    {
        Range range;
        std::memcpy(&range, index.m_data + sizeof(Header) + i * qsizetype(sizeof(Range)), sizeof range);
        return range;
    }
    static qsizetype entriesAt(const HistoryIndex &index)
    {
        return qsizetype(sizeof(Header)) + index.m_destinations * qsizetype(sizeof(Range));
    }
    static RawEntry raw(const HistoryIndex &index, qsizetype i)
    {
        RawEntry entry;
        std::memcpy(&entry, index.m_data + entriesAt(index) + i * qsizetype(sizeof(RawEntry)), sizeof entry);
        return entry;
    }
    static const char *blob(const HistoryIndex &index)
    {
        return index.m_data + entriesAt(index) + index.m_count * qsizetype(sizeof(RawEntry));
    }
    static qsizetype blobSize(const HistoryIndex &index) { return index.m_data + index.m_size - blob(index); }
    static QByteArray name(const HistoryIndex &index, const RawEntry &raw)
    {
        return QByteArray(blob(index) + raw.nameOffset, raw.nameLength);
    }
    // Whether the entry is whole: within the index, as written, and naming a known outcome.
    static bool intact(const HistoryIndex &index, const RawEntry &raw)
    {
        const quint64 size = quint64(blobSize(index));
        return quint64(raw.nameOffset) + raw.nameLength <= size && quint64(raw.scopeOffset) + raw.scopeLength <= size
            && raw.outcome <= quint32(BackupRecord::Outcome::cancelled)
            && entryChecksum(raw, blob(index)) == raw.checksum;
    }
    static BackupRecord outline(const HistoryIndex &index, const RawEntry &raw)
    {
        const char *blob = HistoryIndexAccess::blob(index);
        BackupRecord outline;
        outline.destinationID = QUuid::fromRfc4122(QByteArrayView(raw.destination, 16));
        outline.id = QUuid::fromRfc4122(QByteArrayView(raw.id, 16));
        outline.startedAt = Date { raw.startedAt };
        if (raw.flags & hasFinished)
            outline.finishedAt = Date { raw.finishedAt };
        if (raw.flags & hasPruned)
            outline.prunedAt = Date { raw.prunedAt };
        if (raw.flags & hasScope)
            outline.scope = QString::fromUtf8(blob + raw.scopeOffset, raw.scopeLength);
        outline.outcome = BackupRecord::Outcome(raw.outcome);
        return outline;
    }

    // Points `index` at `data`: false unless it is a whole index of this version, its header and
    // destination table as written.
    static bool attach(HistoryIndex &index, const char *data, qsizetype size)
    {
        if (size < qsizetype(sizeof(Header)))
            return false;
        Header header;
        std::memcpy(&header, data, sizeof header);
        const quint64 rest = quint64(size) - sizeof header;
        if (std::memcmp(header.magic, magic, sizeof magic) != 0 || header.destinations > rest / sizeof(Range)
            || header.count > rest / sizeof(RawEntry)
            || header.destinations * sizeof(Range) + header.count * sizeof(RawEntry) + header.blobSize != rest)
            return false;
        const quint64 stored = header.checksum;
        header.checksum = 0;
        const qsizetype tableSize = qsizetype(header.destinations * sizeof(Range));
        if (checksum(data + sizeof header, tableSize, checksum(reinterpret_cast<const char *>(&header), sizeof header))
            != stored)
            return false;
        index.m_data = data;
        index.m_size = size;
        index.m_destinations = qsizetype(header.destinations);
        index.m_count = qsizetype(header.count);
        for (qsizetype i = 0; i < index.m_destinations; ++i) {
            const Range each = range(index, i);
            if (each.first > header.count || each.count > header.count - each.first)
                return false;
        }
        return true;
    }

    static std::shared_ptr<const HistoryIndex> fromBytes(QByteArray bytes)
    {
        auto index = std::make_shared<HistoryIndex>();
        index->m_bytes = std::move(bytes);
        if (!attach(*index, index->m_bytes.constData(), index->m_bytes.size()))
            return std::make_shared<HistoryIndex>();
        return index;
    }

    // The index stored for `directory`, or nullptr when there is none whole.
    static std::shared_ptr<const HistoryIndex> stored(const QString &directory)
    {
        auto index = std::make_shared<HistoryIndex>();
        index->m_file = std::make_shared<QFile>(HistoryIndex::pathFor(directory));
        if (!index->m_file->open(QIODevice::ReadOnly))
            return nullptr;
        const qint64 size = index->m_file->size();
        const uchar *mapped = size > 0 ? index->m_file->map(0, size) : nullptr;
        if (!mapped || !attach(*index, reinterpret_cast<const char *>(mapped), qsizetype(size)))
            return nullptr;
        return index;
    }

    static bool trusted(const HistoryIndex &index, const Stamp &folder)
    {
        if (!index.m_data)
            return false;
        const Header stored = header(index);
        return stored.settled == 1 && stored.folder == folder;
    }

    // The index built from the record files, reusing what `previous` knew of every file whose
    // identity, size and times are unchanged. Record files that do not decode are set aside.
    static std::shared_ptr<const HistoryIndex> built(const QString &directory, const HistoryIndex *previous)
    {
        const Date started = Date::now();
        const FolderReader folder(directory, QStringLiteral("history"));
        if (!folder.exists())
            return std::make_shared<HistoryIndex>();
        QHash<QByteArray, qsizetype> known;
        if (previous) {
            known.reserve(previous->m_count);
            for (qsizetype i = 0; i < previous->m_count; ++i) {
                const RawEntry entry = raw(*previous, i);
                if (intact(*previous, entry))
                    known.insert(name(*previous, entry), i);
            }
        }
        const Stamp folderKey = Stamp::of(folder.folderStatus());
        bool settled = settledBefore(folderKey, started);
        QList<Built> built;
        built.reserve(folder.names().size());
        for (const QByteArray &name : folder.names()) {
            if (!FolderReader::hasJsonExtension(name))
                continue;
            struct stat info { };
            if (const auto hit = known.constFind(name); hit != known.cend() && folder.status(name, info)) {
                const RawEntry entry = raw(*previous, *hit);
                if (entry.file == Stamp::of(info)) {
                    built.append(Built { name, outline(*previous, entry), entry.file });
                    continue;
                }
            }
            try {
                const QByteArray bytes = folder.read(name, info);
                try {
                    const BackupRecord record = BackupRecord::decoded(
                        bytes, QStringLiteral("The history record %1").arg(LocalPath::decode(name)));
                    built.append(Built { name, outlineOf(record), Stamp::of(info) });
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
        QByteArray bytes = serialized(built, folderKey, settled);
        try {
            writeFileAtomically(HistoryIndex::pathFor(directory), bytes);
        } catch (const Error &) {
            // A folder that takes no index is still listed, only at the cost of a rebuild each time.
        }
        return fromBytes(std::move(bytes));
    }
};

QString HistoryIndex::pathFor(const QString &directory)
{
    return directory + QStringLiteral(".index");
}

std::shared_ptr<const HistoryIndex> HistoryIndex::current(const QString &directory, bool rebuild)
{
    const std::optional<Stamp> folder = folderStamp(directory);
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
                const std::lock_guard guard(cacheMutex());
                cache().insert(directory, stored);
                return stored;
            }
        }
    }
    std::shared_ptr<const HistoryIndex> fresh
        = HistoryIndexAccess::built(directory, rebuild || !previous || !previous->m_data ? nullptr : previous.get());
    const std::lock_guard guard(cacheMutex());
    if (!cache().contains(directory) && cache().size() >= 16)
        cache().clear();
    cache().insert(directory, fresh);
    return fresh;
}

bool HistoryIndex::anyRunning(const QUuid &destinationID) const
{
    const QByteArray wanted = destinationID.toRfc4122();
    for (qsizetype i = 0; i < m_destinations; ++i) {
        const Range range = HistoryIndexAccess::range(*this, i);
        if (std::memcmp(range.destination, wanted.constData(), 16) == 0)
            return range.running > 0;
    }
    return false;
}

std::optional<QList<HistoryIndex::Entry>> HistoryIndex::entries(const QUuid &destinationID, qsizetype limit) const
{
    const QByteArray wanted = destinationID.toRfc4122();
    QList<Entry> entries;
    for (qsizetype i = 0; i < m_destinations; ++i) {
        const Range range = HistoryIndexAccess::range(*this, i);
        if (std::memcmp(range.destination, wanted.constData(), 16) != 0)
            continue;
        const qsizetype count = limit < 0 ? qsizetype(range.count) : std::min(qsizetype(range.count), limit);
        entries.reserve(count);
        // Entries of one destination share a scope or two: decoded once.
        QHash<quint32, QString> scopes;
        for (qsizetype at = 0; at < count; ++at) {
            const RawEntry raw = HistoryIndexAccess::raw(*this, qsizetype(range.first) + at);
            if (!HistoryIndexAccess::intact(*this, raw) || std::memcmp(raw.destination, range.destination, 16) != 0)
                return std::nullopt;
            RawEntry bare = raw;
            bare.flags &= ~hasScope;
            Entry entry { HistoryIndexAccess::name(*this, raw), HistoryIndexAccess::outline(*this, bare) };
            if (raw.flags & hasScope) {
                auto scope = scopes.constFind(raw.scopeOffset);
                if (scope == scopes.cend())
                    scope = scopes.insert(raw.scopeOffset,
                        QString::fromUtf8(HistoryIndexAccess::blob(*this) + raw.scopeOffset, raw.scopeLength));
                entry.outline.scope = *scope;
            }
            entries.append(std::move(entry));
        }
        break;
    }
    return entries;
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
