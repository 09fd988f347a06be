#include "agent/MCPServer.h"

#include "agent/AgentCLI.h"
#include "agent/AgentError.h"
#include "util/Json.h"
#include "util/LineWriter.h"
#include "util/Log.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>

namespace vellmir {

namespace {

const QString approvalSentence = QStringLiteral(
    " Needs the user's approval in a dialog on this computer unless they have allowed changes without approval.");

const QString instructions = QStringLiteral(
    "Controls Vellmir, the restic backup app. Changes (add/update/remove destination, restore, apply-retention) wait "
    "for the user to approve them in a dialog on this computer, up to five minutes, unless the user has turned on "
    "changes without approval. Never ask for or echo credentials beyond passing them to add-destination.");

QString schemaType(AgentCommand::Parameter::Kind kind)
{
    switch (kind) {
    case AgentCommand::Parameter::Kind::string:
        return QStringLiteral("string");
    case AgentCommand::Parameter::Kind::strings:
        return QStringLiteral("array");
    case AgentCommand::Parameter::Kind::integer:
        return QStringLiteral("integer");
    case AgentCommand::Parameter::Kind::boolean:
        return QStringLiteral("boolean");
    }
    return QStringLiteral("string");
}

// What the server checks of each value, as schema keywords, so that a client validating its
// input against the schema refuses what the server would and nothing more. Every text is
// refused with a NUL in it; the rest follows AgentParameters and the command handlers.
QJsonObject constraints(const QString &command, const AgentCommand::Parameter &parameter)
{
    const QString noNul = QStringLiteral(R"(^[^\u0000]*$)");
    // Controls and bidirectional formatting characters, refused in names.
    const QString hidden = QStringLiteral(R"(\u0000-\u001F\u007F-\u009F\u061C\u200E\u200F\u202A-\u202E\u2066-\u2069)");
    // "~", "~/..." or an absolute path, around blanks that are trimmed.
    const QString folder = QStringLiteral(R"(^\s*(~\s*$|~/|/)[^\u0000]*$)");
    const auto pattern = [](const QString &regex) { return QJsonObject { { QStringLiteral("pattern"), regex } }; };
    const auto items = [](const QJsonObject &item) {
        QJsonObject schema = item;
        schema.insert(QStringLiteral("type"), QStringLiteral("string"));
        return QJsonObject { { QStringLiteral("items"), schema } };
    };
    const auto oneOf = [](const QStringList &values) {
        return QJsonObject { { QStringLiteral("enum"), QJsonArray::fromStringList(values) } };
    };

    const QString &name = parameter.name;
    switch (parameter.kind) {
    case AgentCommand::Parameter::Kind::boolean:
        return {};
    case AgentCommand::Parameter::Kind::integer:
        // A negative wait counts as none; every other count must not be negative.
        if (name == QLatin1String("waitSeconds"))
            return {};
        return QJsonObject { { QStringLiteral("minimum"), 0 } };
    case AgentCommand::Parameter::Kind::strings:
        if (name == QLatin1String("sources") || name == QLatin1String("addSources"))
            return items(pattern(folder));
        return items(pattern(noNul));
    case AgentCommand::Parameter::Kind::string:
        break;
    }
    if (name == QLatin1String("kind"))
        return oneOf(
            { QStringLiteral("backblazeB2"), QStringLiteral("s3"), QStringLiteral("sftp"), QStringLiteral("local") });
    if (name == QLatin1String("schedule"))
        return oneOf({ QStringLiteral("manual"), QStringLiteral("hourly"), QStringLiteral("daily") });
    if (name == QLatin1String("request")) {
        QJsonObject uuid = pattern(QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-"
                                                  "[0-9A-Fa-f]{12}$"));
        uuid.insert(QStringLiteral("format"), QStringLiteral("uuid"));
        return uuid;
    }
    if (name == QLatin1String("name"))
        return pattern(command == QLatin1String("add-destination")
                ? QStringLiteral("^[^") + hidden + QStringLiteral(R"(]*[^\s)") + hidden + QStringLiteral("][^") + hidden
                    + QStringLiteral("]*$")
                : QStringLiteral("^[^") + hidden + QStringLiteral("]*$"));
    if (name == QLatin1String("repository"))
        return pattern(QStringLiteral(R"(^\s*(b2:|s3:|sftp:|/|~/|local:/)[^\u0000]*$)"));
    if (name == QLatin1String("target"))
        return pattern(folder);
    if (name == QLatin1String("path"))
        return pattern(command == QLatin1String("restore") ? QStringLiteral(R"(^/(?!(.*/)?\.\.(/|$))[^\u0000\n]*$)")
                                                           : QStringLiteral(R"(^/[^\u0000]*$)"));
    if (name == QLatin1String("password"))
        return pattern(QStringLiteral(R"(^[^\u0000]*[^\s\u0000][^\u0000]*$)"));
    if (parameter.required)
        return pattern(QStringLiteral(R"(^[^\u0000]+$)"));
    return pattern(noNul);
}

bool isBlank(const QByteArray &line)
{
    for (const char c : line)
        if (c != ' ' && c != '\t')
            return false;
    return true;
}

std::optional<QJsonObject> parseMessage(const QByteArray &line)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    QJsonObject object = document.object();
    if (!object.value(QLatin1String("method")).isString())
        return std::nullopt;
    return object;
}

