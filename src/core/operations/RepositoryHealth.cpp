#include "operations/RepositoryHealth.h"

#include "util/Json.h"
#include "util/Uuid.h"

#include <QJsonArray>

namespace vellmir {

QJsonObject UsageMeasurement::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), uuidText(id));
    object.insert(QStringLiteral("date"), json::fromDate(date));
    object.insert(QStringLiteral("bytes"), bytes);
    return object;
}

UsageMeasurement UsageMeasurement::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object, QStringLiteral("usage"));
    UsageMeasurement measurement;
    measurement.id = reader.uuid(QStringLiteral("id"));
    measurement.date = reader.date(QStringLiteral("date"));
    measurement.bytes = reader.integer(QStringLiteral("bytes"));
    return measurement;
}

void RepositoryHealth::appendUsage(const UsageMeasurement &measurement)
{
    usage.append(measurement);
    if (usage.size() > maximumUsageCount)
        usage.remove(0, usage.size() - maximumUsageCount);
}

QJsonObject RepositoryHealth::toJson() const
{
    QJsonObject object;
    if (repository)
        object.insert(QStringLiteral("repository"), *repository);
    if (lastIntegrityCheck)
        object.insert(QStringLiteral("lastIntegrityCheck"), json::fromDate(*lastIntegrityCheck));
    if (integritySucceeded)
        object.insert(QStringLiteral("integritySucceeded"), *integritySucceeded);
    if (integrityMessage)
        object.insert(QStringLiteral("integrityMessage"), *integrityMessage);
    if (lastVerifiedRestore)
        object.insert(QStringLiteral("lastVerifiedRestore"), json::fromDate(*lastVerifiedRestore));
    if (restoredSnapshot)
        object.insert(QStringLiteral("restoredSnapshot"), *restoredSnapshot);
    if (restoredSelection)
        object.insert(QStringLiteral("restoredSelection"), *restoredSelection);
    QJsonArray list;
    for (const UsageMeasurement &measurement : usage)
        list.append(measurement.toJson());
    object.insert(QStringLiteral("usage"), list);
    return object;
}

RepositoryHealth RepositoryHealth::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object);
    RepositoryHealth health;
    health.repository = reader.optionalString(QStringLiteral("repository"));
    health.lastIntegrityCheck = reader.optionalDate(QStringLiteral("lastIntegrityCheck"));
    health.integritySucceeded = reader.optionalBoolean(QStringLiteral("integritySucceeded"));
    health.integrityMessage = reader.optionalString(QStringLiteral("integrityMessage"));
    health.lastVerifiedRestore = reader.optionalDate(QStringLiteral("lastVerifiedRestore"));
    health.restoredSnapshot = reader.optionalString(QStringLiteral("restoredSnapshot"));
    health.restoredSelection = reader.optionalString(QStringLiteral("restoredSelection"));
    const QJsonArray list = reader.array(QStringLiteral("usage"));
    for (const QJsonValue &value : list) {
        if (!value.isObject())
            reader.fail(QStringLiteral("usage"), QStringLiteral("must be a list of measurements"));
        health.usage.append(UsageMeasurement::fromJson(value.toObject()));
    }
    return health;
}

QByteArray RepositoryHealth::encoded() const
{
    return json::compact(toJson());
}

RepositoryHealth RepositoryHealth::decoded(const QByteArray &bytes, const QString &what)
{
    return json::decoded<RepositoryHealth>(bytes, what);
}

} // namespace vellmir
