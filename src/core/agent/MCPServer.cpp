#include "agent/MCPServer.h"

#include "agent/AgentControl.h"
#include "agent/AgentError.h"
#include "agent/AgentParameters.h"
#include "platform/KeyringSession.h"
#include "util/Json.h"
#include "util/LineWriter.h"
#include "util/Log.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>

namespace vellmir {

namespace {

const QString approvalSentence = QStringLiteral(
    " Needs the user's approval in a dialog on this computer unless they have allowed changes without approval.");

// An MCP client has no standard input of its own to give: secrets travel in the arguments.
const QString secretsSentence = QStringLiteral(" Pass secrets in this call's arguments.");

// The change commands come from the table, in its order; neighbours that act on the same thing
// share its name, as in "add/update/remove destination".
QString instructions()
{
    QStringList changes;
    for (const AgentCommand &command : AgentCommand::all())
        if (command.tier == AgentCommand::Tier::change)
            changes.append(command.name);
    static const QRegularExpression neighbours(QStringLiteral(R"(([\w/]+)[- ](\w+), (\w+)-\2\b)"));
    QString names = changes.join(QStringLiteral(", "));
    while (names.contains(neighbours))
        names.replace(neighbours, QStringLiteral("\\1/\\3 \\2"));
    return QStringLiteral("Controls Vellmir, the restic backup app. Changes (") + names
        + QStringLiteral(") wait for the user to approve them in a dialog on this computer, up to ")
        + DialogApprover::defaultTimeoutText(true)
        + QStringLiteral(
            ", unless the user has turned on changes without approval. Never ask for or echo credentials beyond "
            "passing them to add-destination.");
}

bool isBlank(const QByteArray &line)
{
    for (const char c : line)
        if (c != ' ' && c != '\t')
            return false;
    return true;
}

// A key as written between its quotes, decoded as JSON reads it.
QByteArray decodedKey(QByteArrayView written)
{
    if (!written.contains('\\'))
        return written.toByteArray();
    const QByteArray text = '"' + written.toByteArray() + '"';
    const QJsonDocument document = QJsonDocument::fromJson('[' + text + ']');
    return document.array().first().toString().toUtf8();
}

// The number that stands at `path` (the keys from the top object down, as JSON decodes them) in
// the JSON object `line` (which parses), as written; empty when there is none or it is written
// otherwise. Of a key written twice, the last counts, as it does for the parsed object.
QByteArray rawNumber(const QByteArray &line, const QList<QByteArrayView> &path)
{
    const auto blank
        = [&](qsizetype at) { return at < line.size() && line.at(at) && std::strchr(" \t\r", line.at(at)); };
    QList<QByteArray> keys; // per open object, its key being read; "[" for an array
    QByteArray found;
    const auto onPath
        = [&] { return keys.size() == path.size() && std::equal(keys.cbegin(), keys.cend(), path.cbegin()); };
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line.at(i);
        if (c == '{' || c == '[') {
            keys.append(c == '[' ? QByteArray("[") : QByteArray());
        } else if ((c == '}' || c == ']') && !keys.isEmpty()) {
            keys.removeLast();
        } else if (c == '"') {
            const qsizetype start = i + 1;
            for (++i; i < line.size() && line.at(i) != '"'; ++i)
                if (line.at(i) == '\\')
                    ++i;
            qsizetype at = i + 1;
            while (blank(at))
                ++at;
            if (at >= line.size() || line.at(at) != ':' || keys.isEmpty())
                continue; // a value, not a key
            keys.last() = decodedKey(QByteArrayView(line).sliced(start, i - start));
            if (!onPath())
                continue;
            for (++at; blank(at); ++at) { }
            qsizetype end = at;
            while (end < line.size() && line.at(end) && std::strchr("-+.0123456789eE", line.at(end)))
                ++end;
            found = line.mid(at, end - at);
        }
    }
    return found;
}

const QRegularExpression &integerText()
{
    static const QRegularExpression integer(QStringLiteral("\\A-?(0|[1-9][0-9]*)\\z"));
    return integer;
}

// The number at `path` in `line` exactly as written when it is a whole one that the parsed
// value would write otherwise (rounded beyond 64 bits, or "-0"); otherwise `value` as parsed.
QJsonValue exactNumber(const QByteArray &line, const QList<QByteArrayView> &path, const QJsonValue &value)
{
    if (!value.isDouble())
        return value;
    const QByteArray raw = rawNumber(line, path);
    if (!integerText().match(QString::fromLatin1(raw)).hasMatch())
        return value;
    try {
        if (json::compact(value) == raw)
            return value;
    } catch (const std::exception &) {
    }
    return json::exactInteger(raw);
}

// What the response carries as the request's id: a text, or an integer exactly as written.
// Anything else (null, a fraction, an object, an array, a Boolean) makes an invalid request.
std::optional<QJsonValue> requestId(const QByteArray &line, const QJsonValue &id)
{
    if (id.isString())
        return id;
    if (!id.isDouble() || !integerText().match(QString::fromLatin1(rawNumber(line, { "id" }))).hasMatch())
        return std::nullopt;
    return exactNumber(line, { "id" }, id);
}

// `line` as JSON where Qt refused one of its numbers, one beyond a double's range: every number,
// if well formed, is read as 0 instead. Nullopt when it is not JSON even so.
std::optional<QJsonDocument> tamedJson(const QByteArray &line)
{
    static const QRegularExpression number(QStringLiteral(R"(\A-?(0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?\z)"));
    QByteArray tamed;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line.at(i);
        if (c == '"') {
            qsizetype end = i + 1;
            for (; end < line.size() && line.at(end) != '"'; ++end)
                end += line.at(end) == '\\' ? 1 : 0;
            tamed.append(line.mid(i, end + 1 - i));
            i = end;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            qsizetype end = i;
            while (end < line.size() && line.at(end) && std::strchr("-+.0123456789eE", line.at(end)))
                ++end;
            if (!number.match(QString::fromLatin1(line.mid(i, end - i))).hasMatch())
                return std::nullopt;
            tamed.append('0');
            i = end - 1;
        } else {
            tamed.append(c);
        }
    }
    QJsonParseError error {};
    QJsonDocument document = QJsonDocument::fromJson(tamed, &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    return document;
}

// Whether `line`, which Qt refused, is JSON after all: one with a number beyond a double's
// range, or a lone value outside any object or array, which Qt reads only inside one.
bool isJson(const QByteArray &line, QJsonParseError::ParseError refusal)
{
    if (refusal == QJsonParseError::IllegalNumber && tamedJson(line))
        return true;
    const QByteArray wrapped = '[' + line + ']';
    QJsonParseError error {};
    QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    if (error.error == QJsonParseError::IllegalNumber)
        document = tamedJson(wrapped).value_or(QJsonDocument());
    else if (error.error != QJsonParseError::NoError)
        return false;
    // "1, 2" would be two values.
    return document.array().size() == 1;
}

// One message line as JSON-RPC 2.0 reads it.
struct Message {
    enum class Kind { unparsable, invalid, response, notification, request };
    explicit Message(Kind kind_ = Kind::unparsable, QJsonObject object_ = {}, QString method_ = {}, QJsonValue id_ = {})
        : kind(kind_)
        , object(std::move(object_))
        , method(std::move(method_))
        , id(std::move(id_))
    {
    }
    Kind kind;
    QJsonObject object;
    QString method;
    QJsonValue id; // a request's, as its response carries it
};

Message read(const QByteArray &line)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError)
        return Message(isJson(line, error.error) ? Message::Kind::invalid : Message::Kind::unparsable);
    // A batch is an array, which no version this server offers has; a lone value is no message.
    if (!document.isObject())
        return Message(Message::Kind::invalid);
    const QJsonObject object = document.object();
    // A client's answer to a request: this server sends none, so there is nothing to answer.
    if (!object.contains(QLatin1String("method"))
        && (object.contains(QLatin1String("result")) || object.contains(QLatin1String("error"))))
        return Message(Message::Kind::response);
    const QJsonValue method = object.value(QLatin1String("method"));
    if (object.value(QLatin1String("jsonrpc")) != QJsonValue(QStringLiteral("2.0")) || !method.isString())
        return Message(Message::Kind::invalid);
    if (!object.contains(QLatin1String("id")))
        return Message(Message::Kind::notification, object, method.toString());
    const std::optional<QJsonValue> id = requestId(line, object.value(QLatin1String("id")));
    if (!id)
        return Message(Message::Kind::invalid);
    return Message(Message::Kind::request, object, method.toString(), *id);
}

