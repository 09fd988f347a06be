#pragma once

#include "util/Date.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

namespace vellmir {

// One backup run as kept in the history folder: one compact JSON file per run, named after
// the record's id, dates as seconds since 2001.
struct BackupRecord {
    enum class Outcome { running, complete, incomplete, failed, cancelled };

    QUuid id;
    QUuid destinationID;
    Date startedAt;
    std::optional<Date> finishedAt;
    Outcome outcome = Outcome::running;
    std::optional<QString> snapshotID;
    QStringList issues;
    std::optional<QString> maintenance;
    std::optional<Date> prunedAt;
    bool accessGranted = false;
    qint64 bytesAdded = 0;
    std::optional<QString> scope;
    std::optional<QStringList> skippedProtected;

    BackupRecord() = default;
    // A new run of the destination: a fresh id, outcome running.
    BackupRecord(const QUuid &destinationID, Date startedAt);

    // Absent optional fields are left out of the object.
    QJsonObject toJson() const;
    // The file content: compact JSON.
    QByteArray encoded() const;
    // Throws JsonError naming the key for a missing required key, a wrong type or an unknown
    // outcome. Keys the record does not know are ignored.
    static BackupRecord fromJson(const QJsonObject &object);
    // Throws JsonError naming `what` (for example the file) when the bytes do not decode.
    static BackupRecord decoded(const QByteArray &bytes, const QString &what);

    // Whether the run is dated after `now` (made while the clock was ahead, or copied from a
    // computer whose clock is): such a run tells nothing of when the next backup falls due.
    bool isDatedAfter(Date now) const { return startedAt > now || (finishedAt && *finishedAt > now); }

    friend bool operator==(const BackupRecord &, const BackupRecord &) = default;
};

QString toString(BackupRecord::Outcome outcome);
std::optional<BackupRecord::Outcome> outcomeFromString(const QString &raw);
const QList<BackupRecord::Outcome> &allOutcomes();

} // namespace vellmir
