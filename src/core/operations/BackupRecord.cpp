#include "operations/BackupRecord.h"

#include "util/Json.h"
#include "util/Uuid.h"

namespace vellmir {

namespace {
const QString kId = QStringLiteral("id");
const QString kDestinationID = QStringLiteral("destinationID");
const QString kStartedAt = QStringLiteral("startedAt");
const QString kFinishedAt = QStringLiteral("finishedAt");
const QString kOutcome = QStringLiteral("outcome");
const QString kSnapshotID = QStringLiteral("snapshotID");
const QString kIssues = QStringLiteral("issues");
const QString kMaintenance = QStringLiteral("maintenance");
const QString kPrunedAt = QStringLiteral("prunedAt");
const QString kAccessGranted = QStringLiteral("accessGranted");
const QString kBytesAdded = QStringLiteral("bytesAdded");
const QString kScope = QStringLiteral("scope");
const QString kSkippedProtected = QStringLiteral("skippedProtected");
} // namespace

QString toString(BackupRecord::Outcome outcome)
{
    switch (outcome) {
    case BackupRecord::Outcome::running:
        return QStringLiteral("running");
    case BackupRecord::Outcome::complete:
        return QStringLiteral("complete");
    case BackupRecord::Outcome::incomplete:
        return QStringLiteral("incomplete");
    case BackupRecord::Outcome::failed:
        return QStringLiteral("failed");
    case BackupRecord::Outcome::cancelled:
        return QStringLiteral("cancelled");
    }
    return {};
}

const QList<BackupRecord::Outcome> &allOutcomes()
{
    static const QList<BackupRecord::Outcome> list { BackupRecord::Outcome::running, BackupRecord::Outcome::complete,
        BackupRecord::Outcome::incomplete, BackupRecord::Outcome::failed, BackupRecord::Outcome::cancelled };
    return list;
}

std::optional<BackupRecord::Outcome> outcomeFromString(const QString &raw)
{
    for (BackupRecord::Outcome outcome : allOutcomes())
        if (toString(outcome) == raw)
            return outcome;
    return std::nullopt;
}

BackupRecord::BackupRecord(const QUuid &destination, Date started)
    : id(newUuid())
    , destinationID(destination)
    , startedAt(started)
{
}

QJsonObject BackupRecord::toJson() const
{
    QJsonObject object {
        { kId, uuidText(id) },
        { kDestinationID, uuidText(destinationID) },
        { kStartedAt, json::fromDate(startedAt) },
        { kOutcome, toString(outcome) },
        { kIssues, json::fromStrings(issues) },
        { kAccessGranted, accessGranted },
        { kBytesAdded, bytesAdded },
    };
    if (finishedAt)
        object.insert(kFinishedAt, json::fromDate(*finishedAt));
    if (snapshotID)
        object.insert(kSnapshotID, *snapshotID);
    if (maintenance)
        object.insert(kMaintenance, *maintenance);
    if (prunedAt)
        object.insert(kPrunedAt, json::fromDate(*prunedAt));
    if (scope)
        object.insert(kScope, *scope);
    if (skippedProtected)
        object.insert(kSkippedProtected, json::fromStrings(*skippedProtected));
    return object;
}

QByteArray BackupRecord::encoded() const
{
    return json::compact(toJson());
}

BackupRecord BackupRecord::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object);
    BackupRecord record;
    record.id = reader.uuid(kId);
    record.destinationID = reader.uuid(kDestinationID);
    record.startedAt = reader.date(kStartedAt);
    record.finishedAt = reader.optionalDate(kFinishedAt);
    record.outcome = reader.enumeration<Outcome>(kOutcome, outcomeFromString);
    record.snapshotID = reader.optionalString(kSnapshotID);
    record.issues = reader.strings(kIssues);
    record.maintenance = reader.optionalString(kMaintenance);
    record.prunedAt = reader.optionalDate(kPrunedAt);
    record.accessGranted = reader.boolean(kAccessGranted);
    record.bytesAdded = reader.integer(kBytesAdded);
    record.scope = reader.optionalString(kScope);
    record.skippedProtected = reader.optionalStrings(kSkippedProtected);
    return record;
}

BackupRecord BackupRecord::decoded(const QByteArray &bytes, const QString &what)
{
    return json::decoded<BackupRecord>(bytes, what);
}

} // namespace vellmir
