#pragma once

#include "config/Destination.h"
#include "operations/BackupRecord.h"
#include "util/AppPaths.h"

#include <QList>
#include <QString>
#include <QUuid>

namespace vellmir {

// The read side of the history folder: listings newest first and the due rules of the
// schedule and of pruning. Never writes; the backup runner writes the records.
class BackupHistory {
public:
    explicit BackupHistory(const QString &directory = AppPaths::historyDirectory());

    const QString &directory() const { return m_directory; }
    // Where the record with this id lives: "<directory>/<UUID>.json".
    QString filePath(const QUuid &recordID) const;

    // Every record of the destination, newest first by startedAt; equal times keep folder order.
    // Fails as a whole (Error or JsonError) when any record file of the folder, of whatever
    // destination, cannot be read or decoded. A missing folder is an empty history.
    QList<BackupRecord> records(const QUuid &destinationID) const;
    // Only the records made with the destination's current backupScope.
    QList<BackupRecord> records(const Destination &destination) const;

    // Whether a scheduled backup should run at `now`. Never reads the folder for a manual
    // destination.
    bool isDue(const Destination &destination, Date now) const;
    // Whether the retention after a complete backup should also prune: a week after the
    // latest prune among all the destination's records.
    bool isPruneDue(const Destination &destination, Date now) const;

    static constexpr double minimumSpacing = 3600;
    static constexpr double pruneInterval = 604800;
    static constexpr int failuresBeforeBackOff = 3;

    // Empties the process-wide cache of decoded records (for measurements).
    static void clearCache();

private:
    QString m_directory;
};

} // namespace vellmir
