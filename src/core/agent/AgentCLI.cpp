#include "agent/AgentCLI.h"

#include "agent/AgentCommand.h"
#include "agent/AgentControl.h"
#include "agent/AgentError.h"
#include "agent/AgentParameters.h"
#include "agent/MCPServer.h"
#include "platform/KeyringSession.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/Json.h"
#include "util/ShutdownSignals.h"
#include "util/SystemError.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>
#include <unistd.h>

namespace vellmir::AgentCLI {

namespace {

void writeAll(int fd, const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        written += count;
    }
}

// A command's JSON arguments, read to their end but never past a bound far beyond any command's
// (a stream without end, /dev/zero say, is refused rather than read into all memory).
QByteArray readArguments(int fd, const QString &what)
{
    constexpr qsizetype bound = FileBound::settings;
    QByteArray data;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throw Error(QStringLiteral("Could not read %1: %2.").arg(what, systemErrorText(errno)));
        if (count == 0)
            return data;
        data.append(buffer, count);
        if (data.size() > bound)
            throw AgentError::usage(QStringLiteral("%1 holds more than %2 bytes.").arg(what).arg(bound));
    }
}

QByteArray readAllStdin()
{
    return readArguments(STDIN_FILENO, QStringLiteral("Standard input"));
}

QByteArray readJsonFile(const QString &path)
{
    QFile file(path);
    // A file that is not there is a mistake in the command line, not a failure of the command.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw AgentError::usage(QStringLiteral("Could not read %1: %2.").arg(path, file.errorString()));
    return readArguments(file.handle(), path);
}

