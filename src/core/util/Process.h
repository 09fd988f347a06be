#pragma once

#include <QString>
#include <QStringList>

namespace vellmir {

// Runs a short helper tool (not restic) to completion: stdin from /dev/null, stdout and stderr
// merged, a bounded wait after which the tool is killed. Used for systemctl and friends.
struct ToolResult {
    bool started = false; // false when the program could not be launched
    bool timedOut = false;
    int exitCode = -1;
    QString output; // trimmed stdout+stderr, or the launch error

    bool succeeded() const { return started && !timedOut && exitCode == 0; }
};

ToolResult runTool(const QString &program, const QStringList &arguments, int timeoutMs = 20000);

} // namespace vellmir
