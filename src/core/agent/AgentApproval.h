#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
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
// the log does not blame a denial on a user who never pressed Deny. `notAsked`: the audit log's
// word for a request that ended before the user could answer it (see Unanswered); the agent is
// told the same, or "busy" where asking later may reach the user (AgentError::unanswered), with a
// sentence saying why.
enum class ApprovalDecision { approvedByUser, approvedBySetting, denied, timedOut, withdrawn, notAsked };

// "approved", "approved-by-setting", "denied", "timed-out", "withdrawn", "not-asked"
QString toString(ApprovalDecision decision);
std::optional<ApprovalDecision> approvalDecisionFromString(const QString &raw);
// True for the two approved cases only.
bool allows(ApprovalDecision decision);

// Why a request ended before the user could answer it. The agent is told which, rather than
// that nobody answered in time.
enum class Unanswered {
    noDesktop, // no display to show the question on
    busy, // this process already has as many questions waiting as it may
    closed, // the dialog went away without an answer: killed, crashed, its display gone
    notShown, // the display took the dialog but never put it on screen
    lockUnsafe, // the lock that keeps questions one at a time could not be taken safely
    turnNeverCame, // other questions held the screen for as long as this one may wait
    dialogStopped, // the dialog's process was stopped before its window came on screen
};

// Decides change requests. Blocks until there is a decision and never throws; a stop request
// ends the wait as withdrawn.
class AgentApprover {
public:
    virtual ~AgentApprover() = default;
    virtual ApprovalDecision decide(const ChangeRequest &request, std::stop_token stop) = 0;
    // Why the last request decide() reported timed out never reached the user; nullopt when it
    // was on screen and nobody answered in time.
    virtual std::optional<Unanswered> unanswered() const { return std::nullopt; }
    // What, in particular, stood in the way (the lock's problem); empty when nothing more
    // than the reason is known.
    virtual QString unansweredDetail() const { return {}; }
};

// Milliseconds on a steady clock. Tests give their own, so they decide when a limit runs out.
using SteadyClock = std::function<qint64()>;

// The window that puts an approval question on the user's screen. It is a widget, so it lives
// with the user interface; the decision rules stay here.
class ApprovalPrompt {
public:
    struct Alert {
        QString messageText;
        QString informativeText;
        QStringList buttons; // the first at the right-hand end, each next one to the left of it
        int defaultButton = 0; // the button Return chooses

        friend bool operator==(const Alert &, const Alert &) = default;

        // One line of compact JSON, the form a dialog process reads; nullopt for anything else.
        QByteArray toJson() const;
        static std::optional<Alert> fromJson(const QByteArray &json);
        // The longest toJson() of a question whose values keep within the command table's bounds.
        static qsizetype longestJson();
    };

    // What `answered` gets when there is no display to show the alert on, when the window went
    // away without an answer (its process killed or crashed, its display gone), and when the
    // display took the window but did not answer in time.
    static constexpr int unavailable = -2;
    static constexpr int closedUnanswered = -3;
    static constexpr int notShown = -4;

    virtual ~ApprovalPrompt() = default;
    // Whether a window could be shown at all now (a display is there to show it on). A question
    // that never could be shown is answered at once instead of waiting for its turn.
    virtual bool available() { return true; }
    // Whether the window's process is held stopped (a job-control stop, a debugger), so a window
    // that did not come on screen in time is not the display's doing.
    virtual bool stopped() const { return false; }
    // Shows the alert in front of other windows and returns at once. `shown` is called once the
    // window is on screen. `answered` is called with the index of the chosen button, -1 when the
    // window was closed in any other way, `unavailable`, `closedUnanswered` or `notShown`. Both
    // may be called from any thread, before show() returns, and more than once (only the first
    // call counts).
    // show() and dismiss() are called on the thread that runs decide().
    virtual void show(const Alert &alert, std::function<void(int)> answered, std::function<void()> shown) = 0;
    // Takes the alert off the screen unanswered (time-out or stop).
    virtual void dismiss() = 0;
};

// Asks the user whether an agent's change may go ahead. One question is on the screen at a time,
// across every process of the user: a question waits its turn (this process's in arrival order,
// then a name in the abstract socket namespace that other processes bind too) for at most its
// time-out, and its time-out starts again once the dialog is on screen. A lock that cannot be
// taken safely (held by another user's process, no socket to be had) refuses the question. Without a
// prompt or a display (no desktop session to show one on) nobody can answer, so every request is
// reported unanswered at once: nothing is ever approved by default.
class DialogApprover : public AgentApprover {
public:
    static constexpr double defaultTimeout = 300;
    // Questions of one process that may wait or be on screen at once; one more is refused at
    // once. The MCP server runs as many waiting calls beside its working ones.
    static constexpr int maxQuestions = 8;
    // How long, in seconds, a display may take to put the dialog on screen.
    static constexpr double defaultShowLimit = 10;