// A batch: JSON-RPC arrays, which this protocol version no longer has.
bool isBatch(const QByteArray &line)
{
    return QJsonDocument::fromJson(line).isArray();
}

// Only the client's own tokens are echoed: a string, or a number that is a whole one.
bool isProgressToken(const QJsonValue &token)
{
    if (token.isString())
        return true;
    const double number = token.toDouble(std::nan(""));
    return token.isDouble() && std::isfinite(number) && double(token.toInteger()) == number;
}

// Splits `fd`'s bytes into lines without their line feed, looking at every byte once. A line
// that outgrows MCPServer::maxLineBytes is reported once through `overlong` and skipped up to
// its line feed without being kept. Returns at end of input or on a read error.
void readLines(int fd, const std::function<void(QByteArray)> &line, const std::function<void()> &overlong)
{
    QByteArray pending;
    bool skipping = false;
    QByteArray buffer(65536, Qt::Uninitialized);
    for (;;) {
        const ssize_t count = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break; // end of input, or a read error, which ends serving the same way
        const char *data = buffer.constData();
        qsizetype left = count;
        while (left > 0) {
            const auto *end = static_cast<const char *>(std::memchr(data, '\n', size_t(left)));
            const qsizetype length = end ? end - data : left;
            if (!skipping && pending.size() + length > MCPServer::maxLineBytes) {
                skipping = true;
                pending = QByteArray();
                overlong();
            }
            if (!skipping)
                pending.append(data, length);
            if (!end)
                break;
            if (!skipping)
                line(std::exchange(pending, QByteArray()));
            skipping = false;
            data = end + 1;
            left -= length + 1;
        }
    }
    if (!pending.isEmpty() && !skipping)
        line(std::move(pending));
}

// Standard output's writer, made on first use and never destroyed, so no exit path waits for it.
std::atomic<LineWriter *> standardOutput = nullptr;

LineWriter &standardOutputWriter()
{
    static LineWriter *const writer = [] {
        auto *made = new LineWriter(STDOUT_FILENO);
        standardOutput = made;
        return made;
    }();
    return *writer;
}

QJsonObject success(const QJsonValue &id, const QJsonObject &result)
{
    return QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), id },
        { QStringLiteral("result"), result } };
}

} // namespace

struct MCPServer::Call {
    QString key;
    QByteArray line;
    std::stop_source stop;
    std::thread worker;
    bool cancelled = false;
    // The client's "_meta.progressToken", a string or an integer; undefined: none asked for.
    QJsonValue progressToken { QJsonValue::Undefined };
    int progress = 0;
};

MCPServer::MCPServer(ToolRunner runTool, Output output)
    : m_runTool(std::move(runTool))
    , m_output(std::move(output))
{
    m_progressTimer.setInterval(progressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &MCPServer::sendProgress);
}

QStringList MCPServer::protocolVersions()
{
    return { QStringLiteral("2024-11-05"), QStringLiteral("2025-03-26"), QString::fromLatin1(protocolVersion) };
}

MCPServer::~MCPServer()
{
    m_waiting.clear();
    for (const std::shared_ptr<Call> &call : std::as_const(m_running)) {
        call->stop.request_stop();
        if (call->worker.joinable())
            call->worker.join();
    }
}

