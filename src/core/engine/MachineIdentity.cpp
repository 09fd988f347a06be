#include "engine/MachineIdentity.h"

#include <QSysInfo>

#include <cstring>
#include <unistd.h>

namespace vellmir::MachineIdentity {

namespace {

std::optional<QByteArray> systemHostname()
{
    char buffer[257] = {};
    if (::gethostname(buffer, sizeof buffer) != 0)
        return std::nullopt;
    return QByteArray(buffer, qsizetype(::strnlen(buffer, sizeof buffer)));
}

// The network name as the system reports it (uname's node name); no name lookup, so it never
// waits for DNS.
QString networkHostname()
{
    return QSysInfo::machineHostName();
}

} // namespace

QString shortHostname(const std::optional<QByteArray> &systemName, const QString &networkName)
{
    if (!systemName)
        return networkName;
    const QString name = QString::fromUtf8(*systemName);
    // The first piece between dots, empty pieces skipped: "studio.local" -> "studio",
    // ".local" -> "local"; a name without any piece stays as it is.
    const QStringList pieces = name.split(u'.', Qt::SkipEmptyParts);
    const QString result = pieces.isEmpty() ? name : pieces.first();
    return result.isEmpty() ? networkName : result;
}

QStringList knownHostnames(const QString &hostname, const QString &networkName)
{
    if (hostname == networkName)
        return { hostname };
    return { hostname, networkName };
}

QString hostname()
{
    return shortHostname(systemHostname(), networkHostname());
}

QStringList knownHostnames()
{
    return knownHostnames(hostname(), networkHostname());
}

} // namespace vellmir::MachineIdentity
