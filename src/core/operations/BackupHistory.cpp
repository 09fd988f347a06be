#include "operations/BackupHistory.h"

#include "operations/FolderReader.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <mutex>

namespace vellmir {

namespace {

// Views poll the history every few seconds and every listing decodes every file of the
// folder. Records are replaced by rename and never edited in place, so a file whose
// identity, size and times are unchanged still holds the record decoded last time.
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
    FileKey key;
    BackupRecord record;
};

using FolderCache = QHash<QByteArray, CachedRecord>;

constexpr qsizetype maximumCachedFolders = 16;

std::mutex &cacheMutex()
{
    static std::mutex mutex;
    return mutex;
}

QHash<QString, FolderCache> &cache()
{
    static QHash<QString, FolderCache> folders;
    return folders;
}

// Every record of the folder with this destination id, in folder order. Every json file is
// read and decoded (or found unchanged in the cache), whichever destination it belongs to.
QList<BackupRecord> listFolder(const QString &directory, const QUuid &destinationID)
{
    const FolderReader folder(directory, QStringLiteral("history"));
    if (!folder.exists()) {
        const std::lock_guard guard(cacheMutex());
        cache().remove(directory);
        return {};
    }

    FolderCache previous;
    {
        const std::lock_guard guard(cacheMutex());
        previous = cache().value(directory);
    }

    QList<BackupRecord> records;
    QList<std::pair<QByteArray, CachedRecord>> fresh;
    QList<QByteArray> reused;
    fresh.reserve(previous.isEmpty() ? folder.names().size() : 0);

    for (const QByteArray &name : folder.names()) {
        if (!FolderReader::hasJsonExtension(name))
            continue;
        struct stat info { };
        const auto hit = previous.constFind(name);
        if (hit != previous.constEnd() && folder.status(name, info) && hit->key == FileKey::of(info)) {
            reused.append(name);
            if (hit->record.destinationID == destinationID)
                records.append(hit->record);
            continue;
        }
        const QByteArray bytes = folder.read(name, info);
        BackupRecord record
            = BackupRecord::decoded(bytes, QStringLiteral("The history record %1").arg(QFile::decodeName(name)));
        if (record.destinationID == destinationID)
            records.append(record);
        fresh.append({ name, CachedRecord { FileKey::of(info), std::move(record) } });
    }

    // Rebuild the folder's entry only when something changed, which also drops removed files.
    if (!fresh.isEmpty() || reused.size() != previous.size()) {
        FolderCache current;
        current.reserve(reused.size() + fresh.size());
        for (const QByteArray &name : std::as_const(reused))
            current.insert(name, previous.value(name));
        for (auto &[name, entry] : fresh)
            current.insert(name, std::move(entry));
        const std::lock_guard guard(cacheMutex());
        if (!cache().contains(directory) && cache().size() >= maximumCachedFolders)
            cache().clear();
        cache().insert(directory, std::move(current));
    }
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

QList<BackupRecord> BackupHistory::records(const QUuid &destinationID) const
{
    QList<BackupRecord> records = listFolder(m_directory, destinationID);
    std::stable_sort(records.begin(), records.end(),
        [](const BackupRecord &a, const BackupRecord &b) { return a.startedAt > b.startedAt; });
    return records;
}

QList<BackupRecord> BackupHistory::records(const Destination &destination) const
{
    const QString scope = destination.backupScope();
    QList<BackupRecord> records = this->records(destination.id);
    records.removeIf([&](const BackupRecord &record) { return !record.scope || *record.scope != scope; });
    return records;
}

bool BackupHistory::isDue(const Destination &destination, Date now) const
{
    if (destination.schedule == Destination::Schedule::manual)
        return false;
    const QList<BackupRecord> records = this->records(destination);
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
    for (const BackupRecord &record : records(destination.id))
        if (record.prunedAt && (!latest || *record.prunedAt > *latest))
            latest = record.prunedAt;
    if (!latest)
        return true;
    return now.secondsSince(*latest) >= pruneInterval;
}

void BackupHistory::clearCache()
{
    const std::lock_guard guard(cacheMutex());
    cache().clear();
}

} // namespace vellmir