void MCPServer::serve(int inputFd, std::stop_token shutdown)
{
    m_inputEnded = false;
    QEventLoop loop;
    m_wake = [this, &loop] {
        if (m_inputEnded)
            loop.quit();
    };
    const std::stop_callback onShutdown(shutdown, [this] {
        QMetaObject::invokeMethod(
            this, [this] { inputEnded(); }, Qt::QueuedConnection);
    });
    // The reader only reads: every line is handled on this thread, in the order it arrived.
    std::thread reader([this, inputFd] {
        readLines(
            inputFd,
            [this](QByteArray line) {
                if (line.endsWith('\r'))
                    line.chop(1);
                QMetaObject::invokeMethod(
                    this, [this, line = std::move(line)] { receive(line); }, Qt::QueuedConnection);
            },
            [this] {
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        m_output(failure(QJsonValue(QJsonValue::Null), -32600,
                            QStringLiteral("Invalid Request: a message line may be at most %1 bytes long.")
                                .arg(maxLineBytes)));
                    },
                    Qt::QueuedConnection);
            });
        QMetaObject::invokeMethod(
            this, [this] { inputEnded(); }, Qt::QueuedConnection);
    });
    loop.exec();
    if (shutdown.stop_requested())
        reader.detach(); // it may wait for input for ever; the process ends instead
    else
        reader.join();
    m_wake = nullptr;
    drain();
    if (LineWriter *writer = standardOutput)
        writer->flush(outputStallLimit);
}

void MCPServer::inputEnded()
{
    // The client is gone (or the process is told to end): whatever the calls still do, nobody
    // waits for it, and a process ended mid-backup would leave the run recorded as "running".
    // So every call is stopped the way a cancelled one is, yet still answers (a backup with
    // its "cancelled" record), and the calls not started yet start stopped.
    if (!m_inputEnded) {
        for (const QList<std::shared_ptr<Call>> *calls : { &m_running, &m_waiting })
            for (const std::shared_ptr<Call> &call : *calls)
                call->stop.request_stop();
    }
    m_inputEnded = true;
    if (m_wake)
        m_wake();
}

bool MCPServer::hasLiveCalls() const
{
    if (!m_waiting.isEmpty())
        return true; // a waiting call leaves the queue when it is cancelled
    // A call that lost its table entry to a newer call with the same id still gets its answer.
    for (const std::shared_ptr<Call> &call : m_running)
        if (!call->cancelled)
            return true;
    return false;
}

void MCPServer::drain()
{
    if (!hasLiveCalls())
        return;
    QEventLoop loop;
    const std::function<void()> previous = m_wake;
    m_wake = [this, &loop] {
        if (!hasLiveCalls())
            loop.quit();
    };
    loop.exec();
    m_wake = previous;
}

void MCPServer::receive(const QByteArray &line)
{
    if (isBlank(line))
        return;
    if (const std::optional<QJsonObject> message = parseMessage(line)) {
        const QString method = message->value(QLatin1String("method")).toString();
        if (method == QLatin1String("tools/call")) {
            if (message->contains(QLatin1String("id")))
                startCall(*message, line);
            return;
        }
        if (method == QLatin1String("notifications/cancelled")) {
            const QJsonValue params = message->value(QLatin1String("params"));
            if (!params.isObject() || !params.toObject().contains(QLatin1String("requestId")))
                return;
            const std::shared_ptr<Call> call
                = m_inFlight.take(key(params.toObject().value(QLatin1String("requestId"))));
            if (call) {
                call->cancelled = true;
                call->stop.request_stop();
                // One that never started is simply forgotten; a running one still reports back.
                m_waiting.removeOne(call);
                if (m_wake)
                    m_wake();
            }
            return;
        }
    }
    if (const std::optional<QJsonObject> response = handle(line))
        m_output(*response);
}

