#include "agent/AgentApproval.h"

#include "util/Log.h"

#include <QCoreApplication>
#include <QEventLoop>
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
} // namespace

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
    alert.messageText = request.title;
    alert.informativeText = request.details.join(u'\n')
        + QStringLiteral("\n\nRequested by an agent through the vellmir command. Unanswered requests are denied after ")
        + QString::number(minutes) + QStringLiteral(" minutes.");
    alert.buttons = { QStringLiteral("Deny"), QStringLiteral("Allow") };
    alert.defaultButton = 0;
    return alert;
}

bool DialogApprover::canAsk() const
{
    return m_prompt && QCoreApplication::instance();
}

ApprovalDecision DialogApprover::decide(const ChangeRequest &request, std::stop_token stop)
{
    if (!canAsk()) {
        logLine(QStringLiteral("approval"),
            QStringLiteral("no desktop session to ask the user, so the request \"%1\" is left unanswered.")
                .arg(request.command));
        return ApprovalDecision::timedOut;
    }
    if (stop.stop_requested())
        return ApprovalDecision::withdrawn;

    // Shared with the prompt's callback, which may run late (after a time-out) or on another
    // thread. `loop` is only touched under the mutex and cleared before the loop goes away.
    struct State {
        std::mutex mutex;
        enum class End { none, answered, timedOut, stopped } end = End::none;
        int button = -1;
        QEventLoop *loop = nullptr;

        bool finish(End how, int chosen = -1)
        {
            std::lock_guard guard(mutex);
            if (end != End::none)
                return false;
            end = how;
            button = chosen;
            if (loop)
                QMetaObject::invokeMethod(loop, &QEventLoop::quit, Qt::QueuedConnection);
            return true;
        }
    };
    auto state = std::make_shared<State>();
    QEventLoop loop;
    {
        std::lock_guard guard(state->mutex);
        state->loop = &loop;
    }

    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [state] { state->finish(State::End::timedOut); });

    m_prompt->show(alert(request), [state](int button) { state->finish(State::End::answered, button); });
    {
        std::stop_callback onStop(stop, [state] { state->finish(State::End::stopped); });
        timer.start(static_cast<int>(std::llround(m_timeout * 1000)));
        bool waiting = false;
        {
            std::lock_guard guard(state->mutex);
            waiting = state->end == State::End::none;
        }
        if (waiting)
            loop.exec();
        timer.stop();
    }

    State::End end = State::End::none;
    int button = -1;
    {
        std::lock_guard guard(state->mutex);
        state->loop = nullptr;
        // The loop can end for reasons of its own (the application quitting): nobody answered.
        if (state->end == State::End::none)
            state->end = State::End::stopped;
        end = state->end;
        button = state->button;
    }

    switch (end) {
    case State::End::answered:
        return button == 1 ? ApprovalDecision::approvedByUser : ApprovalDecision::denied;
    case State::End::timedOut:
        m_prompt->dismiss();
        return ApprovalDecision::timedOut;
    case State::End::stopped:
        m_prompt->dismiss();
        return stop.stop_requested() ? ApprovalDecision::withdrawn : ApprovalDecision::denied;
    case State::End::none:
        break;
    }
    m_prompt->dismiss();
    return ApprovalDecision::denied;
}

} // namespace vellmir