// Splits `fd`'s bytes into lines without their line feed, looking at every byte once. A line
// that outgrows MCPServer::maxLineBytes is reported once through `overlong` and skipped up to
// its line feed without being kept. Returns at end of input, on a read error, or once `stop` is
// requested, even while the client sends nothing.
void readLines(
    int fd, std::stop_token stop, const std::function<void(QByteArray)> &line, const std::function<void()> &overlong)
{
    struct Wake {
        int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ~Wake()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } owned; // closed after the callback that writes to it is gone
    const int wake = owned.fd;
    const std::stop_callback onStop(stop, [wake] {
        const quint64 one = 1;
        if (wake >= 0 && ::write(wake, &one, sizeof one) < 0) {
            // Full only when woken already.
        }
    });
    QByteArray pending;
    bool skipping = false;
    QByteArray buffer(65536, Qt::Uninitialized);
    for (;;) {
        // Input the client left non-blocking has nothing yet, and a blocking read would outlast
        // a stop: wait for either first.
        pollfd ready[2] { { fd, POLLIN, 0 }, { wake, POLLIN, 0 } };
        const int polled = ::poll(ready, wake >= 0 ? 2 : 1, -1);
        if (stop.stop_requested() || (polled < 0 && errno != EINTR))
            break;
        if (polled < 0)
            continue; // a signal: wait again rather than block in read()
        const ssize_t count = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
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
    if (!pending.isEmpty() && !skipping && !stop.stop_requested())
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
    QJsonValue id;
    QByteArray line;
    std::stop_source stop;
    // Requested when the call is cancelled or the process told to end, not when input ends: a
    // read of the keyring then gives up at once, while a call whose client only closed its
    // input still gets its answer.
    std::stop_source abandon;
    std::jthread worker;
    bool cancelled = false;
    // The client's "_meta.progressToken", a string or a number; undefined: none asked for.
    QJsonValue progressToken { QJsonValue::Undefined };
    int progress = 0;
    // Waiting for the user's answer, it holds none of the running calls' places.
    bool waitingForUser = false;
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
    // Not 2025-03-26: that version has JSON-RPC batches, which this server does not take. A
    // client asking for it is offered the newest instead.
    return { QStringLiteral("2024-11-05"), QString::fromLatin1(protocolVersion) };
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
            this,
            [this] {
                for (const std::shared_ptr<Call> &call : std::as_const(m_running))
                    call->abandon.request_stop();
                inputEnded();
            },
            Qt::QueuedConnection);
    });
    // The reader only reads: every line is handled on this thread, in the order it arrived. It
    // is stopped and joined before serving ends, so it never posts to a server that is gone.
    std::jthread reader([this, inputFd](std::stop_token stop) {
        readLines(
            inputFd, stop,
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
    reader.request_stop();
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
    // So every running call is stopped the way a cancelled one is, yet still answers (a backup
    // with its "cancelled" record), and the calls not started yet are answered as cancelled.
    if (!m_inputEnded) {
        for (const std::shared_ptr<Call> &call : std::as_const(m_running))
            call->stop.request_stop();
        for (const std::shared_ptr<Call> &call : std::exchange(m_waiting, {})) {
            if (m_inFlight.value(call->key) == call)
                m_inFlight.remove(call->key);
            m_output(cancelled(call->id));
        }
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
    const Message message = read(line);
    if (message.kind == Message::Kind::request && message.method == QLatin1String("tools/call")) {
        startCall(message.object, message.id, line);
        return;
    }
    if (message.kind == Message::Kind::notification && message.method == QLatin1String("notifications/cancelled")) {
        const QJsonObject params = message.object.value(QLatin1String("params")).toObject();
        const QJsonValue id = exactNumber(line, { "params", "requestId" }, params.value(QLatin1String("requestId")));
        if (const std::shared_ptr<Call> call = m_inFlight.take(key(id))) {
            call->cancelled = true;
            call->stop.request_stop();
            call->abandon.request_stop();
            // One that never started is simply forgotten; a running one still reports back.
            m_waiting.removeOne(call);
            if (m_wake)
                m_wake();
        }
        return;
    }
    if (const std::optional<QJsonObject> response = handle(line))
        m_output(*response);
}

void MCPServer::startCall(const QJsonObject &message, const QJsonValue &id, const QByteArray &line)
{
    // Once input has ended or the process is told to end, nothing new starts.
    if (m_inputEnded) {
        m_output(cancelled(id));
        return;
    }
    auto call = std::make_shared<Call>();
    call->id = id;
    call->key = key(id);
    call->line = line;
    // The client's own token, a string or any number, echoed as it was written.
    const QJsonValue token = message.value(QLatin1String("params"))
                                 .toObject()
                                 .value(QLatin1String("_meta"))
                                 .toObject()
                                 .value(QLatin1String("progressToken"));
    if (token.isString() || token.isDouble())
        call->progressToken = exactNumber(line, { "params", "_meta", "progressToken" }, token);
    // A reused id hands the table entry to the newer call; the older one still answers.
    m_inFlight.insert(call->key, call);
    m_waiting.append(call);
    if (!call->progressToken.isUndefined() && !m_progressTimer.isActive())
        m_progressTimer.start();
    startWaiting();
}

void MCPServer::startWaiting()
{
    const auto busy = [this] {
        return std::count_if(
            m_running.cbegin(), m_running.cend(), [](const auto &call) { return !call->waitingForUser; });
    };
    while (busy() < maxRunningCalls && !m_waiting.isEmpty()) {
        const std::shared_ptr<Call> call = m_waiting.takeFirst();
        m_running.append(call);
        try {
            launch(call);
        } catch (const std::system_error &error) {
            // Out of threads: this call fails, the server and its other calls go on.
            logLine(QStringLiteral("mcp"), QStringLiteral("a tool call could not start: %1").arg(error.what()));
            m_running.removeOne(call);
            if (m_inFlight.value(call->key) == call)
                m_inFlight.remove(call->key);
            if (!call->cancelled)
                m_output(success(call->id,
                    toolError(AgentError::failed(
                        QStringLiteral("The call could not be started: the system has no thread to spare for it. "
                                       "Retry it later.")))));
            if (m_wake)
                m_wake();
        }
    }
}

void MCPServer::launch(const std::shared_ptr<Call> &call)
{
    call->worker = std::jthread([this, call, line = call->line, runTool = m_runTool, stop = call->stop.get_token()] {
        const KeyringStop keyringStop(call->abandon.get_token());
        // One Secret Service session for the call (the seal's and a run's reads alike).
        const KeyringSession keyringSession;
        WaitingForUser::setObserver([this, call](bool waiting) {
            QMetaObject::invokeMethod(
                this,
                [this, call, waiting] {
                    call->waitingForUser = waiting;
                    startWaiting();
                },
                Qt::QueuedConnection);
        });
        std::optional<QJsonObject> response = respond(line, runTool, stop);
        // The server outlives every worker (its destructor joins them), so posting is safe.
        QMetaObject::invokeMethod(
            this, [this, call, response] { finishCall(call, response); }, Qt::QueuedConnection);
    });
}

void MCPServer::finishCall(const std::shared_ptr<Call> &call, const std::optional<QJsonObject> &response)
{
    if (call->worker.joinable())
        call->worker.join();
    m_running.removeOne(call);
    startWaiting();
    if (call->cancelled)
        return;
    // Only this call's own entry: a newer call may have taken the id meanwhile.
    if (m_inFlight.value(call->key) == call)
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
    const Message message = read(line);
    switch (message.kind) {
    case Message::Kind::unparsable:
        return failure(QJsonValue(QJsonValue::Null), -32700, QStringLiteral("Parse error"));
    case Message::Kind::invalid:
        return failure(QJsonValue(QJsonValue::Null), -32600, QStringLiteral("Invalid Request"));
    case Message::Kind::response:
    case Message::Kind::notification:
        return std::nullopt;
    case Message::Kind::request:
        break;
    }
    // Of a key written twice the parsed message keeps the last, which its writer may not have
    // meant: a request or its params that say something twice are refused, and a tool's
    // argument given twice is refused as the command line refuses it. A repeat anywhere else
    // (in "_meta", say) is no parameter of ours.
    const std::optional<json::RepeatedKey> repeated = json::repeatedKey(line, [](const QJsonArray &path) {
        return path.size() == 1
            || (path.first() == QLatin1String("params")
                && (path.size() == 2 || (path.size() == 3 && path.at(1) == QLatin1String("arguments"))));
    });
    const QJsonArray repeatedPath = repeated ? repeated->path : QJsonArray();
    if (repeatedPath.size() == 1)
        return failure(QJsonValue(QJsonValue::Null), -32600,
            QStringLiteral("Invalid Request: \"") + repeatedPath.first().toString()
                + QStringLiteral("\" is given twice."));
    if (repeatedPath.size() == 2)
        return failure(message.id, -32602,
            QStringLiteral("Invalid params: \"") + repeatedPath.last().toString()
                + QStringLiteral("\" is given twice."));
    const QJsonValue &id = message.id;
    const QString &method = message.method;
    const QJsonValue paramsValue = message.object.value(QLatin1String("params"));
    if (!paramsValue.isUndefined() && !paramsValue.isObject())
        return failure(id, -32602, QStringLiteral("Invalid params: params must be an object."));
    const QJsonObject params = paramsValue.toObject();

    if (method == QLatin1String("initialize"))
        return success(id, initialized(params));
    if (method == QLatin1String("ping"))
        return success(id, QJsonObject());
    if (method == QLatin1String("tools/list")) {
        // The table never changes while the process runs: the list is made once.
        static const QJsonObject list = [] {
            QJsonArray tools;
            for (const AgentCommand &command : AgentCommand::all())
                tools.append(tool(command));
            return QJsonObject { { QStringLiteral("tools"), tools } };
        }();
        return success(id, list);
    }
    if (method == QLatin1String("tools/call"))
        return callTool(id, params, repeated && repeatedPath.size() == 3 ? repeated : std::nullopt, runTool, stop);
    return failure(id, -32601, QStringLiteral("Method not found: ") + method);
}

QJsonObject MCPServer::initialized(const QJsonObject &params)
{
    // The client's version when this server speaks it; otherwise the newest, which the client
    // may then accept or disconnect from.
    const QString requested = params.value(QLatin1String("protocolVersion")).toString();
    const QString version = QStringLiteral(VELLMIR_VERSION);
    return QJsonObject {
        { QStringLiteral("protocolVersion"),
            protocolVersions().contains(requested) ? requested : QString::fromLatin1(protocolVersion) },
        { QStringLiteral("capabilities"), QJsonObject { { QStringLiteral("tools"), QJsonObject() } } },
        { QStringLiteral("serverInfo"),
            QJsonObject { { QStringLiteral("name"), QStringLiteral("vellmir") },
                { QStringLiteral("version"), version.isEmpty() ? QStringLiteral("dev") : version } } },
        { QStringLiteral("instructions"), instructions() },
    };
}

QJsonObject MCPServer::callTool(const QJsonValue &id, const QJsonObject &params,
    const std::optional<json::RepeatedKey> &repeatedArgument, const ToolRunner &runTool, std::stop_token stop)
{
    const QJsonValue name = params.value(QLatin1String("name"));
    if (!name.isString())
        return failure(id, -32602, QStringLiteral("tools/call needs a name."));
    if (!AgentCommand::named(name.toString()))
        return failure(id, -32602, QStringLiteral("Unknown tool ") + name.toString() + QLatin1Char('.'));
    const QJsonValue arguments = params.value(QLatin1String("arguments"));
    if (!arguments.isUndefined() && !arguments.isObject())
        return failure(id, -32602, QStringLiteral("tools/call arguments must be an object."));
    if (repeatedArgument)
        return success(id,
            toolError(AgentParameters::givenTwice(*AgentCommand::named(name.toString()),
                repeatedArgument->path.last().toString(), repeatedArgument->first, repeatedArgument->second, false)));
    // A failed command is still a successful JSON-RPC response, flagged "isError".
    try {
        const QJsonObject reply = runTool(name.toString(), arguments.toObject(), stop);
        return success(id, toolResult(reply, AgentControl::reportsFailedRun(name.toString(), reply)));
    } catch (const std::exception &error) {
        return success(id, toolError(error));
    } catch (...) {
        return success(id, toolError(Error(QStringLiteral("The command failed."))));
    }
}

QJsonObject MCPServer::failure(const QJsonValue &id, int code, const QString &message)
{
    return QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), id },
        { QStringLiteral("error"),
            QJsonObject { { QStringLiteral("code"), code }, { QStringLiteral("message"), message } } } };
}

