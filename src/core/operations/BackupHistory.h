#pragma once

#include "config/Destination.h"
#include "operations/BackupRecord.h"
#include "util/AppPaths.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

namespace vellmir {

// The history folder: listings newest first and the due rules of the schedule and of pruning,
// through the history index beside the folder (HistoryIndex), which every record written here
// keeps current. Besides writing records, it only renames a damaged one out of the way.
class HistoryIndex;

class BackupHistory {
public:
    // What a destination's pane shows of its history, read without holding all of it.
    struct Glance {
        // How many records the destination has.
        qsizetype count = 0;
        // The newest records, each read in full.
        QList<BackupRecord> newest;
        // Outlines of the records, newest first, that the pane's summaries need: of each scope, its
        // complete runs down to the newest one not dated after the read, and its newest incomplete
        // run; and the newest complete run that says when it finished. Over them, "the last
        // complete backup" of any settings, "the last with earlier settings" and "the latest,
        // incomplete" come out as over every record.
        QList<BackupRecord> landmarks;
        // The snapshot of each run recorded incomplete (empty when it saved none), by record id.
        QHash<QUuid, QString> incompleteSnapshots;
        // Whether a record says "running".
        bool anyRunning = false;
        // The index the glance was read from, while this process keeps it: the same one means the
        // history has not changed.
        std::weak_ptr<const HistoryIndex> source;
    };

    // `now` is the clock that judges whether the folder has settled; the system's by default.
    explicit BackupHistory(
        const QString &directory = AppPaths::historyDirectory(), std::function<Date()> now = std::function<Date()>());

    const QString &directory() const { return m_directory; }
    // Where the record with this id lives: "<directory>/<UUID>.json".
    QString filePath(const QUuid &recordID) const;

    // Writes the record's file (replacing the one of the same id) and brings the index up to date
    // with it. Throws Error when the record could not be written.
    void write(const BackupRecord &record) const;

    // Every record of the destination, newest first by startedAt; equal times keep folder order.
    // Fails (Error) only when the folder cannot be listed; a missing folder is an empty history.
    // A record file that does not decode is set aside: renamed with setAsideSuffix(), so no
    // listing reads it again, and logged once. One that cannot be read is left out and logged.
    QList<BackupRecord> records(const QUuid &destinationID) const;
    // The records of several destinations, each newest first; a destination without records has
    // no entry.
    QHash<QUuid, QList<BackupRecord>> records(const QList<QUuid> &destinationIDs) const;
    // Only the records made with the destination's current backupScope.
    QList<BackupRecord> records(const Destination &destination) const;
    // The `limit` newest records of the destination (every one for a negative limit), as
    // records(destinationID) lists them, decoding only those: the history index finds them, and
    // each is read from its own file and must agree with its entry there.
    QList<BackupRecord> newest(const QUuid &destinationID, qsizetype limit) const;
    // The destination's newest records down to its oldest one still "running", newest first;
    // none when no record is running. Reads only those records' files.
    QList<BackupRecord> newestThroughRunning(const QUuid &destinationID) const;
    // The record with this id, read from the file our writer gives it; nullopt when there is no
    // such file or it holds another record. Throws Error when the file cannot be read.
    std::optional<BackupRecord> record(const QUuid &recordID) const;
    // What the due rules, the status and the health row need of these destinations' records, from
    // the history index without reading a record file: for each, its records newest first down to
    // the newest complete one made with its current backupScope that says when it finished and is
    // not dated after `now` (the clock's by default; all of them when there is none), then every older one still
    // "running". Each holds id, destinationID, startedAt, finishedAt, outcome, scope and prunedAt, the rest left
    // empty. A destination without records has no entry.
    QHash<QUuid, QList<BackupRecord>> outlines(
        const QList<Destination> &destinations, std::optional<Date> now = std::nullopt) const;
    // The destination's glance with its `limit` newest records; nullopt when the history is still
    // the one `since` was read from. Costs what changed: reading the records of `since` again is
    // left to the index, and only new incomplete runs are read in full besides the newest.
    std::optional<Glance> glance(const QUuid &destinationID, qsizetype limit, const Glance *since = nullptr) const;
    // Whether a record of the destination still says "running", from the history index.
    bool anyRunning(const QUuid &destinationID) const;

    // Whether a scheduled backup should run at `now`. Never reads the folder for a manual
    // destination. The rules need only what outlines() gives.
    bool isDue(const Destination &destination, Date now) const;
    // The same rule over records already listed: the destination's records newest first, every one
    // or what outlines() gives of them.
    static bool isDue(const Destination &destination, const QList<BackupRecord> &records, Date now);
    // Whether the retention after a complete backup should also prune: a week after the
    // latest prune among all the destination's records.
    bool isPruneDue(const Destination &destination, Date now) const;

    // What a damaged record's file name gets appended: "<UUID>.json.damaged".
    static QString setAsideSuffix();
    // The names of the record files set aside in the folder, sorted; empty when none or when
    // the folder cannot be listed.
    QStringList setAsideRecords() const;

    static constexpr double minimumSpacing = 3600;
    static constexpr double pruneInterval = 604800;
    static constexpr int failuresBeforeBackOff = 3;

    // Forgets the history indexes this process has read.
    static void clearCache();

private:
    QString m_directory;
    std::function<Date()> m_now;
};

} // namespace vellmir
