#pragma once

#include "agent/AgentCommand.h"
#include "util/Json.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <unistd.h>

namespace vellmir {

// Serves the agent commands as Model Context Protocol tools: newline-delimited JSON-RPC 2.0
// on standard input and output. A reader thread only reads lines and posts them to the
// thread that called serve(), which answers every message in arrival order. Tool calls run on
// a few worker threads (the rest wait their turn in arrival order), so a call waiting minutes
// for the user's approval holds up neither reading nor the other messages, and a flood of
// calls cannot spawn a thread each; "notifications/cancelled" stops one by its request id and
// its response is dropped. A call that carries a progress token gets "notifications/progress"
// every few seconds until it is answered, so a client that resets its time-out on progress
// keeps waiting for the user; a call without one hears nothing but its answer. Standard output
// carries protocol lines only, written by a thread of their own so that a client that stops
// reading holds up no call; logs go to standard error.
class MCPServer : public QObject {
    Q_OBJECT

public:
    // Runs one tool: the command name, the call's arguments as sent, and the call's stop token.
    // Called on a worker thread; returns the reply object or throws the command's error.
    using ToolRunner = std::function<QJsonObject(const QString &, const QJsonObject &, std::stop_token)>;
    // Sends one response or notification. Called on the serving thread only.
    using Output = std::function<void(const QJsonObject &)>;

    // The newest protocol version this server implements, and every one it can answer with.
    static constexpr const char *protocolVersion = "2025-06-18";
    static QStringList protocolVersions();
    // How many tool calls run at once; the others wait in arrival order. Calls waiting for the
    // user's approval hold no place, and there are at most DialogApprover::maxQuestions of them.
    static constexpr int maxRunningCalls = 4;
    // How often a call with a progress token hears from the server while it is not answered.
    static constexpr int progressIntervalMs = 2000;
    // The longest message line read. A longer one is answered with an error and skipped
    // without being held in memory.
    static constexpr qsizetype maxLineBytes = 4 * 1024 * 1024;
    // How long, once input has ended and every call is answered, a client that takes none of
    // the remaining lines is waited for before the server ends without them.
    static constexpr std::chrono::milliseconds outputStallLimit { 5000 };

    explicit MCPServer(ToolRunner runTool = defaultRunTool(), Output output = &MCPServer::writeLine);
    // Stops and waits for calls still running, which after serve() are only cancelled ones.
    ~MCPServer() override;

    // Reads lines from `inputFd` until end of input (or a read error) or until `shutdown` is
    // stopped, then cancels the calls in flight, waits for their answers and for standard output
    // to take them, and returns. Needs a QCoreApplication. After a shutdown the line reader may
    // still be waiting for input: the caller ends the process rather than destroy the server.
    void serve(int inputFd = STDIN_FILENO, std::stop_token shutdown = {});

    // Routes one input line: tool calls start and return at once, cancellations stop a call,
    // everything else is answered before this returns.
    void receive(const QByteArray &line);
    // The response to one message, or nullopt when nothing is sent. Tool calls block here until
    // the tool returns, so this runs on a worker thread for them.
    std::optional<QJsonObject> handle(const QByteArray &line, std::stop_token stop = {}) const;
    // Runs the event loop until every tool call not cancelled has answered.
    void drain();

    // Queues one message as a compact JSON line for standard output and returns at once; the
    // lines leave whole and in the order queued.
    static void writeLine(const QJsonObject &message);
    // The tool description of a command: name, description, inputSchema, annotations.
    static QJsonObject tool(const AgentCommand &command);
    // The "result" of a tools/call: the reply as text and as structured content, or the error
    // object as text with "isError" true. A reply telling of a failed run keeps its content and
    // is flagged "isError" as well.
    static QJsonObject toolResult(const QJsonObject &reply, bool failedRun = false);
    static QJsonObject toolError(const std::exception &error);
    // The per-call AgentControl runner both front ends share.
    static ToolRunner defaultRunTool();

    // Request ids as table keys: "s:" and the text for a string id, "n:" and the JSON text for
    // anything else, so the number 7 and the string "7" never meet.
    static QString key(const QJsonValue &id);

private:
    struct Call;

    static std::optional<QJsonObject> respond(const QByteArray &line, const ToolRunner &runTool, std::stop_token stop);
    static QJsonObject initialized(const QJsonObject &params);
    // A tools/call request; `repeatedArgument` is a tool argument the request gives twice.
    static QJsonObject callTool(const QJsonValue &id, const QJsonObject &params,
        const std::optional<json::RepeatedKey> &repeatedArgument, const ToolRunner &runTool, std::stop_token stop);
    static QJsonObject failure(const QJsonValue &id, int code, const QString &message);
    static QString text(const QJsonObject &object);
    // `message` is `line` as receive() parsed it; the worker answers from the line itself.
    void startCall(const QJsonObject &message, const QJsonValue &id, const QByteArray &line);
    // The answer to a call that is not run because the server is stopping.
    static QJsonObject cancelled(const QJsonValue &id);
    void finishCall(const std::shared_ptr<Call> &call, const std::optional<QJsonObject> &response);
    // Starts waiting calls while fewer than maxRunningCalls run.
    void startWaiting();
    // Starts the call's worker thread; throws std::system_error when none can be made.
    void launch(const std::shared_ptr<Call> &call);
    void sendProgress();
    void inputEnded();
    bool hasLiveCalls() const;

    ToolRunner m_runTool;
    Output m_output;
    QHash<QString, std::shared_ptr<Call>> m_inFlight;
    // Calls not started yet, oldest first.
    QList<std::shared_ptr<Call>> m_waiting;
    // Every call whose worker has not reported back, cancelled ones included; joined on the way out.
    QList<std::shared_ptr<Call>> m_running;
    QTimer m_progressTimer;
    bool m_inputEnded = false;
    std::function<void()> m_wake; // quits serve()'s or drain()'s loop once the work is done
};

} // namespace vellmir