// Runs the command on a worker thread while this thread keeps its event loop going, so that
// anything the command needs from this thread (an approval prompt) is served meanwhile.
QJsonObject runWhileServingEvents(const QString &name, const QJsonObject &arguments, std::stop_token stop)
{
    QJsonObject reply;
    std::exception_ptr failure;
    QEventLoop loop;
    QObject context;
    std::jthread worker([&] {
        try {
            // A signal ends a wait for a keyring that does not answer, too.
            const KeyringStop keyringStop(stop);
            // One Secret Service session for the command: the configuration's seal and a run's
            // credentials read through it instead of each opening its own.
            const KeyringSession keyringSession;
            reply = AgentControl::runCommand(name, arguments, stop);
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(
            &context, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
    return reply;
}

// The command line reads secrets from standard input only, since flags show in the process list.
QString summary(const AgentCommand &command)
{
    return command.takesSecrets()
        ? command.summary + QStringLiteral(" Pass secrets in JSON on standard input, never as flags.")
        : command.summary;
}

} // namespace

QByteArray usageText()
{
    return QByteArrayLiteral("usage: vellmir <command> [--parameter value ...] [--json FILE|-]\n"
                             "       vellmir commands     list commands and parameters as JSON\n"
                             "       vellmir mcp          serve the commands as an MCP server on stdio\n"
                             "\n"
                             "Repeat a list parameter to give several values. --json merges parameters from a JSON "
                             "object,\n"
                             "read from standard input with -; pass secrets that way, never as flags.\n"
                             "vellmir <command> --help lists that command's parameters.\n"
                             "\n")
        + exitStatusText();
}

QByteArray exitStatusText()
{
    return QByteArrayLiteral("Exit status: 0 success, 1 failed, 2 usage error, 3 not found, 4 denied or timed out, "
                             "128+n ended by signal n.\n");
}

QByteArray commandSummaries()
{
    QByteArray text = "\nCommands:\n";
    for (const AgentCommand &command : AgentCommand::all())
        text += "  " + command.name.toUtf8().leftJustified(20, ' ') + summary(command).toUtf8() + '\n';
    return text;
}

QByteArray mcpHelp()
{
    return QByteArrayLiteral("usage: vellmir mcp\n\n"
                             "Serves the commands as Model Context Protocol tools: newline-delimited JSON-RPC 2.0 on "
                             "standard input\nand output, until standard input ends. Changes wait for the user's "
                             "approval in a dialog on this computer.\n");
}

QByteArray commandHelp(const AgentCommand &command)
{
    QString text = QStringLiteral("usage: vellmir ") + command.name
        + (command.parameters.isEmpty() ? QString() : QStringLiteral(" [--parameter value ...]"))
        + QStringLiteral(" [--json FILE|-]\n\n") + summary(command) + QStringLiteral("\n");
    if (!command.parameters.isEmpty())
        text += QStringLiteral("\n");
    for (const AgentCommand::Parameter &parameter : command.parameters) {
        using Kind = AgentCommand::Parameter::Kind;
        const QString value = parameter.kind == Kind::strings ? QStringLiteral(" TEXT (repeat for several)")
            : parameter.kind == Kind::integer                 ? QStringLiteral(" NUMBER")
            : parameter.kind == Kind::boolean                 ? QStringLiteral(" [true|false]")
            : parameter.choices.isEmpty()                     ? QStringLiteral(" TEXT")
                                                              : u' ' + parameter.choices.join(QLatin1Char('|'));
        QStringList notes;
        if (parameter.required)
            notes.append(QStringLiteral("required"));
        if (parameter.secret)
            notes.append(QStringLiteral("in --json only"));
        text += QStringLiteral("  --") + parameter.name + value + QStringLiteral("\n      ")
            + (notes.isEmpty() ? QString() : u'(' + notes.join(QStringLiteral(", ")) + QStringLiteral(") "))
            + parameter.help + u'\n';
    }
    return text.toUtf8() + '\n' + exitStatusText();
}

// The usage error for anything after a command that takes no parameters, in the words parse()
// uses for a parameter a command does not have.
static AgentError noParameters(const QString &command, const QString &argument)
{
    if (!argument.startsWith(QLatin1String("--")) || argument.size() < 3)
        return AgentError::usage(QStringLiteral("Unexpected argument \"") + argument + QStringLiteral("\". ") + command
            + QStringLiteral(" takes no parameters."));
    const QString name = argument.mid(2).section(QLatin1Char('='), 0, 0);
    return AgentError::usage(command + QStringLiteral(" has no parameter --") + name + QLatin1Char('.'));
}

int main(const QStringList &arguments)
{
    if (arguments.isEmpty()) {
        writeAll(STDERR_FILENO, usageText());
        return 2;
    }
    const QString &first = arguments.first();
    if (first == QLatin1String("-h") || first == QLatin1String("--help") || first == QLatin1String("help")) {
        writeAll(STDOUT_FILENO, usageText() + commandSummaries());
        return 0;
    }
    if (first == QLatin1String("mcp")
        && (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h")))) {
        writeAll(STDOUT_FILENO, mcpHelp());
        return 0;
    }
    const auto helpWord = [](const QString &argument) {
        return argument == QLatin1String("--help") || argument == QLatin1String("-h");
    };
    if ((first == QLatin1String("mcp") || first == QLatin1String("commands")) && arguments.size() > 1
        && !helpWord(arguments.at(1))) {
        emit(AgentError::reply(noParameters(first, arguments.at(1))));
        return 2;
    }
    if (first == QLatin1String("mcp")) {
        const std::stop_token shutdown = ShutdownSignals::install();
        MCPServer server;
        server.serve(STDIN_FILENO, shutdown);
        if (!ShutdownSignals::received())
            return 0;
        // Every call has answered, its run recorded; the line reader may still wait on an
        // input nobody closed, so the process ends without waiting for it.
        std::_Exit(ShutdownSignals::exitStatus());
    }
    if (first == QLatin1String("commands")) {
        emit(commandList());
        return 0;
    }
    try {
        const QJsonObject parameters = parse(arguments.mid(1), first, readAllStdin);
        // From here a signal cancels the command the way a cancelled MCP call is: a backup
        // under way stops restic and records "cancelled" before the process ends. (Not while
        // reading the parameters: nothing is under way then, and the signal simply ends it.)
        const std::stop_token shutdown = ShutdownSignals::install();
        const QJsonObject reply = runWhileServingEvents(first, parameters, shutdown);
        emit(reply);
        if (ShutdownSignals::received())
            return ShutdownSignals::exitStatus();
        return AgentControl::reportsFailedRun(first, reply) ? 1 : 0;
    } catch (const HelpRequested &asked) {
        writeAll(STDOUT_FILENO, commandHelp(*asked.command));
        return 0;
    } catch (const std::exception &error) {
        emit(AgentError::reply(error));
        return ShutdownSignals::received() ? ShutdownSignals::exitStatus() : AgentError::exitStatus(error);
    }
}

// The parameters of one --json object added to `fromJson`; a key given twice, within it or across
// objects, is refused.
static void addJsonObject(const AgentCommand &entry, const QByteArray &bytes, QJsonObject &fromJson)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        throw AgentError::usage(QStringLiteral("--json must contain one JSON object."));
    // A key written twice deeper down is in a value no parameter takes: its kind refuses it.
    if (const std::optional<json::RepeatedKey> repeated = json::repeatedKey(bytes);
        repeated && repeated->path.size() == 1)
        throw AgentParameters::givenTwice(entry, repeated->path.first().toString(), repeated->first, repeated->second);
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (fromJson.contains(it.key()))
            throw AgentParameters::givenTwice(entry, it.key(), fromJson.value(it.key()), it.value());
        fromJson.insert(it.key(), it.value());
    }
}

QJsonObject parse(const QStringList &arguments, const QString &command, const std::function<QByteArray()> &readStdin)
{
    const AgentCommand *entry = AgentCommand::named(command);
    if (!entry)
        throw AgentError::usage(QStringLiteral("Unknown command \"") + command
            + QStringLiteral("\". Run `vellmir commands` for the list."));
    QJsonObject flags;
    QJsonObject fromJson;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        // Where a parameter would stand, the usual help words ask for this command's parameters.
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            throw HelpRequested { entry };
        if (!argument.startsWith(QLatin1String("--")) || argument.size() < 3)
            throw AgentError::usage(QStringLiteral("Unexpected argument \"") + argument
                + QStringLiteral("\". Parameters take the form --name value."));
        const QString rest = argument.mid(2);
        const qsizetype equals = rest.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? rest : rest.left(equals);
        std::optional<QString> inlineValue;
        if (equals >= 0)
            inlineValue = rest.mid(equals + 1);

        if (name == QLatin1String("json")) {
            QString path;
            if (inlineValue) {
                path = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                path = arguments.at(++i);
            } else {
                throw AgentError::usage(QStringLiteral("--json needs a file or -."));
            }
            addJsonObject(*entry, path == QLatin1String("-") ? readStdin() : readJsonFile(path), fromJson);
            continue;
        }

        const AgentCommand::Parameter *parameter = entry->parameter(name);
        if (!parameter)
            throw AgentError::usage(command + QStringLiteral(" has no parameter --") + name + QLatin1Char('.'));
        if (parameter->secret)
            throw AgentError::usage(QStringLiteral("Pass ") + name
                + QStringLiteral(" through --json - (a JSON object on standard input), never as a flag: flags show "
                                 "in the process list and the shell's history."));
        QString value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (parameter->kind == AgentCommand::Parameter::Kind::boolean) {
            // A bare switch means true; a following word that is not a flag is its value.
            if (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1String("--")))
                value = arguments.at(++i);
            else
                value = QStringLiteral("true");
        } else if (i + 1 < arguments.size()) {
            value = arguments.at(++i);
        } else {
            throw AgentError::usage(QStringLiteral("--") + name + QStringLiteral(" needs a value."));
        }
        if (parameter->kind == AgentCommand::Parameter::Kind::strings) {
            QJsonArray list = flags.value(name).toArray();
            list.append(value);
            flags.insert(name, list);
        } else if (flags.contains(name)) {
            throw AgentParameters::givenTwice(*entry, name, flags.value(name), value);
        } else {
            flags.insert(name, value);
        }
    }
    // A parameter is given once, by flags or by --json. Typed on a command line, a number or a
    // yes is text: it becomes the value of its parameter's kind, and a single text where a list
    // belongs a list of one. JSON carries its own types, which are held to them as an MCP call's are.
    const QJsonObject typed = AgentParameters::typed(*entry, flags);
    for (auto it = typed.begin(); it != typed.end(); ++it) {
        if (fromJson.contains(it.key()))
            throw AgentParameters::givenTwice(*entry, it.key(), flags.value(it.key()), fromJson.value(it.key()));
        fromJson.insert(it.key(), it.value());
    }
    return fromJson;
}

QByteArray emitted(const QJsonObject &object)
{
    QByteArray bytes;
    try {
        bytes = json::pretty(object);
    } catch (const std::exception &) {
        bytes = QByteArrayLiteral("{}");
    }
    bytes.append('\n');
    return bytes;
}

void emit(const QJsonObject &object)
{
    writeAll(STDOUT_FILENO, emitted(object));
}

QJsonObject commandList()
{
    QJsonArray commands;
    for (const AgentCommand &command : AgentCommand::all()) {
        QJsonArray parameters;
        for (const AgentCommand::Parameter &parameter : command.parameters)
            parameters.append(QJsonObject { { QStringLiteral("name"), parameter.name },
                { QStringLiteral("type"), toString(parameter.kind) },
                { QStringLiteral("required"), parameter.required }, { QStringLiteral("help"), parameter.help } });
        commands.append(
            QJsonObject { { QStringLiteral("name"), command.name }, { QStringLiteral("tier"), toString(command.tier) },
                { QStringLiteral("summary"), summary(command) }, { QStringLiteral("parameters"), parameters } });
    }
    return QJsonObject { { QStringLiteral("commands"), commands } };
}

} // namespace vellmir::AgentCLI
