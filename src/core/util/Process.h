#pragma once

#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <functional>
#include <sys/types.h>
#include <vector>

namespace vellmir {

// Every child process of the application starts here: restic, its keeper, the helper tools and
// the approval dialog. A child is a program started by exec, never a copy of this process that
// goes on running its code: between the fork and the exec the child makes only
// async-signal-safe calls, with everything it needs made beforehand. It gets exactly the
// descriptors it is given (nothing this process holds, whether or not it is closed on exec),
// every signal at its default and none blocked unless asked, and exactly its environment.
struct ChildSetup {
    QByteArray program; // the executable's path: no search
    QByteArrayList arguments; // argv, argv[0] included
    QByteArrayList environment; // exactly this
    // The child's descriptors 0, 1, 2, 3 ... in order: a descriptor of this process to pass, or -1
    // for /dev/null (standard input is /dev/null unless given).
    std::vector<int> descriptors { -1, -1, -1 };
    // -1: this process's group; 0: a group of its own, led by the child; else the group to join.
    pid_t group = -1;
    // Sent to the child when the thread that started it ends (the whole process, for a thread
    // that lives as long as the child): a child left behind by a crash is not left running.
    int deathSignal = 0;
    // Every signal blocked across the exec (the program unblocks what it takes), else none.
    bool signalsBlocked = false;
    // The child of a child that exits at once, so that nobody in this process reaps it.
    bool detached = false;
    // Runs in this process once the child exists and before it may exec: an errno ends the start
    // (the child goes without running the program), 0 lets it go on.
    std::function<int(pid_t child)> beforeExec;
};

// Starts the child. Returns 0 and its pid (none for a detached one), or the errno of what failed,
// the exec included; nothing then runs and nothing is left to reap.
int startChild(const ChildSetup &setup, pid_t *pid);

// The one way a child is waited for. Its exit is seen through the descriptor childExit() gives
// (readable once it exited; -1 on kernels without one, where the caller looks periodically), and
// it is reaped only by reapChild(), so its pid stays its own while a signal may still be sent.
int childExit(pid_t pid);
// Reaps the exited or exiting child: its wait status, or -1 when there is none to take.
int reapChild(pid_t pid);
// The status a shell gives: the exit status, or 128 + the signal that ended it; -1 for none.
int exitStatusOf(int waitStatus);

// Runs a short helper tool (systemctl and the like, never restic) to completion: stdin from
// /dev/null, stdout and stderr into one pipe, a bounded wait after which the tool is killed;
// a signal that asks this process to stop ends the wait and the tool at once.
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
