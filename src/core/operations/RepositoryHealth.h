#pragma once

#include "util/Date.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace vellmir {

// One measurement of how much a repository stores.
struct UsageMeasurement {
    QUuid id;
    Date date;
    qint64 bytes = 0;

    QJsonObject toJson() const;
    // Needs all three keys; throws JsonError otherwise.
    static UsageMeasurement fromJson(const QJsonObject &object);

    friend bool operator==(const UsageMeasurement &, const UsageMeasurement &) = default;
};

// What is known about one destination's repository: the last integrity check, the last
// verified restore and the recent storage measurements. The default value knows nothing.
struct RepositoryHealth {
    // The series keeps this many measurements, the newest ones.
    static constexpr qsizetype maximumUsageCount = 30;

    std::optional<QString> repository;
    std::optional<Date> lastIntegrityCheck;
    std::optional<bool> integritySucceeded;
    std::optional<QString> integrityMessage;
    std::optional<Date> lastVerifiedRestore;
    std::optional<QString> restoredSnapshot;
    std::optional<QString> restoredSelection;
    QList<UsageMeasurement> usage; // oldest first

    // Appends a measurement and drops the oldest beyond maximumUsageCount.
    void appendUsage(const UsageMeasurement &measurement);

    QJsonObject toJson() const;
    // "usage" must be present; optional keys may be missing. Throws JsonError.
    static RepositoryHealth fromJson(const QJsonObject &object);

    // Compact JSON, absent fields left out.
    QByteArray encoded() const;
    // Throws JsonError naming `what` when the bytes are not a health record.
    static RepositoryHealth decoded(const QByteArray &bytes, const QString &what);

    friend bool operator==(const RepositoryHealth &, const RepositoryHealth &) = default;
};

} // namespace vellmir