    // `timeout` in seconds; a negative or non-finite value counts as 0 and very long ones are
    // capped, so the wait always ends. `lockName` is the abstract socket name every process binds
    // while its question is on screen; empty: questionLockName(). `showLimit`: the seconds a display has to
    // put the dialog on screen. `clock`: the one the limits are measured on; empty: the system's.
    explicit DialogApprover(double timeout = defaultTimeout, std::shared_ptr<ApprovalPrompt> prompt = nullptr,
        QString lockName = {}, double showLimit = defaultShowLimit, SteadyClock clock = {});

    double timeout() const { return m_timeout; }
    // defaultTimeout as the texts that promise it say it: "5 minutes", or in running prose
    // "five minutes".
    static QString defaultTimeoutText(bool inWords = false);
    // The alert decide() shows: the title, then the details and the closing sentence with the
    // time-out in whole minutes; "Deny" (the default) and "Allow".
    ApprovalPrompt::Alert alert(const ChangeRequest &request) const;

    // Waits for its turn and then for the answer in a local event loop, so the calling thread
    // keeps serving its events (the prompt's own, on the main thread) meanwhile.
    ApprovalDecision decide(const ChangeRequest &request, std::stop_token stop = {}) override;
    std::optional<Unanswered> unanswered() const override { return m_unanswered; }
    QString unansweredDetail() const override { return m_unansweredDetail; }

    // "vellmir-approval-<uid>-<key>": one per user and configuration, the key a digest of the data
    // folder (AppPaths::dataDirectory(), its links resolved) whose configuration the questions
    // change. Every question that could change one configuration takes its turn with the others,
    // from whichever process; a process pointed at another data folder (a test's private home)
    // asks about another configuration.
    static QString questionLockName();
    // For the dialog's process: a connection to the question lock when the question that holds it
    // is its parent's, the approver that started it; else -1. A dialog started by hand (a
    // look-alike laid over the real question) has no such parent, and a process that held the lock
    // itself to start one would keep every real question off the screen meanwhile. The connection
    // breaks once the question lets go of the lock.
    static int connectToParentsQuestion();
    // The questions of this process waiting or on screen now.
    static int questionsInProcess();

private:
    ApprovalDecision leftUnanswered(const ChangeRequest &request, Unanswered why, const QString &detail = {});
    // The decision for what the prompt answered: a button, or why nobody could answer.
    ApprovalDecision answered(const ChangeRequest &request, int button);

    double m_timeout;
    double m_showLimit;
    std::shared_ptr<ApprovalPrompt> m_prompt;
    QString m_lockName;
    SteadyClock m_clock;
    std::optional<Unanswered> m_unanswered;
    QString m_unansweredDetail;
};

// Shows each alert from a short-lived process of its own: `program` (the application's own
// executable in its dialog mode) reads the alert as one JSON line on standard input, writes
// "shown" on standard output once its window is on screen, then the chosen button's index. It
// ends with `noDisplayStatus` when no display answered, and `stalledStatus` when the display
// took the connection but did not answer. So the agent's process never connects to a
// display: a display that does not answer, or goes away, ends the dialog's process and leaves
// the request unanswered, while the agent's process and its other calls go on. The dialog shows
// its question only while this process holds the question lock (connectToParentsQuestion), so a
// look-alike started by hand shows nothing. Nothing secret goes to that process; it gets what
// dialogEnvironment() keeps of the agent's environment with the graphical session's display
// located. show() and dismiss() run on the thread that waits for the answer, in its event loop.
class ProcessPrompt final : public ApprovalPrompt {
public:
    static constexpr int noDisplayStatus = 3;
    static constexpr int stalledStatus = 4;

    // `environment` defaults to the process's own with the desktop session's display located
    // (DesktopSession::located over the session bus).
    ProcessPrompt(QString program, QStringList arguments, std::function<QProcessEnvironment()> environment = {});
    ~ProcessPrompt() override;

    // Whether the environment names a display that can be there.
    bool available() override;
    bool stopped() const override;
    void show(const Alert &alert, std::function<void(int)> answered, std::function<void()> shown) override;
    // Ends the dialog's process, if it still runs, and waits for it.
    void dismiss() override;

    // The dialog's environment, built from the agent's: only where the display is and how to reach
    // it, the session bus, the locale, and the home and data folder the question lock is named
    // after. What the agent's environment says about themes, styles, fonts and scale stays
    // behind, so the question looks the same whoever asks.
    static QProcessEnvironment dialogEnvironment(const QProcessEnvironment &agent);

private:
    QString m_program;
    QStringList m_arguments;
    std::function<QProcessEnvironment()> m_environment;
    struct Dialog;
    std::unique_ptr<Dialog> m_dialog;
};

} // namespace vellmir
