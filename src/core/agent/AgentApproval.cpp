#include "agent/AgentApproval.h"

#include "util/Log.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <cmath>

namespace vellmir {

namespace {
// QTimer counts in int milliseconds; the longest wait is kept well inside that.
constexpr double maximumTimeout = 7 * 24 * 3600;

const QString &rawText(ApprovalDecision decision)
{
    static const QString texts[] = { QStringLiteral("approved"), QStringLiteral("approved-by-setting"),
        QStringLiteral("denied"), QStringLiteral("timed-out") };
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
             ApprovalDecision::denied, ApprovalDecision::timedOut }) {
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

ApprovalDecision DialogApprover::decide(const ChangeRequest &request)
{
    if (!m_prompt || !QCoreApplication::instance()) {
        logLine(QStringLiteral("approval"),
            QStringLiteral("no desktop session to ask the user, so the request \"%1\" is left unanswered.")
                .arg(request.command));
        return ApprovalDecision::timedOut;
    }

    // The state outlives this call if the prompt answers late, after a time-out.
    struct State {
        bool answered = false;
        bool timedOut = false;
        int button = -1;
        QPointer<QEventLoop> loop;
    };
    auto state = std::make_shared<State>();
    QEventLoop loop;
    state->loop = &loop;

    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [this, state] {
        if (state->answered)
            return;
        state->timedOut = true;
        m_prompt->dismiss();
        if (state->loop)
            state->loop->quit();
    });

    m_prompt->show(alert(request), [state](int button) {
        if (state->answered || state->timedOut)
            return;
        state->answered = true;
        state->button = button;
        if (state->loop)
            state->loop->quit();
    });
    if (!state->answered) {
        timer.start(static_cast<int>(std::llround(m_timeout * 1000)));
        loop.exec();
    }
    timer.stop();
    state->loop = nullptr;

    if (state->timedOut)
        return ApprovalDecision::timedOut;
    return state->button == 1 ? ApprovalDecision::approvedByUser : ApprovalDecision::denied;
}

bool DialogApprover::desktopSessionAvailable()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !qEnvironmentVariableIsEmpty("DISPLAY");
}

} // namespace vellmir
