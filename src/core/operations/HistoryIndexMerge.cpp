#include "operations/HistoryIndexFormat.h"

#include "operations/FolderReader.h"
#include "util/AtomicFile.h"
#include "util/LocalPath.h"
#include "util/Workers.h"

#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace vellmir {

namespace {

using Loaded = HistoryIndexAccess::Loaded;

bool settledBefore(const FileStamp &folder, Date started)
{
    return started.secondsSince(Date::fromUnix(double(folder.modified) / 1e9)) > settleSeconds;
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

// A new entry for `added`, its scope found in or added to `scopes`.
Source sourceOf(const Added &added, QList<QByteArray> &scopes)
{
    const Outline &outline = added.outline;
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
    // The file's status, kept only for one that did not decode: it is set aside only while it is
    // still the file read. A rebuild holds one of these for every file.
    std::unique_ptr<struct stat> status;
    bool unreadable = false;
};

// The few distinct scopes a folder's records name, shared: a rebuild holds one copy of each, not
// one per record.
class Scopes {
public:
    std::optional<QString> shared(const std::optional<QString> &scope)
    {
        if (!scope)
            return scope;
        const std::lock_guard guard(m_mutex);
        const auto found = m_scopes.constFind(*scope);
        return found != m_scopes.cend() ? *found : *m_scopes.insert(*scope);
    }

private:
    std::mutex m_mutex;
    QSet<QString> m_scopes;
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
void dropCopies(const QList<QByteArray> &names, const Loaded *loaded, std::vector<Listed> &listed)
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
std::vector<Listed> listing(const FolderReader &folder, const Known *known, QList<QByteArray> &leftovers)
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
void readChanged(const FolderReader &folder, const Loaded *loaded, const LookAt &lookAt, std::vector<Listed> &listed)
{
    Scopes scopes;
    inSlices(qsizetype(listed.size()), 512, [&](qsizetype first, qsizetype last) {
        for (qsizetype i = first; i < last; ++i) {
            Listed &each = listed[size_t(i)];
            if (each.known >= 0 && !lookAt(loaded->raw(each.known)))
                continue;
            const QByteArray &name = folder.names().at(each.name);
            struct stat status { };
            if (each.known >= 0 && folder.status(name, status)
                && loaded->raw(each.known).file.stamp() == FileStamp::of(status))
                continue;
            each.fresh = std::make_unique<Fresh>();
            Fresh &fresh = *each.fresh;
            each.known = -1;
            try {
                const QByteArray bytes = folder.read(name, status);
                try {
                    const BackupRecord record = BackupRecord::decoded(
                        bytes, QStringLiteral("The history record %1").arg(LocalPath::decode(name)));
                    fresh.read = Added { name, Outline::of(record), FileStamp::of(status) };
                    fresh.read->outline.scope = scopes.shared(fresh.read->outline.scope);
                } catch (const Error &error) {
                    fresh.problem = error.message();
                    fresh.status = std::make_unique<struct stat>(status);
                }
            } catch (const Error &error) {
                fresh.problem = error.message();
                fresh.unreadable = true;
            }
        }
    });
}

} // namespace

std::optional<std::vector<quint64>> HistoryIndexAccess::replacedBy(
    const HistoryIndex &previous, const BackupRecord &record)
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

QByteArray HistoryIndexAccess::appendedBytes(const HistoryIndex &previous, quint64 &chain, const Added *added,
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

quint64 HistoryIndexAccess::chainOf(const HistoryIndex &previous)
{
    return previous.m_tail ? previous.m_tail->chain : header(previous).checksum;
}

bool HistoryIndexAccess::appendTo(
    const QString &directory, const HistoryIndex &previous, const QByteArray &bytes, qsizetype entries)
{
    const HistoryIndex::Tail *tail = previous.m_tail.get();
    if (previous.m_file < 0 || !previous.m_attached || (tail ? qsizetype(tail->appends) : 0) + entries >= appendedAtMost
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

bool HistoryIndexAccess::append(const QString &directory, const HistoryIndex &previous, const QByteArray &name,
    const BackupRecord &record, const struct stat &info, const FileStamp &after)
{
    // A name of its own could be the written file's: only a merge sees to that.
    if (!previous.m_attached || header(previous).ownNames > 0 || (previous.m_tail && previous.m_tail->ownNames))
        return false;
    const std::optional<std::vector<quint64>> replaced = replacedBy(previous, record);
    if (!replaced)
        return false;
    quint64 chain = chainOf(previous);
    const Added added { name, Outline::of(record), FileStamp::of(info) };
    return appendTo(directory, previous, appendedBytes(previous, chain, &added, *replaced, after, true), 1);
}

std::optional<HistoryIndexAccess::Loaded> HistoryIndexAccess::load(const HistoryIndex &index)
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

void HistoryIndexAccess::withAppended(const HistoryIndex &index, Loaded &loaded)
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
        std::stable_sort(
            each.begin(), each.end(), [](const RawEntry &a, const RawEntry &b) { return a.startedAt > b.startedAt; });
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

QByteArray HistoryIndexAccess::merged(const HistoryIndex *index, const Loaded *loaded, const std::vector<bool> &kept,
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

std::shared_ptr<HistoryIndex> HistoryIndexAccess::appendChanges(const QString &directory, const HistoryIndex &previous,
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
    if (folderStamp(directory) != folder || !appendTo(directory, previous, bytes, std::max<qsizetype>(added.size(), 1)))
        return nullptr;
    std::shared_ptr<HistoryIndex> appended = stored(directory);
    return appended && folderOf(*appended) == folder ? appended : nullptr;
}

std::shared_ptr<const HistoryIndex> HistoryIndexAccess::built(
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
    // Sized once: growing it would hold two copies of it at the last step.
    added.reserve(std::count_if(listed.cbegin(), listed.cend(),
        [](const Listed &each) { return each.known < 0 && each.fresh && each.fresh->read; }));
    for (Listed &each : listed) {
        const QByteArray &name = folder.names().at(each.name);
        if (each.known >= 0) {
            kept[size_t(each.known)] = true;
        } else if (!each.fresh) {
            continue; // a copy left out
        } else if (each.fresh->read) {
            added.append(std::move(*each.fresh->read));
            each.fresh.reset();
        } else if (each.fresh->unreadable) {
            // Unreadable for now: left out of this index only, which the next listing rebuilds.
            folder.logOnce(name, QStringLiteral("history"), each.fresh->problem);
            settled = false;
        } else if (!each.fresh->problem.isEmpty()) {
            folder.setAsideLogged(name, *each.fresh->status, FolderReader::damagedSuffix().toUtf8(),
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

} // namespace vellmir
