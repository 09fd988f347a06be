#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QProcessEnvironment>
#include <QString>

namespace vellmir::SessionBus {

// The D-Bus session bus's address, found the way libdbus and sd-bus find it:
// DBUS_SESSION_BUS_ADDRESS, else the socket "$XDG_RUNTIME_DIR/bus", else "<userRuntimeRoot>/<uid>/bus"
// ("/run/user/<uid>/bus"), whichever exists first; empty when there is none.
QString address(const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
    const QString &userRuntimeRoot = QStringLiteral("/run/user"));

// MCP clients start their servers with a pared-down environment (HOME, LOGNAME, PATH, SHELL,
// TERM, USER), and GIO, which libsecret uses, looks no further than the variables. So the
// address found above is put into DBUS_SESSION_BUS_ADDRESS for the whole process (and what it
// starts), for the keyring and the notifications alike. Changes the environment: call it before
// any thread exists.
void adopt();

// The sentence for a process that finds no session bus, naming what to set.
QString missingSentence(const QString &consequence);

// The session (or system) bus for Qt's calls, once the bus has answered: Qt connects with a wait
// that nothing ends (a bus that takes the connection but never answers holds it 25 s, and again at
// each use), so the bus is first met through GIO's connection, which a signal asking the process
// to stop cuts short. Not connected when it did not answer.
QDBusConnection connection(QDBusConnection::BusType type = QDBusConnection::SessionBus);
// Waits for the reply of `pending` (a call on this bus or the system bus), or until a signal asks
// the process to stop: false then, and the call is left to time out on its own.
bool await(const QDBusPendingCall &pending);
// A call on `bus` that waits for its reply at most `timeoutMs` and no longer than the process
// runs: a signal that asks it to stop ends the wait with an error reply.
QDBusMessage call(const QDBusConnection &bus, const QDBusMessage &message, int timeoutMs);

} // namespace vellmir::SessionBus
