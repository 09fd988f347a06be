#pragma once

#include <stop_token>

namespace vellmir {

// SIGINT, SIGTERM and SIGHUP as a request to wind down instead of an abrupt end: a process
// killed in the middle of a backup leaves its record saying "running". The first of them
// stops the token; the work under way cancels itself, records how it ended, and the process
// leaves. Only the first is handled: a second one, of any of the three, ends the process at
// once, as it would have without this.
namespace ShutdownSignals {

// Installs the handlers (the first call only; later calls just return the token). Stopped
// once a signal has arrived; stop callbacks run on a thread of their own.
std::stop_token install();
// The same token without installing anything: for the waits that belong to no one command (the
// keyring, the bus, a helper tool), which end with the process in whatever mode it runs.
std::stop_token token();
// The signal that arrived first; 0 while none has.
int received();
// The exit status of a process that ended on that signal: 128 plus its number.
int exitStatus();

} // namespace ShutdownSignals

} // namespace vellmir
