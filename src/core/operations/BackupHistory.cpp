#include "operations/BackupHistory.h"

#include "operations/FolderReader.h"
#include "operations/HistoryIndex.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/Uuid.h"
#include "util/Workers.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <sys/stat.h>
#include <vector>

namespace vellmir {

BackupHistory::BackupHistory(const QString &directory, std::function<Date()> now)
    : m_directory(QDir::cleanPath(directory))
    , m_now(now ? std::move(now) : [] { return Date::now(); })
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

void BackupHistory::write(const BackupRecord &record) const
{
    ensureDirectory(m_directory);
    const QString path = filePath(record.id);
    HistoryIndex::update(m_directory, LocalPath::encode(QFileInfo(path).fileName()), record,
        [&] { writeFileAtomically(path, record.encoded()); });
}

QList<BackupRecord> BackupHistory::records(const QUuid &destinationID) const
{
    return newest(destinationID, -1);
}

QHash<QUuid, QList<BackupRecord>> BackupHistory::records(const QList<QUuid> &destinationIDs) const
{
    QHash<QUuid, QList<BackupRecord>> byDestination;
    for (const QUuid &id : destinationIDs)
        if (QList<BackupRecord> records = newest(id, -1); !records.isEmpty())
            byDestination.insert(id, std::move(records));
    return byDestination;
}

QList<BackupRecord> BackupHistory::records(const Destination &destination) const
{
    return withCurrentScope(records(destination.id), destination);
}

namespace {

// The records the entries describe, each read from its own file. Strict: nullopt unless every one
// is there, decodes and agrees with its entry. Otherwise the files decide: what each file now holds
// of the same record, newest first, leaving out what is gone or no longer that record.
std::optional<QList<BackupRecord>> readRecords(
    const QString &directory, const QList<HistoryIndex::Entry> &entries, bool strict)
{
    const FolderReader folder(directory, QStringLiteral("history"), FolderReader::Listing::none);
    // Each file on its own, several at once: a long listing is mostly waiting on reads and decoding.
    std::vector<std::optional<BackupRecord>> read(size_t(entries.size()));
    std::atomic_bool failed = false;
    inSlices(entries.size(), 256, [&](qsizetype first, qsizetype last) {
        for (qsizetype i = first; i < last && !(strict && failed); ++i) {
            const HistoryIndex::Entry &entry = entries.at(i);
            try {
                struct stat info { };
                BackupRecord record = BackupRecord::decoded(folder.read(entry.name, info),
                    QStringLiteral("The history record %1").arg(LocalPath::decode(entry.name)));
                if (HistoryIndex::agrees(record, entry.outline)
                    || (!strict && record.id == entry.outline.id
                        && record.destinationID == entry.outline.destinationID)) {
                    read[size_t(i)] = std::move(record);
                    continue;
                }
            } catch (const std::exception &) {
                // Gone, unreadable or no longer a record: below, the caller's rule decides.
            }
            failed = true;
        }
    });
    if (strict && failed)
        return std::nullopt;
    QList<BackupRecord> records;
    records.reserve(entries.size());
    for (std::optional<BackupRecord> &record : read)
        if (record)
            records.append(std::move(*record));
    if (!strict)
        sortNewestFirst(records);
    return records;
}

} // namespace

QList<BackupRecord> BackupHistory::newest(const QUuid &destinationID, qsizetype limit) const
{
    std::optional<QList<HistoryIndex::Entry>> entries;
    for (const bool rebuild : { false, true }) {
        entries = HistoryIndex::current(m_directory, m_now, rebuild)->entries(destinationID, limit);
        if (!entries)
            continue;
        if (std::optional<QList<BackupRecord>> records = readRecords(m_directory, *entries, true))
            return *records;
    }
    // The files keep changing under the index: they decide.
    return entries ? *readRecords(m_directory, *entries, false) : QList<BackupRecord>();
}

QList<BackupRecord> BackupHistory::newestThroughRunning(const QUuid &destinationID) const
{
    std::optional<qsizetype> depth;
    for (const bool rebuild : { false, true })
        if ((depth = HistoryIndex::current(m_directory, m_now, rebuild)->runningDepth(destinationID)))
            break;
    if (depth && *depth == 0)
        return {};
    return newest(destinationID, depth.value_or(-1));
}

std::optional<BackupRecord> BackupHistory::record(const QUuid &recordID) const
{
    const FolderReader folder(m_directory, QStringLiteral("history"), FolderReader::Listing::none);
    if (!folder.exists())
        return std::nullopt;
    const QByteArray name = LocalPath::encode(QFileInfo(filePath(recordID)).fileName());
    struct stat info { };
    if (!folder.status(name, info))
        return std::nullopt;
    QByteArray bytes;
    try {
        bytes = folder.read(name, info);
    } catch (const UnfitFileError &) {
        return std::nullopt;
    }
    try {
        BackupRecord record
            = BackupRecord::decoded(bytes, QStringLiteral("The history record %1").arg(LocalPath::decode(name)));
        if (record.id == recordID)
            return record;
    } catch (const Error &) {
        // Not a record any more: the next listing sets it aside.
    }
    return std::nullopt;
}

std::optional<BackupHistory::Glance> BackupHistory::glance(
    const QUuid &destinationID, qsizetype limit, const Glance *since) const
{
    const Date now = m_now();
    // One reading of the folder for the whole glance, settled or not.
    const HistoryIndex::Call call;
    // A scope as a key: runs made before scopes have none.
    const auto scopeKey = [](const std::optional<QString> &scope) { return scope ? u'+' + *scope : QString(u'-'); };
    for (const bool rebuild : { false, true }) {
        const std::shared_ptr<const HistoryIndex> index = HistoryIndex::current(m_directory, m_now, rebuild);
        if (!rebuild && since && !since->source.owner_before(index) && !index.owner_before(since->source)
            && !since->source.expired())
            return std::nullopt;
        Glance glance;
        glance.source = index;
        glance.count = index->count(destinationID);
        glance.anyRunning = index->anyRunning(destinationID);
        // What is kept of each scope, by its text (absent for runs made before scopes).
        QSet<QString> completeOf;
        QSet<QString> incompleteOf;
        bool finished = false;
        QList<QUuid> incomplete;
        const bool whole = index->eachOutline(destinationID, [&](const BackupRecord &outline) {
            const QString scope = scopeKey(outline.scope);
            bool keep = false;
            if (outline.outcome == BackupRecord::Outcome::complete) {
                // A run dated ahead stays: the clock may pass it while the pane is open.
                keep = outline.isDatedAfter(now) || !completeOf.contains(scope) || (!finished && outline.finishedAt);
                if (!outline.isDatedAfter(now))
                    completeOf.insert(scope);
                finished = finished || outline.finishedAt.has_value();
            } else if (outline.outcome == BackupRecord::Outcome::incomplete) {
                incomplete.append(outline.id);
                keep = !incompleteOf.contains(scope);
                incompleteOf.insert(scope);
            }
            if (keep)
                glance.landmarks.append(outline);
            return true;
        });
        if (!whole)
            continue;
        glance.newest = newest(destinationID, limit);
        for (const QUuid &id : std::as_const(incomplete)) {
            if (since && since->incompleteSnapshots.contains(id)) {
                glance.incompleteSnapshots.insert(id, since->incompleteSnapshots.value(id));
                continue;
            }
            const std::optional<BackupRecord> record = this->record(id);
            if (record && record->outcome == BackupRecord::Outcome::incomplete)
                glance.incompleteSnapshots.insert(id, record->snapshotID.value_or(QString()));
        }
        return glance;
    }
    // The index keeps being damaged under us: the files decide, as records() lists them.
    Glance glance;
    const QList<BackupRecord> all = records(destinationID);
    glance.count = all.size();
    glance.newest = limit < 0 ? all : all.mid(0, limit);
    glance.landmarks = all;
    for (const BackupRecord &record : all) {
        glance.anyRunning = glance.anyRunning || record.outcome == BackupRecord::Outcome::running;
        if (record.outcome == BackupRecord::Outcome::incomplete)
            glance.incompleteSnapshots.insert(record.id, record.snapshotID.value_or(QString()));
    }
    return glance;
}

bool BackupHistory::anyRunning(const QUuid &destinationID) const
{
    return HistoryIndex::current(m_directory, m_now)->anyRunning(destinationID);
}

QHash<QUuid, QList<BackupRecord>> BackupHistory::outlines(
    const QList<Destination> &destinations, std::optional<Date> at) const
{
    QHash<QUuid, QList<BackupRecord>> byDestination;
    // The clock is read once for the whole call: for the folder's settling and for what lies ahead.
    std::optional<Date> read;
    const HistoryIndex::Clock clock = [&] { return read ? *read : *(read = m_now()); };
    const Date now = at ? *at : clock();
    // One index for the whole call: while the folder settles, each lookup would build it again.
    std::shared_ptr<const HistoryIndex> index = HistoryIndex::current(m_directory, clock);
    for (const Destination &destination : destinations) {
        if (byDestination.contains(destination.id))
            continue;
        const QString scope = destination.backupScope();
        std::optional<QList<BackupRecord>> outlines = index->outlines(destination.id, scope, now);
        if (!outlines) {
            index = HistoryIndex::current(m_directory, clock, true);
            outlines = index->outlines(destination.id, scope, now);
        }
        if (!outlines)
            outlines = records(destination.id);
        if (!outlines->isEmpty())
            byDestination.insert(destination.id, std::move(*outlines));
    }
    return byDestination;
}

QString BackupHistory::setAsideSuffix()
{
    return FolderReader::damagedSuffix();
}

QStringList BackupHistory::setAsideRecords() const
{
    return FolderReader::namesContaining(m_directory, QStringLiteral("history"), ".json" + setAsideSuffix().toUtf8());
}

bool BackupHistory::isDue(const Destination &destination, Date now) const
{
    if (destination.schedule == Destination::Schedule::manual)
        return false;
    return isDue(destination, outlines({ destination }, now).value(destination.id), now);
}

bool BackupHistory::isDue(const Destination &destination, const QList<BackupRecord> &all, Date now)
{
    if (destination.schedule == Destination::Schedule::manual)
        return false;
    QList<BackupRecord> records = withCurrentScope(all, destination);
    // Due as if a run dated after now had not happened: a clock that was once ahead must not
    // hold the schedule back until it catches up.
    records.removeIf([&](const BackupRecord &record) { return record.isDatedAfter(now); });
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
    std::shared_ptr<const HistoryIndex> index = HistoryIndex::current(m_directory, m_now);
    std::optional<Date> latest = index->latestPrune(destination.id);
    if (latest && *latest > now) {
        // A prune dated after now does not put the next one off: the latest before now counts.
        latest.reset();
        std::optional<QList<HistoryIndex::Entry>> entries = index->entries(destination.id);
        if (!entries)
            entries = HistoryIndex::current(m_directory, m_now, true)->entries(destination.id);
        for (const HistoryIndex::Entry &entry : entries.value_or(QList<HistoryIndex::Entry>()))
            if (const std::optional<Date> pruned = entry.outline.prunedAt; pruned && *pruned <= now)
                latest = latest ? std::max(*latest, *pruned) : *pruned;
    }
    if (!latest)
        return true;
    return now.secondsSince(*latest) >= pruneInterval;
}

void BackupHistory::clearCache()
{
    HistoryIndex::clearCache();
}

} // namespace vellmir
