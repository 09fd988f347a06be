#pragma once

#include "platform/PowerSource.h"
#include "platform/SessionBus.h"

#include <QDBusConnection>
#include <QString>

namespace vellmir {

// UPower's OnBattery on the system bus; without UPower, the kernel's power-supply class.
// Both are read afresh on every call.
class SystemPowerSource final : public PowerSource {
public:
    explicit SystemPowerSource(QDBusConnection systemBus = SessionBus::connection(QDBusConnection::SystemBus),
        QString powerSupplyFolder = QStringLiteral("/sys/class/power_supply"), int timeoutMs = 2000);

    std::optional<bool> isOnBattery() override;

    // The answer UPower gives, or nullopt when it does not answer.
    std::optional<bool> upowerAnswer() const;
    // The answer of a power-supply folder laid out like /sys/class/power_supply.
    static std::optional<bool> powerSupplyAnswer(const QString &folder);

private:
    QDBusConnection m_bus;
    QString m_folder;
    int m_timeoutMs;
};

} // namespace vellmir
