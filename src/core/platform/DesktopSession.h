#pragma once

#include <QDBusConnection>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <functional>

namespace vellmir::DesktopSession {

// The variables that say where the graphical session's display is and how to reach it.
const QStringList &variables();

// The systemd user manager's environment ("NAME=value" entries), read from
// org.freedesktop.systemd1.Manager's Environment property over `bus`; empty when it cannot be
// read within a few seconds. Blocks: call it off the thread that serves `bus`'s objects.
QStringList managerEnvironment(const QDBusConnection &bus);

// `environment` with the graphical session's display filled in when it names none (neither
// DISPLAY nor WAYLAND_DISPLAY set), as MCP clients leave it: the variables() the systemd user
// manager holds (asked through `manager` only then; with its XDG_RUNTIME_DIR when none is set), else the first
// "wayland-N" socket in XDG_RUNTIME_DIR or "<userRuntimeRoot>/<uid>" (with XDG_RUNTIME_DIR set to its folder when it
// was missing). Unchanged when nothing is found.
QProcessEnvironment located(QProcessEnvironment environment, const std::function<QStringList()> &manager,
    const QString &userRuntimeRoot = QStringLiteral("/run/user"));

// Whether a display server takes connections where `environment` points: its Wayland socket, or
// its X display (a local one by its socket, one named by host over TCP), connected to and let go
// at once, each within two seconds. Whether it then answers only the dialog's own connection tells.
bool reachable(const QProcessEnvironment &environment);

} // namespace vellmir::DesktopSession