void MCPServer::startCall(const QJsonObject &message, const QByteArray &line)
{
    auto call = std::make_shared<Call>();
    call->key = key(message.value(QLatin1String("id")));
    call->line = line;
    const QJsonValue token = message.value(QLatin1String("params"))
                                 .toObject()
                                 .value(QLatin1String("_meta"))
                                 .toObject()
                                 .value(QLatin1String("progressToken"));
    if (isProgressToken(token))
        call->progressToken = token;
    // A reused id hands the table entry to the newer call; the older one still answers.
    if (m_inputEnded)
        call->stop.request_stop();
    m_inFlight.insert(call->key, call);
    m_waiting.append(call);
    if (!call->progressToken.isUndefined() && !m_progressTimer.isActive())
        m_progressTimer.start();
    startWaiting();
}

void MCPServer::startWaiting()
{
    while (m_running.size() < maxRunningCalls && !m_waiting.isEmpty()) {
        const std::shared_ptr<Call> call = m_waiting.takeFirst();
        m_running.append(call);
        call->worker = std::thread([this, call, line = call->line, runTool = m_runTool, stop = call->stop.get_token()] {
            std::optional<QJsonObject> response = respond(line, runTool, stop);
            // The server outlives every worker (its destructor joins them), so posting is safe.
            QMetaObject::invokeMethod(
                this, [this, call, response] { finishCall(call, response); }, Qt::QueuedConnection);
        });
    }
}

void MCPServer::finishCall(const std::shared_ptr<Call> &call, const std::optional<QJsonObject> &response)
{
    if (call->worker.joinable())
        call->worker.join();
    m_running.removeOne(call);
    startWaiting();
    if (call->cancelled)
        return;
    m_inFlight.remove(call->key);
    if (response)
        m_output(*response);
    if (m_wake)
        m_wake();
}

void MCPServer::sendProgress()
{
    // Waiting for a worker is waiting too: every call not yet answered keeps its client patient.
    bool any = false;
    for (const QList<std::shared_ptr<Call>> *calls : { &m_running, &m_waiting }) {
        for (const std::shared_ptr<Call> &call : *calls) {
            if (call->cancelled || call->progressToken.isUndefined())
                continue;
            any = true;
            m_output(QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") },
                { QStringLiteral("method"), QStringLiteral("notifications/progress") },
                { QStringLiteral("params"),
                    QJsonObject { { QStringLiteral("progressToken"), call->progressToken },
                        { QStringLiteral("progress"), ++call->progress } } } });
        }
    }
    if (!any)
        m_progressTimer.stop();
}

std::optional<QJsonObject> MCPServer::handle(const QByteArray &line, std::stop_token stop) const
{
    return respond(line, m_runTool, stop);
}

std::optional<QJsonObject> MCPServer::respond(const QByteArray &line, const ToolRunner &runTool, std::stop_token stop)
{
    const std::optional<QJsonObject> message = parseMessage(line);
    if (!message)
        return isBatch(line) ? failure(QJsonValue(QJsonValue::Null), -32600, QStringLiteral("Invalid Request"))
                             : failure(QJsonValue(QJsonValue::Null), -32700, QStringLiteral("Parse error"));
    if (!message->contains(QLatin1String("id")))
        return std::nullopt; // a notification
    const QJsonValue id = message->value(QLatin1String("id"));
    const QString method = message->value(QLatin1String("method")).toString();
    const QJsonObject params = message->value(QLatin1String("params")).toObject();

    if (method == QLatin1String("initialize")) {
        // The client's version when this server speaks it; otherwise the newest, which the
        // client may then accept or disconnect from.
        const QString requested = params.value(QLatin1String("protocolVersion")).toString();
        const QString version = QStringLiteral(VELLMIR_VERSION);
        return success(id,
            QJsonObject {
                { QStringLiteral("protocolVersion"),
                    protocolVersions().contains(requested) ? requested : QString::fromLatin1(protocolVersion) },
                { QStringLiteral("capabilities"), QJsonObject { { QStringLiteral("tools"), QJsonObject() } } },
                { QStringLiteral("serverInfo"),
                    QJsonObject { { QStringLiteral("name"), QStringLiteral("vellmir") },
                        { QStringLiteral("version"), version.isEmpty() ? QStringLiteral("dev") : version } } },
                { QStringLiteral("instructions"), instructions },
            });
    }
    if (method == QLatin1String("ping"))
        return success(id, QJsonObject());
    if (method == QLatin1String("tools/list")) {
        QJsonArray tools;
        for (const AgentCommand &command : AgentCommand::all())
            tools.append(tool(command));
        return success(id, QJsonObject { { QStringLiteral("tools"), tools } });
    }
    if (method == QLatin1String("tools/call")) {
        const QJsonValue name = params.value(QLatin1String("name"));
        if (!name.isString())
            return failure(id, -32602, QStringLiteral("tools/call needs a name."));
        if (!AgentCommand::named(name.toString()))
            return failure(id, -32602, QStringLiteral("Unknown tool ") + name.toString() + QLatin1Char('.'));
        const QJsonObject arguments = params.value(QLatin1String("arguments")).toObject();
        // A failed command is still a successful JSON-RPC response, flagged "isError".
        try {
            return success(id, toolResult(runTool(name.toString(), arguments, stop)));
        } catch (const std::exception &error) {
            return success(id, toolError(error));
        } catch (...) {
            return success(id, toolError(Error(QStringLiteral("The command failed."))));
        }
    }
    return failure(id, -32601, QStringLiteral("Method not found: ") + method);
}

