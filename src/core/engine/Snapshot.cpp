#include "engine/Snapshot.h"

#include "util/Json.h"

#include <QJsonArray>

namespace vellmir {

namespace {

QString stringValue(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

QStringList stringList(const QJsonValue &value)
{
    if (!value.isArray())
        return {};
    QStringList list;
    for (const QJsonValue &item : value.toArray()) {
        if (!item.isString())
            return {};
        list.append(item.toString());
    }
    return list;
}

} // namespace

Date Snapshot::parseDate(const QString &text)
{
    return Date::fromRfc3339(text).value_or(Date::distantPast());
}

Snapshot Snapshot::fromJson(const QJsonObject &object)
{
    Snapshot snapshot;
    snapshot.id = stringValue(object, QStringLiteral("id"));
    snapshot.shortID = stringValue(object, QStringLiteral("short_id"));
    snapshot.time = parseDate(stringValue(object, QStringLiteral("time")));
    snapshot.hostname = stringValue(object, QStringLiteral("hostname"));
    snapshot.paths = stringList(object.value(QStringLiteral("paths")));
    const QJsonValue summary = object.value(QStringLiteral("summary"));
    if (summary.isObject())
        snapshot.sizeBytes
            = json::toInt64(summary.toObject().value(QStringLiteral("total_bytes_processed"))).value_or(0);
    return snapshot;
}

size_t qHash(const Snapshot &snapshot, size_t seed) noexcept
{
    return qHashMulti(seed, snapshot.id, snapshot.shortID, snapshot.time.seconds, snapshot.hostname, snapshot.paths,
        snapshot.sizeBytes);
}

} // namespace vellmir
