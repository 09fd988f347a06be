#include "operations/HistoryIndexFormat.h"

#include "util/Uuid.h"
#include "util/Workers.h"

#include <QRandomGenerator>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vellmir::historyindex {

quint64 checksum(const char *data, qsizetype size, quint64 hash)
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

quint64 entryChecksum(RawEntry entry, QByteArrayView ownName, quint64 nonce)
{
    entry.checksum = 0;
    const quint64 hash = checksum(
        reinterpret_cast<const char *>(&entry), sizeof entry, checksum(reinterpret_cast<const char *>(&nonce), 8));
    return checksum(ownName.data(), ownName.size(), hash);
}

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

} // namespace vellmir::historyindex

namespace vellmir {

namespace {

// The name a record's file has when named after the record, as our writer names it.
QByteArray standardName(const char *id)
{
    return (uuidText(QUuid::fromRfc4122(QByteArrayView(id, 16))) + QStringLiteral(".json")).toUtf8();
}

} // namespace

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

Header HistoryIndexAccess::header(const HistoryIndex &index)
{
    Header header;
    std::memcpy(&header, index.m_head.data(), sizeof header);
    return header;
}

qsizetype HistoryIndexAccess::destinations(const HistoryIndex &index)
{
    return qsizetype(header(index).destinations);
}

qsizetype HistoryIndexAccess::count(const HistoryIndex &index)
{
    return index.m_attached ? qsizetype(header(index).count) : 0;
}

Range HistoryIndexAccess::range(const HistoryIndex &index, qsizetype i)
{
    Range range;
    std::memcpy(&range, index.m_header.constData() + sizeof(Header) + i * qsizetype(sizeof(Range)), sizeof range);
    return range;
}

std::optional<Range> HistoryIndexAccess::storedRange(const HistoryIndex &index, const char *wanted)
{
    for (qsizetype i = 0; i < destinations(index); ++i) {
        const Range each = range(index, i);
        if (std::memcmp(each.destination, wanted, 16) == 0)
            return each;
    }
    return std::nullopt;
}

std::optional<HistoryIndexAccess::Span> HistoryIndexAccess::spanOf(
    const HistoryIndex &index, const QUuid &destinationID)
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

bool HistoryIndexAccess::settledOf(const HistoryIndex &index)
{
    return index.m_tail ? index.m_tail->settled : header(index).settled == 1;
}

FileStamp HistoryIndexAccess::folderOf(const HistoryIndex &index)
{
    return index.m_tail ? index.m_tail->folder.stamp() : header(index).folder.stamp();
}

quint64 HistoryIndexAccess::entriesAt(const HistoryIndex &index)
{
    return quint64(index.m_header.size());
}

quint64 HistoryIndexAccess::blobAt(const HistoryIndex &index)
{
    return entriesAt(index) + header(index).count * sizeof(RawEntry);
}

std::optional<QList<HistoryIndexAccess::Read>> HistoryIndexAccess::read(
    const HistoryIndex &index, qsizetype first, qsizetype n)
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
            && entryChecksum(raw, (raw.flags & hasOwnName) ? QByteArrayView(each.name) : QByteArrayView(), head.nonce)
                == raw.checksum
            && HistoryIndex::plainName(each.name);
        entries.append(std::move(each));
    }
    return entries;
}

BackupRecord HistoryIndexAccess::outline(
    const HistoryIndex &index, const RawEntry &raw, QHash<quint32, QString> &scopes)
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

bool HistoryIndexAccess::attach(HistoryIndex &index, quint64 size)
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
        std::memcpy(&ref, tables->constData() + header.destinations * sizeof(Range) + i * sizeof(ScopeRef), sizeof ref);
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

Range &HistoryIndexAccess::totalOf(const HistoryIndex &index, HistoryIndex::Tail &tail, const RawEntry &raw)
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

// Applies one appended entry, whose name, scope and replaced places follow it at `rest`, to the
// tail read so far; false where it does not fit the index it follows.
bool HistoryIndexAccess::applyAppended(
    HistoryIndex &index, HistoryIndex::Tail &tail, const Appended &appended, const char *rest)
{
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
    Range &total = totalOf(index, tail, raw);
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
        if (tail.replaced.contains(place))
            continue;
        const std::optional<QList<Read>> old = read(index, qsizetype(place), 1);
        if (!old || !old->first().intact || std::memcmp(old->first().raw.id, raw.id, 16) != 0)
            return false;
        remove(old->first().raw);
        tail.replaced.insert(place);
    }
    // An earlier appended entry of the same record goes too.
    for (auto it = tail.entries.begin(); it != tail.entries.end();) {
        if (std::memcmp(it->raw.id, raw.id, 16) == 0) {
            remove(it->raw);
            it = tail.entries.erase(it);
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
    tail.entries.push_back(HistoryIndex::Tail::Entry { raw, name });
    tail.ownNames = tail.ownNames || own;
    return true;
}

bool HistoryIndexAccess::attachTail(HistoryIndex &index, quint64 from, quint64 size)
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

        if (!applyAppended(index, *tail, appended, rest))
            return false;
    }
    tail->chain = chain;
    index.m_tail = std::move(tail);
    return true;
}

std::shared_ptr<HistoryIndex> HistoryIndexAccess::fromBytes(QByteArray bytes)
{
    auto index = std::make_shared<HistoryIndex>();
    index->m_bytes = std::move(bytes);
    if (!attach(*index, quint64(index->m_bytes.size())))
        return std::make_shared<HistoryIndex>();
    return index;
}

quint64 HistoryIndexAccess::compactSize(const Header &head)
{
    return sizeof head + head.destinations * sizeof(Range) + head.scopes * sizeof(ScopeRef)
        + head.count * sizeof(RawEntry) + head.blobSize;
}

} // namespace vellmir
