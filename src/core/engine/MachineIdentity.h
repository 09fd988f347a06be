#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellmir {

// The names under which this computer's snapshots are stored. Computed afresh on every call,
// so a renamed machine is seen at the next run; safe from any thread.
namespace MachineIdentity {

// The short host name, passed to restic's "--host" for new snapshots.
QString hostname();
// hostname(), then the system's full host name when that differs: the names this machine's
// existing snapshots may carry.
QStringList knownHostnames();

// The rules behind the two values, over given system answers. `systemName` is what
// gethostname gave (nullopt when it failed); `networkName` is the host's network name.
QString shortHostname(const std::optional<QByteArray> &systemName, const QString &networkName);
QStringList knownHostnames(const QString &hostname, const QString &networkName);

} // namespace MachineIdentity

} // namespace vellmir
