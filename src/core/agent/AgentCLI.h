#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <stop_token>

namespace vellmir {

struct AgentCommand;

// The `vellmir` command line: one invocation runs one agent command, lists the command table,
// serves MCP or prints the usage text, and ends. Every invocation reads the application's
// state afresh; nothing is kept between invocations.
namespace AgentCLI {

// The arguments after "cli". Returns the exit status: 0 success, 1 failed, 2 usage,
// 3 not found, 4 denied or timed out.
int main(const QStringList &arguments);

// Thrown by parse for "--help" or "-h" where a parameter would stand: the caller prints
// commandHelp(*command) and succeeds instead of running the command.
struct HelpRequested {
    const AgentCommand *command;
};

// Turns the arguments after the command name into parameters. Flag values are texts (a list
// parameter collects its repeats into an array); "--json FILE|-" merges a JSON object whose
// values keep their types. `readStdin` is called for "--json -". Throws AgentError::usage for
// malformed arguments, for a parameter given twice (a flag of one value repeated, a key written
// twice in the JSON, given by a flag and by --json or by two --json objects) and for a secret
// given as a flag (secrets come through "--json" only), HelpRequested, and the file
// error of an unreadable "--json" file. Kinds and required parameters are checked later, when
// the command runs.
QJsonObject parse(const QStringList &arguments, const QString &command, const std::function<QByteArray()> &readStdin);

// One JSON object on standard output: pretty-printed, sorted keys, "/" unescaped, one line
// feed, in a single write.
void emit(const QJsonObject &object);
QByteArray emitted(const QJsonObject &object); // the bytes `emit` writes

// The text printed to standard error for no arguments, and with the command list to standard
// output for a help word.
QByteArray usageText();
// The command list that `vellmir --help` prints after the usage text, one line each.
QByteArray commandSummaries();
// What `vellmir mcp --help` prints.
QByteArray mcpHelp();
// The line that lists the exit statuses, ending the usage text and every command's help.
QByteArray exitStatusText();
// What "<command> --help" prints on standard output: the command's summary and, from the
// command table, each parameter with its kind, whether it is required and its help.
QByteArray commandHelp(const AgentCommand &command);

// {"commands": [...]}: the command table with each command's parameters, in table order.
QJsonObject commandList();

// Writes the `vellmir` wrapper into `directory` (created with its parents): a two-line
// /bin/sh script of mode 0755 that runs `executable` in its "cli" mode with every argument
// unchanged. Replaces an existing file atomically. Returns the script's path; throws Error
// with the failing step's sentence.
QString installCommand(const QString &executable, const QString &directory);

// What the install button does: installs into ~/.local/bin for the running executable and
// returns the sentence to show ("Installed ~/.local/bin/vellmir." or "Install failed: ...").
QString installForCurrentUser();

} // namespace AgentCLI

} // namespace vellmir