QJsonObject MCPServer::failure(const QJsonValue &id, int code, const QString &message)
{
    return QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), id },
        { QStringLiteral("error"),
            QJsonObject { { QStringLiteral("code"), code }, { QStringLiteral("message"), message } } } };
}

QString MCPServer::key(const QJsonValue &id)
{
    if (id.isString())
        return QStringLiteral("s:") + id.toString();
    try {
        return QStringLiteral("n:") + QString::fromUtf8(json::compact(id));
    } catch (const std::exception &) {
        return QStringLiteral("n:");
    }
}

QString MCPServer::text(const QJsonObject &object)
{
    try {
        return QString::fromUtf8(json::compact(object));
    } catch (const std::exception &) {
        return QString();
    }
}

void MCPServer::writeLine(const QJsonObject &message)
{
    QByteArray bytes;
    try {
        bytes = json::compact(message);
    } catch (const std::exception &) {
        return; // nothing half-formed ever reaches the client
    }
    bytes.append('\n');
    standardOutputWriter().write(std::move(bytes));
}

QJsonObject MCPServer::tool(const AgentCommand &command)
{
    QJsonObject properties;
    QJsonArray required;
    for (const AgentCommand::Parameter &parameter : command.parameters) {
        QJsonObject property = constraints(command.name, parameter);
        property.insert(QStringLiteral("type"), schemaType(parameter.kind));
        property.insert(QStringLiteral("description"), parameter.help);
        properties.insert(parameter.name, property);
        if (parameter.required)
            required.append(parameter.name);
    }
    const bool change = command.tier == AgentCommand::Tier::change;
    return QJsonObject {
        { QStringLiteral("name"), command.name },
        { QStringLiteral("description"), change ? command.summary + approvalSentence : command.summary },
        { QStringLiteral("inputSchema"),
            QJsonObject { { QStringLiteral("type"), QStringLiteral("object") },
                { QStringLiteral("properties"), properties }, { QStringLiteral("required"), required },
                { QStringLiteral("additionalProperties"), false } } },
        { QStringLiteral("annotations"),
            QJsonObject { { QStringLiteral("readOnlyHint"), command.tier == AgentCommand::Tier::read },
                { QStringLiteral("destructiveHint"), change }, { QStringLiteral("openWorldHint"), false } } },
    };
}

QJsonObject MCPServer::toolResult(const QJsonObject &reply)
{
    return QJsonObject {
        { QStringLiteral("content"),
            QJsonArray { QJsonObject {
                { QStringLiteral("type"), QStringLiteral("text") }, { QStringLiteral("text"), text(reply) } } } },
        { QStringLiteral("structuredContent"), reply },
        { QStringLiteral("isError"), false },
    };
}

QJsonObject MCPServer::toolError(const std::exception &error)
{
    return QJsonObject {
        { QStringLiteral("content"),
            QJsonArray { QJsonObject { { QStringLiteral("type"), QStringLiteral("text") },
                { QStringLiteral("text"), text(AgentError::reply(error)) } } } },
        { QStringLiteral("isError"), true },
    };
}

MCPServer::ToolRunner MCPServer::defaultRunTool()
{
    return [](const QString &name, const QJsonObject &arguments, std::stop_token stop) {
        return AgentCLI::runCommand(name, arguments, stop);
    };
}

} // namespace vellmir
