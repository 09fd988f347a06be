#include "agent/AgentApproval.h"

#include "platform/DesktopSession.h"
#include "util/Log.h"
#include "util/TextRules.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <cmath>
#include <mutex>

namespace vellmir {

namespace {
// QTimer counts in int milliseconds; the longest wait is kept well inside that.
constexpr double maximumTimeout = 7 * 24 * 3600;

const QString &rawText(ApprovalDecision decision)
{
    static const QString texts[] = { QStringLiteral("approved"), QStringLiteral("approved-by-setting"),
        QStringLiteral("denied"), QStringLiteral("timed-out"), QStringLiteral("withdrawn") };
    return texts[static_cast<int>(decision)];
}

// One decide() call's wait, shared with the prompt's callback, which may run late (after a
// time-out) or on another thread. `loop` is only touched under the mutex and cleared before the
// loop goes away.
struct Wait {
    enum class End { none, answered, unavailable, timedOut, stopped };
    std::mutex mutex;
    End end = End::none;
    int button = -1;
    QEventLoop *loop = nullptr;

    void attach(QEventLoop *waitingLoop)
    {
        std::lock_guard guard(mutex);
        loop = waitingLoop;
    }
    bool waiting()
    {
        std::lock_guard guard(mutex);
        return end == End::none;
    }
    void finish(End how, int chosen = -1)
    {
        std::lock_guard guard(mutex);
        if (end != End::none)
            return;
        end = how;
        button = chosen;
        if (loop)
            QMetaObject::invokeMethod(loop, &QEventLoop::quit, Qt::QueuedConnection);
    }
    // How the wait ended, and the button chosen.
    std::pair<End, int> detach()
    {
        std::lock_guard guard(mutex);
        loop = nullptr;
        // The loop can end for reasons of its own (the application quitting): nobody answered.
        if (end == End::none)
            end = End::stopped;
        return { end, button };
    }
};

void logUnanswered(const ChangeRequest &request)
{
    logLine(QStringLiteral("approval"),
        QStringLiteral("no desktop session to ask the user, so the request \"%1\" is left unanswered.")
            .arg(request.command));
}
} // namespace

QByteArray ApprovalPrompt::Alert::toJson() const
{
    const QJsonObject object { { QStringLiteral("messageText"), messageText },
        { QStringLiteral("informativeText"), informativeText },
        { QStringLiteral("buttons"), QJsonArray::fromStringList(buttons) },
        { QStringLiteral("defaultButton"), defaultButton } };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<ApprovalPrompt::Alert> ApprovalPrompt::Alert::fromJson(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const QJsonObject object = document.object();
    const QJsonValue buttons = object.value(QStringLiteral("buttons"));
    if (!object.value(QStringLiteral("messageText")).isString()
        || !object.value(QStringLiteral("informativeText")).isString() || !buttons.isArray()
        || !object.value(QStringLiteral("defaultButton")).isDouble())
        return std::nullopt;
    Alert alert;
    alert.messageText = object.value(QStringLiteral("messageText")).toString();
    alert.informativeText = object.value(QStringLiteral("informativeText")).toString();
    for (const QJsonValue &button : buttons.toArray())
        alert.buttons.append(button.toString());
    alert.defaultButton = object.value(QStringLiteral("defaultButton")).toInt();
    return alert;
}

QString toString(ApprovalDecision decision)
{
    return rawText(decision);
}

std::optional<ApprovalDecision> approvalDecisionFromString(const QString &raw)
{
    for (ApprovalDecision decision : { ApprovalDecision::approvedByUser, ApprovalDecision::approvedBySetting,
             ApprovalDecision::denied, ApprovalDecision::timedOut, ApprovalDecision::withdrawn }) {
        if (raw == rawText(decision))
            return decision;
    }
    return std::nullopt;
}

bool allows(ApprovalDecision decision)
{
    return decision == ApprovalDecision::approvedByUser || decision == ApprovalDecision::approvedBySetting;
}

DialogApprover::DialogApprover(double timeout, std::shared_ptr<ApprovalPrompt> prompt)
    : m_timeout(std::isfinite(timeout) && timeout > 0 ? std::min(timeout, maximumTimeout) : 0)
    , m_prompt(std::move(prompt))
{
}

ApprovalPrompt::Alert DialogApprover::alert(const ChangeRequest &request) const
{
    const auto minutes = static_cast<qint64>(m_timeout / 60);
    ApprovalPrompt::Alert alert;
    // Each detail is the one line of the dialog it is, whatever a folder's or a host's name holds:
    // a line break would show a line of its own, and an invisible or bidirectional character
    // would make the line read as another.
    alert.messageText = TextRules::visible(request.title);
    QStringList lines;
    for (const QString &detail : request.details)
        lines.append(TextRules::visible(detail));
    alert.informativeText = lines.join(u'\n')
        + QStringLiteral("\n\nRequested by an agent through the vellmir command. Unanswered requests are denied after ")
        + QString::number(minutes) + QStringLiteral(" minutes.");
    alert.buttons = { QStringLiteral("Deny"), QStringLiteral("Allow") };
    alert.defaultButton = 0;
    return alert;
}

bool DialogApprover::canAsk() const
{
    return m_prompt && !m_unavailable && QCoreApplication::instance();
}

ApprovalDecision DialogApprover::decide(const ChangeRequest &request, std::stop_token stop)
{
    // Each request tries again: a desktop session may have come back since the last one.
    m_unavailable = false;
    if (!canAsk()) {
        logUnanswered(request);
        return ApprovalDecision::timedOut;
    }
    if (stop.stop_requested())
        return ApprovalDecision::withdrawn;

    auto state = std::make_shared<Wait>();
    QEventLoop loop;
    state->attach(&loop);
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [state] { state->finish(Wait::End::timedOut); });

    m_prompt->show(alert(request), [state](int button) {
        state->finish(button == ApprovalPrompt::unavailable ? Wait::End::unavailable : Wait::End::answered, button);
    });
    {
        std::stop_callback onStop(stop, [state] { state->finish(Wait::End::stopped); });
        timer.start(static_cast<int>(std::llround(m_timeout * 1000)));
        if (state->waiting())
            loop.exec();
        timer.stop();
    }
    const auto [end, button] = state->detach();

    switch (end) {
    case Wait::End::answered:
        return button == 1 ? ApprovalDecision::approvedByUser : ApprovalDecision::denied;
    case Wait::End::unavailable:
        m_unavailable = true;
        logUnanswered(request);
        return ApprovalDecision::timedOut;
    case Wait::End::timedOut:
        m_prompt->dismiss();
        return ApprovalDecision::timedOut;
    case Wait::End::stopped:
        m_prompt->dismiss();
        return stop.stop_requested() ? ApprovalDecision::withdrawn : ApprovalDecision::denied;
    case Wait::End::none:
        break;
    }
    m_prompt->dismiss();
    return ApprovalDecision::denied;
}

ProcessPrompt::ProcessPrompt(QString program, QStringList arguments, std::function<QProcessEnvironment()> environment)
    : m_program(std::move(program))
    , m_arguments(std::move(arguments))
    , m_environment(std::move(environment))
{
    if (!m_environment)
        m_environment = [] {
            return DesktopSession::located(QProcessEnvironment::systemEnvironment(),
                [] { return DesktopSession::managerEnvironment(QDBusConnection::sessionBus()); });
        };
}

ProcessPrompt::~ProcessPrompt()
{
    dismiss();
}

void ProcessPrompt::show(const Alert &alert, std::function<void(int)> answered)
{
    dismiss();
    const QProcessEnvironment environment = m_environment();
    if (!DesktopSession::reachable(environment)) {
        answered(unavailable);
        return;
    }
    m_process = std::make_unique<QProcess>();
    QProcess *process = m_process.get();
    process->setProgram(m_program);
    process->setArguments(m_arguments);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Whatever ends the process without a button's index on its output (no display, the
    // display gone, a crash) leaves the request unanswered.
    QObject::connect(process, &QProcess::finished, process, [process, answered] {
        bool ok = false;
        const int button = process->readAllStandardOutput().trimmed().toInt(&ok);
        answered(ok && button >= -1 ? button : unavailable);
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [answered](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            answered(unavailable);
    });
    process->start();
    // Standard input stays open: its end tells the dialog that this process is gone.
    process->write(alert.toJson() + '\n');
}

void ProcessPrompt::dismiss()
{
    if (!m_process)
        return;
    m_process->disconnect(); // taken away unanswered: no answer is reported
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
}

} // namespace vellmir
