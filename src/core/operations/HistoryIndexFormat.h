#pragma once

// The parts of the history index that its files share: the layout of the file, and the access
// to a HistoryIndex's private parts that reading, merging, caching and listing need. Only the
// index's own files include this.
#include "operations/HistoryIndex.h"
#include "util/Date.h"
#include "util/FileStamp.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QUuid>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <type_traits>
#include <vector>

namespace vellmir::historyindex {

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

quint64 checksum(const char *data, qsizetype size, quint64 hash = 14695981039346656037ULL);

// Adding, removing or replacing an entry sets the folder's modification time to the clock of
// that moment, so a folder modified long enough before the reading began cannot have been changed
// later in the same tick without its time moving on. Far above the file system's timestamp
// granularity.
constexpr double settleSeconds = 1.0;

std::optional<FileStamp> folderStamp(const QString &directory);

// The record with only what the index keeps of it: id, destinationID, startedAt, finishedAt,
// outcome, scope and prunedAt.
BackupRecord outlineOf(const BackupRecord &record);

// What the index keeps of a record, as the fields of the record of the same names: a rebuild holds
// one for every file, so it holds no more than that.
struct Outline {
    QUuid id;
    QUuid destinationID;
    Date startedAt;
    std::optional<Date> finishedAt;
    BackupRecord::Outcome outcome = BackupRecord::Outcome::running;
    std::optional<QString> scope;
    std::optional<Date> prunedAt;

    static Outline of(const BackupRecord &record)
    {
        return Outline { record.id, record.destinationID, record.startedAt, record.finishedAt, record.outcome,
            record.scope, record.prunedAt };
    }
};

quint64 entryChecksum(RawEntry entry, QByteArrayView ownName, quint64 nonce);

// A record file that joins an index: its name, what the index keeps of it and its stamp.
struct Added {
    QByteArray name;
    Outline outline;
    FileStamp file;
};

// One entry of an index being written, with its own name when that is not the standard one
// (pointing into the old index's bytes or an Added).
struct Source {
    RawEntry raw;
    QByteArrayView ownName;
};

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
    const std::vector<Placed> &entries, const QList<QByteArray> &scopes, const FileStamp &folder, bool settled);

} // namespace vellmir::historyindex

namespace vellmir {

// The index's files speak of its layout by its own names.
using namespace historyindex;

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

// What the index's files do with the layout behind a HistoryIndex, kept out of its own header. The
// header and tables were checked when attached and are this process's own; each entry is checked
// where it is read, against the nonce of that header.
struct HistoryIndexAccess {
    // An entry as read, with its file's name, and whether it is whole: as written with this
    // header, naming a known outcome and scope and a plain file name.
    struct Read {
        RawEntry raw;
        QByteArray name;
        bool intact;
    };

    static Header header(const HistoryIndex &index);
    static qsizetype destinations(const HistoryIndex &index);
    static qsizetype count(const HistoryIndex &index);
    static Range range(const HistoryIndex &index, qsizetype i);

    // The compact index's row of the destination, whose id is `wanted`.
    static std::optional<Range> storedRange(const HistoryIndex &index, const char *wanted);

    // A destination's figures over all its records, and where its compact entries are.
    struct Span {
        Range total;
        quint64 first = 0;
        quint64 stored = 0;
    };

    static std::optional<Span> spanOf(const HistoryIndex &index, const QUuid &destinationID);

    // Whether the folder had settled when the index was last brought up to date.
    static bool settledOf(const HistoryIndex &index);

    // The folder's stamp the index describes: the last append's, else the header's.
    static FileStamp folderOf(const HistoryIndex &index);
    static quint64 entriesAt(const HistoryIndex &index);
    static quint64 blobAt(const HistoryIndex &index);

    // The `n` entries from `first` on; nullopt when the index no longer holds them.
    static std::optional<QList<Read>> read(const HistoryIndex &index, qsizetype first, qsizetype n);

    // Walks the destination's entries newest first, the appended ones at their places, handing each
    // with its place to `each` until it returns false. The compact ones are read a few at a time and
    // more each time (most calls need only the newest), never more than a few thousand at once.
    // False when an entry is not whole.
    template <typename Each> static bool newestFirst(const HistoryIndex &index, const Span &span, Each each);

    // The entry's outline; its scope from `scopes`, which keeps the few an index holds decoded.
    static BackupRecord outline(const HistoryIndex &index, const RawEntry &raw, QHash<quint32, QString> &scopes);

    // Checks the header and tables of the index behind `index` (`size` bytes in all) and what was
    // appended after them, and keeps them; false unless it is a whole index of this version, as
    // written.
    static bool attach(HistoryIndex &index, quint64 size);

