#include "config/BackupPreferences.h"

#include "util/Json.h"

namespace vellmir {

QJsonObject BackupPreferences::toJson() const
{
    return QJsonObject {
        { QStringLiteral("onlyOnAC"), onlyOnAC },
        { QStringLiteral("avoidMeteredNetworks"), avoidMeteredNetworks },
        { QStringLiteral("uploadLimitKiB"), uploadLimitKiB },
        { QStringLiteral("checkMonthly"), checkMonthly },
        { QStringLiteral("storageRatePerTB"), storageRatePerTB },
        { QStringLiteral("monthlyBudget"), monthlyBudget },
    };
}

BackupPreferences BackupPreferences::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object, QStringLiteral("preferences"));
    BackupPreferences preferences;
    preferences.onlyOnAC = reader.boolean(QStringLiteral("onlyOnAC"));
    preferences.avoidMeteredNetworks = reader.boolean(QStringLiteral("avoidMeteredNetworks"));
    preferences.uploadLimitKiB = reader.integer(QStringLiteral("uploadLimitKiB"));
    preferences.checkMonthly = reader.boolean(QStringLiteral("checkMonthly"));
    preferences.storageRatePerTB = reader.number(QStringLiteral("storageRatePerTB"));
    preferences.monthlyBudget = reader.number(QStringLiteral("monthlyBudget"));
    return preferences;
}

} // namespace vellmir
