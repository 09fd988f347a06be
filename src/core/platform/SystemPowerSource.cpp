#include "platform/SystemPowerSource.h"

#include "platform/SessionBus.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>

namespace vellmir {

namespace {
QString attribute(const QString &supply, const char *name)
{
    QFile file(supply + u'/' + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(256)).trimmed();
}

// Supplies that feed the machine from outside: the mains adapter and the USB family
// ("USB", "USB_C", "USB_PD", ...), which is how USB-C chargers show up.
bool isExternalType(const QString &type)
{
    return type == QLatin1String("Mains") || type.startsWith(QLatin1String("USB"));
}
} // namespace

SystemPowerSource::SystemPowerSource(QDBusConnection systemBus, QString powerSupplyFolder, int timeoutMs)
    : m_bus(std::move(systemBus))
    , m_folder(std::move(powerSupplyFolder))
    , m_timeoutMs(timeoutMs)
{
}

std::optional<bool> SystemPowerSource::isOnBattery()
{
    if (const std::optional<bool> answer = upowerAnswer())
        return answer;
    return powerSupplyAnswer(m_folder);
}

std::optional<bool> SystemPowerSource::upowerAnswer() const
{
    if (!m_bus.isConnected())
        return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.UPower"),
        QStringLiteral("/org/freedesktop/UPower"), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    call << QStringLiteral("org.freedesktop.UPower") << QStringLiteral("OnBattery");
    const QDBusMessage reply = SessionBus::call(m_bus, call, m_timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    const QVariant value = reply.arguments().constFirst().value<QDBusVariant>().variant();
    if (value.typeId() != QMetaType::Bool)
        return std::nullopt;
    return value.toBool();
}

std::optional<bool> SystemPowerSource::powerSupplyAnswer(const QString &folder)
{
    bool externalSeen = false;
    bool batteryPresent = false;
    bool batteryDischarging = false;
    const QStringList entries = QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString &entry : entries) {
        const QString supply = folder + u'/' + entry;
        const QString type = attribute(supply, "type");
        if (isExternalType(type)) {
            externalSeen = true;
            if (attribute(supply, "online") == QLatin1String("1"))
                return false;
        } else if (type == QLatin1String("Battery")) {
            // Mice, keyboards and headsets report batteries of their own, scoped "Device";
            // they say nothing about what powers the computer.
            if (attribute(supply, "scope") == QLatin1String("Device"))
                continue;
            batteryPresent = true;
            if (attribute(supply, "status") == QLatin1String("Discharging"))
                batteryDischarging = true;
        }
    }
    if (batteryDischarging)
        return true;
    if (batteryPresent && externalSeen)
        return true; // every external supply is offline, so the battery carries the machine
    return std::nullopt;
}

} // namespace vellmir