    // The figures of the destination of `raw` as the appended entries leave them.
    static Range &totalOf(const HistoryIndex &index, HistoryIndex::Tail &tail, const RawEntry &raw);

    // Reads and checks the entries appended from `from` to `size`, each against the one before it,
    // and the compact entries each replaces. False when any is not whole, or when one replaces the
    // entry that held its destination's latest prune with none as late (writers merge then instead).
    static bool attachTail(HistoryIndex &index, quint64 from, quint64 size);
    static bool applyAppended(
        HistoryIndex &index, HistoryIndex::Tail &tail, const Appended &appended, const char *rest);

    // The index these bytes hold, kept in memory; an empty one unless they are a whole index.
    static std::shared_ptr<HistoryIndex> fromBytes(QByteArray bytes);

    // The index stored for `directory`, its file kept open, or nullptr when there is none whole.
    static std::shared_ptr<HistoryIndex> stored(const QString &directory);
    static bool trusted(const HistoryIndex &index, const FileStamp &folder);

    // Writes the index for `directory`, unless the folder has changed since `folder` (a writer got
    // in first, under the lock, and its index is the newer one). `locked`: the caller holds the
    // lock already. The index to use from now on: the file just written, kept open, or the bytes
    // themselves when the file is not (or no longer) theirs. `leftovers`: temporary files the
    // listing that made `bytes` found in the folder.
    static std::shared_ptr<HistoryIndex> store(const QString &directory, QByteArray bytes, const FileStamp &folder,
        bool locked, const QList<QByteArray> &leftovers = {});

    // The places of the compact entries of `previous` that the record written replaces: those of
    // the same record, which share its start time, found where that time begins among its
    // destination's entries (newest first). Nullopt when that is not cheap, or when one of them held
    // the destination's latest prune and the record holds none as late: a merge then works it out.
    static std::optional<std::vector<quint64>> replacedBy(const HistoryIndex &previous, const BackupRecord &record);

    // One appended entry for `added` (none: only the folder's stamp and whether it had settled),
    // replacing the compact entries at `replaced`, chained after `chain`, which it moves on.
    static QByteArray appendedBytes(const HistoryIndex &previous, quint64 &chain, const Added *added,
        const std::vector<quint64> &replaced, const FileStamp &folder, bool settled);

    // The chain an append to `previous` continues.
    static quint64 chainOf(const HistoryIndex &previous);

    // Appends `bytes` to the very file `previous` was read from, where it ended, unless another
    // name reaches that file, it changed since, or the entries appended would grow past their
    // bounds. False, with the file as it was, when nothing was appended: the index is then written
    // whole.
    static bool appendTo(
        const QString &directory, const HistoryIndex &previous, const QByteArray &bytes, qsizetype entries);

    // Appends the entry of the record just written as `name` (its file's status `info`) to the
    // index `previous`, trusted just before the write, the folder now being at `after`.
    static bool append(const QString &directory, const HistoryIndex &previous, const QByteArray &name,
        const BackupRecord &record, const struct stat &info, const FileStamp &after);

    static quint64 compactSize(const Header &head);

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

    static std::optional<Loaded> load(const HistoryIndex &index);

    // Puts the appended entries of `index` in `loaded` in place of the compact ones they replace,
    // each at its place among its destination's, as a merge writes them.
    static void withAppended(const HistoryIndex &index, Loaded &loaded);

    // The entries of `loaded` that `kept` says stay, with `added` merged in at their places:
    // within their destination's group, after every entry that started at the same time or later.
    // Only the changes are sorted; the kept entries are already in order.
    static QByteArray merged(const HistoryIndex *index, const Loaded *loaded, const std::vector<bool> &kept,
        const QList<Added> &added, const FileStamp &folder, bool settled);

    // Appends to `previous` (under its lock) the entries of the files the listing found new or
    // changed, `added`, each replacing the entries of the same record that `kept` leaves out, and
    // the folder's stamp; nullptr when an entry left out is no such record's (a file gone), holds a
    // prune, or nothing could be appended.
    static std::shared_ptr<HistoryIndex> appendChanges(const QString &directory, const HistoryIndex &previous,
        const Loaded &loaded, const std::vector<bool> &kept, const QList<Added> &added, const FileStamp &folder,
        bool settled);

    // The index built from the record files. What `previous` knew of a file that is still the
    // same file is taken over without opening it; only the files that are new or changed are
    // read, and only the changes are merged in. Record files that do not decode are set aside.
    // Two files of one record (a copy under another name) count once: the one named after it,
    // else the first. (A file rewritten in place keeps its inode: a record read in full is
    // checked against its entry, and a mismatch rebuilds.)
    static std::shared_ptr<const HistoryIndex> built(
        const QString &directory, const HistoryIndex *previous, const HistoryIndex::Clock &now, bool locked);
};

} // namespace vellmir
