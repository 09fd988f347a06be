#pragma once

#include <QJsonObject>

namespace vellmir {

// Per-destination settings for scheduled runs, upload speed, monthly checks and costs.
// A destination without preferences uses the defaults below.
struct BackupPreferences {
    bool onlyOnAC = false;
    bool avoidMeteredNetworks = true;
    qint64 uploadLimitKiB = 0; // KiB/s; 0 or less means no limit
    bool checkMonthly = false;
    double storageRatePerTB = 0.0; // US dollars per 10^12 bytes and month
    double monthlyBudget = 0.0; // US dollars per month; 0 turns the warning off

    QJsonObject toJson() const;
    // All six keys are required; no defaults are filled in for a partial object.
    static BackupPreferences fromJson(const QJsonObject &object);

    friend bool operator==(const BackupPreferences &, const BackupPreferences &) = default;
};

} // namespace vellmir
