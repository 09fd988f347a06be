#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace vellmir {

// What one change-tier agent command asks the user to allow.
struct ChangeRequest {
    QString command; // the agent command's name; goes into the audit log
    QString title; // one-line question
    QStringList details; // lines describing the change, shown under the question

    friend bool operator==(const ChangeRequest &, const ChangeRequest &) = default;
};

// How a change request was decided. The raw texts are what agents and the audit log see.
// `withdrawn`: the agent took the request back (stopped the call) before anyone answered it, so
// the log does not blame a denial on a user who never pressed Deny.
enum class ApprovalDecision { approvedByUser, approvedBySetting, denied, timedOut, withdrawn };

// "approved", "approved-by-setting", "denied", "timed-out", "withdrawn"
QString toString(ApprovalDecision decision);
std::optional<ApprovalDecision> approvalDecisionFromString(const QString &raw);
// True for the two approved cases only.
bool allows(ApprovalDecision decision);

// Decides change requests. Blocks until there is a decision and never throws; a stop request
// ends the wait as withdrawn.
class AgentApprover {
public:
    virtual ~AgentApprover() = default;
    virtual ApprovalDecision decide(const ChangeRequest &request, std::stop_token stop) = 0;
    // Whether anyone can be asked at all. An approver that cannot ask reports every request
    // unanswered at once, and the agent is told why rather than that nobody answered in time.
    virtual bool canAsk() const { return true; }
};

// The window that puts an approval question on the user's screen. It is a widget, so it lives
// with the user interface; the decision rules stay here.
class ApprovalPrompt {
public:
    struct Alert {
        QString messageText;
        QString informativeText;
        QStringList buttons; // in display order
        int defaultButton = 0; // the button Return chooses

        friend bool operator==(const Alert &, const Alert &) = default;

        // One line of compact JSON, the form a dialog process reads; nullopt for anything else.
        QByteArray toJson() const;
        static std::optional<Alert> fromJson(const QByteArray &json);
    };

    // What `answered` gets when the alert could not be shown or went away unanswered with the
    // display it was on: nobody can answer it.
    static constexpr int unavailable = -2;

    virtual ~ApprovalPrompt() = default;
    // Shows the alert in front of other windows and returns at once. `answered` is called with
    // the index of the chosen button, -1 when the window was closed in any other way, or
    // `unavailable`; it may
    // be called from any thread, before show() returns, and more than once (only the first
    // call counts). show() and dismiss() are called on the thread that runs decide().
    virtual void show(const Alert &alert, std::function<void(int)> answered) = 0;
    // Takes the alert off the screen unanswered (time-out or stop).
    virtual void dismiss() = 0;
};

// Asks the user, one request at a time, whether an agent's change may go ahead. Unanswered
// requests time out. Without a prompt (no desktop session to show one on) nobody can answer,
// so every request is reported unanswered at once: nothing is ever approved by default.
class DialogApprover : public AgentApprover {
public:
    static constexpr double defaultTimeout = 300;

    // `timeout` in seconds; a negative or non-finite value counts as 0 and very long ones are
    // capped, so the wait always ends.
    explicit DialogApprover(double timeout = defaultTimeout, std::shared_ptr<ApprovalPrompt> prompt = nullptr);

    double timeout() const { return m_timeout; }
    // The alert decide() shows: the title, then the details and the closing sentence with the
    // time-out in whole minutes; "Deny" (the default) and "Allow".
    ApprovalPrompt::Alert alert(const ChangeRequest &request) const;

    // Waits for the answer in a local event loop, so the calling thread keeps serving its
    // events (the prompt's own, on the main thread) meanwhile.
    ApprovalDecision decide(const ChangeRequest &request, std::stop_token stop = {}) override;
    // False without a prompt, before the process has an application object to show it with,
    // and when the prompt found nobody to show the last request to.
    bool canAsk() const override;

private:
    double m_timeout;
    std::shared_ptr<ApprovalPrompt> m_prompt;
    std::atomic<bool> m_unavailable { false };
};

// Shows each alert from a short-lived process of its own: `program` (the application's own
// executable in its dialog mode) reads the alert as one JSON line on standard input and writes
// the chosen button's index on standard output. So the agent's process never connects to a
// display: a display that does not answer, or goes away, ends the dialog's process and leaves
// the request unanswered, while the agent's process and its other calls go on. Nothing secret
// goes to that process; it gets the agent's environment with the graphical session's display
// located. show() and dismiss() run on the thread that waits for the answer, in its event loop.
class ProcessPrompt final : public ApprovalPrompt {
public:
    // `environment` defaults to the process's own with the desktop session's display located
    // (DesktopSession::located over the session bus).
    ProcessPrompt(QString program, QStringList arguments, std::function<QProcessEnvironment()> environment = {});
    ~ProcessPrompt() override;

    void show(const Alert &alert, std::function<void(int)> answered) override;
    // Ends the dialog's process, if it still runs, and waits for it.
    void dismiss() override;

private:
    QString m_program;
    QStringList m_arguments;
    std::function<QProcessEnvironment()> m_environment;
    std::unique_ptr<QProcess> m_process;
};

} // namespace vellmir
