#pragma once

#include <QString>
#include <QStringList>

namespace vellmir {

// Runs a short helper tool (systemctl and the like, never restic) to completion: stdin from
// /dev/null, stdout and stderr into one pipe, a bounded wait after which the tool is killed.
// A descendant that keeps the pipe open does not hold the caller past the tool's own exit.
struct ToolResult {
    bool started = false; // false when the program could not be launched (output says why)
    bool timedOut = false;
    int exitCode = -1; // the exit status when the tool exited normally
    int signal = 0; // the signal that ended it, else 0
    QString output; // trimmed stdout+stderr (at most 64 KiB), or the launch error

    bool succeeded() const { return started && !timedOut && signal == 0 && exitCode == 0; }
};

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs = 20000);

} // namespace vellmir