QJsonObject MCPServer::cancelled(const QJsonValue &id)
{
    return success(id, toolError(CancellationError()));
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
    const bool change = command.tier == AgentCommand::Tier::change;
    return QJsonObject {
        { QStringLiteral("name"), command.name },
        { QStringLiteral("description"),
            command.summary + (command.takesSecrets() ? secretsSentence : QString())
                + (change ? approvalSentence : QString()) },
        { QStringLiteral("inputSchema"), command.inputSchema() },
        { QStringLiteral("annotations"),
            QJsonObject { { QStringLiteral("readOnlyHint"), command.tier == AgentCommand::Tier::read },
                { QStringLiteral("destructiveHint"), change }, { QStringLiteral("openWorldHint"), false } } },
    };
}

QJsonObject MCPServer::toolResult(const QJsonObject &reply, bool failedRun)
{
    return QJsonObject {
        { QStringLiteral("content"),
            QJsonArray { QJsonObject {
                { QStringLiteral("type"), QStringLiteral("text") }, { QStringLiteral("text"), text(reply) } } } },
        { QStringLiteral("structuredContent"), reply },
        { QStringLiteral("isError"), failedRun },
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
    // A server answers many calls: what they read is kept between them while nothing changed.
    return [kept = std::make_shared<AgentKeptState>()](const QString &name, const QJsonObject &arguments,
               std::stop_token stop) { return AgentControl::runCommand(name, arguments, stop, kept); };
}

} // namespace vellmir
