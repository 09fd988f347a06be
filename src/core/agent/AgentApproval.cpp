#include "agent/AgentApproval.h"

#include "platform/DesktopSession.h"
#include "platform/SessionBus.h"
#include "util/AppPaths.h"
#include "util/LineWriter.h"
#include "util/LocalPath.h"
#include "util/Log.h"
#include "util/Process.h"
#include "util/SystemError.h"
#include "util/TextRules.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vellmir {

namespace {
// QTimer counts in int milliseconds; the longest wait is kept well inside that.
constexpr double maximumTimeout = 7 * 24 * 3600;

const QString &rawText(ApprovalDecision decision)
{
    static const QString texts[]
        = { QStringLiteral("approved"), QStringLiteral("approved-by-setting"), QStringLiteral("denied"),
              QStringLiteral("timed-out"), QStringLiteral("withdrawn"), QStringLiteral("not-asked") };
    return texts[static_cast<int>(decision)];
}

// What reaches a waiting decide() from elsewhere: the prompt's callbacks and a stop request. They
// may come from any thread, and late, after decide() returned; they only leave word here and wake
// the loop decide() waits in, which reads the word on its own thread.
class Mailbox {
public:
    struct Word {
        std::optional<int> answer;
        bool shown = false;
        bool stopped = false;
    };

    void post(const std::function<void(Word &)> &change)
    {
        std::lock_guard guard(m_mutex);
        change(m_word);
        m_unread = true;
        if (m_loop)
            QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
    }
    Word read()
    {
        std::lock_guard guard(m_mutex);
        m_unread = false;
        return m_word;
    }
    // Serves the thread's events in `loop` until word comes or something else ends the loop. False
    // when the thread's loops cannot run any more (the application quits).
    bool wait(QEventLoop &loop)
    {
        {
            std::lock_guard guard(m_mutex);
            if (m_unread)
                return true;
            m_loop = &loop;
        }
        const bool ran = loop.exec() == 0;
        std::lock_guard guard(m_mutex);
        m_loop = nullptr;
        return ran;
    }

private:
    std::mutex m_mutex;
    Word m_word;
    bool m_unread = false;
    QEventLoop *m_loop = nullptr;
};

// The abstract socket address of the question lock `name`.
std::pair<sockaddr_un, socklen_t> lockAddress(const QByteArray &name)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const auto length = std::min(static_cast<size_t>(name.size()), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.constData(), length);
    return { address, static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length) };
}

// A connection to whoever holds the question lock `name`, or -1 when nobody does (or it cannot
// take one more). The holder listens without ever accepting: connecting only shows who it is.
int connectToLock(const QByteArray &name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const auto [address, length] = lockAddress(name);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

std::optional<ucred> peerOf(int fd)
{
    ucred peer {};
    socklen_t size = sizeof peer;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return std::nullopt;
    return peer;
}

// One approval question on the user's screen at a time. This process's questions queue in
// arrival order; the one at the front also binds a name in the abstract socket namespace that
// every other process binds while its question is shown. Unlike a file, nothing can take that
// name away from its holder, and it is let go when the process ends, however it ends. A question
// of another thread of this process binds a socket of its own, so it waits for it too.
class QuestionTurn {
public:
    explicit QuestionTurn(QByteArray lockName)
        : m_lockName(std::move(lockName))
    {
        std::lock_guard guard(queueMutex());
        if (queue().size() >= DialogApprover::maxQuestions)
            return;
        queue().push_back(this);
        m_joined = true;
    }
    ~QuestionTurn()
    {
        if (m_fd >= 0)
            ::close(m_fd); // lets go of the lock
        std::lock_guard guard(queueMutex());
        std::erase(queue(), this);
    }
    QuestionTurn(const QuestionTurn &) = delete;
    QuestionTurn &operator=(const QuestionTurn &) = delete;

    enum class Outcome { wait, taken, refused };

    bool joined() const { return m_joined; }
    bool taken() const { return m_fd >= 0; }
    // Why the lock was refused, for the agent and the log.
    const QString &problem() const { return m_problem; }
    static int count()
    {
        std::lock_guard guard(queueMutex());
        return static_cast<int>(queue().size());
    }
    // Whether this question may go on screen now (once taken, it stays so), or never may: a lock
    // held by another user's process would keep every question away, so it refuses instead.
    Outcome take()
    {
        if (taken())
            return Outcome::taken;
        if (!m_problem.isEmpty())
            return Outcome::refused;
        {
            std::lock_guard guard(queueMutex());
            if (queue().empty() || queue().front() != this)
                return Outcome::wait;
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const auto [address, length] = lockAddress(m_lockName);
        // The holder listens, so the dialog can tell the question is its parent's, and others
        // whose the lock is.
        if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0
            && ::listen(fd, SOMAXCONN) == 0) {
            m_fd = fd;
            return Outcome::taken;
        }
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        const QString name = QStringLiteral("@") + QString::fromUtf8(m_lockName);
        if (error != EADDRINUSE)
            m_problem = QStringLiteral("%1 cannot be bound: %2").arg(name, systemErrorText(error));
        else if (!std::exchange(m_holderSeen, true)) {
            const int holder = connectToLock(m_lockName);
            const std::optional<ucred> peer = peerOf(holder);
            if (holder >= 0)
                ::close(holder);
            if (peer && peer->uid != ::getuid())
                m_problem = QStringLiteral("%1 is held by another user's process").arg(name);
        }
        return m_problem.isEmpty() ? Outcome::wait : Outcome::refused;
    }

private:
    static std::mutex &queueMutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::deque<QuestionTurn *> &queue()
    {
        static std::deque<QuestionTurn *> waiting;
        return waiting;
    }

    QByteArray m_lockName;
    QString m_problem;
    bool m_joined = false;
    bool m_holderSeen = false;
    int m_fd = -1;
};

// `path` as bytes with the links of its deepest existing folder resolved, so that two spellings of
// one folder name one lock whether or not the rest of it exists yet.
QByteArray resolvedPath(const QString &path)
{
    QByteArray existing = LocalPath::encode(path);
    QByteArray rest;
    for (;;) {
        if (char *real = ::realpath(existing.constData(), nullptr)) {
            QByteArray resolved(real);
            std::free(real);
            if (resolved.endsWith('/') && !rest.isEmpty())
                resolved.chop(1);
            return resolved + rest;
        }
        const qsizetype slash = existing.lastIndexOf('/');
        if (slash < 0 || existing == "/")
            return LocalPath::encode(path);
        rest.prepend(existing.mid(slash));
        existing.truncate(std::max<qsizetype>(slash, 1));
    }
}

QString reasonText(Unanswered why)
{
    switch (why) {
    case Unanswered::noDesktop:
        return QStringLiteral("no desktop session to ask the user");
    case Unanswered::busy:
        return QStringLiteral("too many questions already wait for the user");
    case Unanswered::closed:
        return QStringLiteral("the dialog closed without an answer");
    case Unanswered::notShown:
        return QStringLiteral("the display did not show the dialog");
    case Unanswered::lockUnsafe:
        return QStringLiteral("the question lock cannot be taken safely");
    case Unanswered::turnNeverCame:
        return QStringLiteral("other questions held the screen for the whole time-out");
    case Unanswered::dialogStopped:
        return QStringLiteral("the dialog's process was stopped before it came on screen");
    }
    return {};
}

// The limits in whole milliseconds, as QTimer counts them.
int milliseconds(double seconds)
{
    return static_cast<int>(std::llround(seconds * 1000));
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
    for (ApprovalDecision decision :
        { ApprovalDecision::approvedByUser, ApprovalDecision::approvedBySetting, ApprovalDecision::denied,
            ApprovalDecision::timedOut, ApprovalDecision::withdrawn, ApprovalDecision::notAsked }) {
        if (raw == rawText(decision))
            return decision;
    }
    return std::nullopt;
}

bool allows(ApprovalDecision decision)
{
    return decision == ApprovalDecision::approvedByUser || decision == ApprovalDecision::approvedBySetting;
}

DialogApprover::DialogApprover(
    double timeout, std::shared_ptr<ApprovalPrompt> prompt, QString lockName, double showLimit, SteadyClock clock)
    : m_timeout(std::isfinite(timeout) && timeout > 0 ? std::min(timeout, maximumTimeout) : 0)
    , m_showLimit(std::isfinite(showLimit) && showLimit > 0 ? std::min(showLimit, maximumTimeout) : 0)
    , m_prompt(std::move(prompt))
    , m_lockName(lockName.isEmpty() ? questionLockName() : std::move(lockName))
    , m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
}

QString DialogApprover::defaultTimeoutText(bool inWords)
{
    constexpr int minutes = static_cast<int>(defaultTimeout) / 60;
    static_assert(minutes >= 1 && minutes <= 10 && minutes * 60 == defaultTimeout, "worded as whole minutes");
    static const char *const words[]
        = { "one", "two", "three", "four", "five", "six", "seven", "eight", "nine", "ten" };
    return (inWords ? QString::fromLatin1(words[minutes - 1]) : QString::number(minutes))
        + (minutes == 1 ? QStringLiteral(" minute") : QStringLiteral(" minutes"));
}

ApprovalPrompt::Alert DialogApprover::alert(const ChangeRequest &request) const
{
    const auto minutes = static_cast<qint64>(m_timeout / 60);
    ApprovalPrompt::Alert alert;
    // Each detail is the one line of the dialog it is, whatever a folder's or a host's name holds:
    // a line break would show a line of its own, and an invisible or bidirectional character
    // would make the line read as another. Only the isolates around the values stay.
    alert.messageText = TextRules::shown(request.title);
    QStringList lines;
    for (const QString &detail : request.details)
        lines.append(TextRules::shown(detail));
    alert.informativeText = lines.join(u'\n')
        + QStringLiteral("\n\nRequested by an agent through the vellmir command. Unanswered requests are denied after ")
        + QString::number(minutes) + QStringLiteral(" minutes.");
    alert.buttons = { QStringLiteral("Deny"), QStringLiteral("Allow") };
    alert.defaultButton = 0;
    return alert;
}

QString DialogApprover::questionLockName()
{
    const QByteArray digest
        = QCryptographicHash::hash(resolvedPath(AppPaths::dataDirectory()), QCryptographicHash::Sha256);
    return QStringLiteral("vellmir-approval-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest.toHex().left(16)));
}

int DialogApprover::connectToParentsQuestion()
{
    const int fd = connectToLock(questionLockName().toUtf8());
    const std::optional<ucred> holder = peerOf(fd);
    if (holder && holder->pid == ::getppid() && holder->uid == ::getuid())
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

int DialogApprover::questionsInProcess()
{
    return QuestionTurn::count();
}

ApprovalDecision DialogApprover::leftUnanswered(const ChangeRequest &request, Unanswered why, const QString &detail)
{
    m_unanswered = why;
    m_unansweredDetail = detail;
    logLine(QStringLiteral("approval"),
        QStringLiteral("%1%2, so the request \"%3\" is left unanswered.")
            .arg(reasonText(why), detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail), request.command));
    return ApprovalDecision::timedOut;
}

ApprovalDecision DialogApprover::decide(const ChangeRequest &request, std::stop_token stop)
{
    m_unanswered.reset();
    m_unansweredDetail.clear();
    if (!m_prompt || !QCoreApplication::instance())
        return leftUnanswered(request, Unanswered::noDesktop);
    if (stop.stop_requested())
        return ApprovalDecision::withdrawn;
    // Waiting behind other questions is pointless when this one can never be shown.
    if (!m_prompt->available())
        return leftUnanswered(request, Unanswered::noDesktop);
    QuestionTurn turn(m_lockName.toUtf8());
    if (!turn.joined())
        return leftUnanswered(request, Unanswered::busy);
    const auto mail = std::make_shared<Mailbox>();
    const std::stop_callback onStop(stop, [mail] { mail->post([](Mailbox::Word &word) { word.stopped = true; }); });
    // Made first: a thread of our own gets its event dispatcher with its first event loop, and the
    // prompt's process is watched on it.
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto wait = [&](qint64 ms) {
        limit.start(static_cast<int>(ms));
        return mail->wait(loop);
    };

    // The turn is waited for as long as the answer would be; other processes' questions are
    // looked for as they come and go.
    const qint64 answerMs = milliseconds(m_timeout);
    for (const qint64 end = m_clock() + answerMs;;) {
        const QuestionTurn::Outcome outcome = turn.take();
        if (outcome == QuestionTurn::Outcome::refused)
            return leftUnanswered(request, Unanswered::lockUnsafe, turn.problem());
        if (outcome == QuestionTurn::Outcome::taken)
            break;
        const qint64 left = end - m_clock();
        if (left <= 0)
            return leftUnanswered(request, Unanswered::turnNeverCame);
        if (!wait(std::min<qint64>(left, 100)) || mail->read().stopped)
            return stop.stop_requested() ? ApprovalDecision::withdrawn : ApprovalDecision::denied;
    }

    m_prompt->show(
        alert(request), [mail](int button) { mail->post([button](Mailbox::Word &word) { word.answer = button; }); },
        [mail] { mail->post([](Mailbox::Word &word) { word.shown = true; }); });
    // The display has its own limit to put the dialog on screen; the time-out counts from then.
    bool onScreen = false;
    for (qint64 end = m_clock() + milliseconds(m_showLimit);;) {
        const Mailbox::Word word = mail->read();
        if (word.answer)
            return answered(request, *word.answer);
        if (word.stopped)
            break;
        if (word.shown && !std::exchange(onScreen, true))
            end = m_clock() + answerMs;
        const qint64 left = end - m_clock();
        if (left <= 0 && !onScreen)
            return answered(request, ApprovalPrompt::notShown);
        if (left <= 0) {
            m_prompt->dismiss();
            return ApprovalDecision::timedOut;
        }
        if (!wait(left))
            break;
    }
    m_prompt->dismiss();
    return stop.stop_requested() ? ApprovalDecision::withdrawn : ApprovalDecision::denied;
}

ApprovalDecision DialogApprover::answered(const ChangeRequest &request, int button)
{
    switch (button) {
    case ApprovalPrompt::unavailable:
        return leftUnanswered(request, Unanswered::noDesktop);
    case ApprovalPrompt::closedUnanswered:
        return leftUnanswered(request, Unanswered::closed);
    case ApprovalPrompt::notShown: {
        const bool held = m_prompt->stopped();
        m_prompt->dismiss();
        return leftUnanswered(request, held ? Unanswered::dialogStopped : Unanswered::notShown);
    }
    default:
        return button == 1 ? ApprovalDecision::approvedByUser : ApprovalDecision::denied;
    }
}

// The dialog's process as this one sees it, watched on the thread that asked.
struct ProcessPrompt::Dialog {
    pid_t pid = -1;
    int output = -1; // its standard output: "shown", then the chosen button
    int exit = -1; // readable once it exited
    // Its standard input: the alert, then open until the question ends, which its end tells it.
    std::unique_ptr<LineWriter> input;
    int inputFd = -1;
    std::optional<QSocketNotifier> reading;
    std::optional<QSocketNotifier> ending;
    QByteArray partial; // a line not whole yet
    std::optional<int> answer;

    ~Dialog()
    {
        reading.reset();
        ending.reset();
        if (pid > 0) {
            // Not reaped yet, so the pid is still the dialog's own. Killed, it is gone at once;
            // one the system cannot end is not waited for beyond a few seconds.
            ::kill(pid, SIGKILL);
            pollfd gone { exit, POLLIN, 0 };
            if (exit < 0 || ::poll(&gone, 1, 5000) == 1)
                reapChild(pid);
        }
        input.reset();
        for (int fd : { output, exit, inputFd })
            if (fd >= 0)
                ::close(fd);
    }

    // Reads what the dialog wrote so far: "shown" goes out at once, the last button is kept.
    void readLines(const std::function<void()> &shown)
    {
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(output, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
            if (count > 0)
                partial.append(buffer, count);
        }
        if (count == 0 && reading)
            reading->setEnabled(false);
        qsizetype end;
        while ((end = partial.indexOf('\n')) >= 0) {
            const QByteArray line = partial.left(end).trimmed();
            partial.remove(0, end + 1);
            bool ok = false;
            const int button = line.toInt(&ok);
            if (line == "shown")
                shown();
            else if (ok && button >= -1)
                answer = button;
        }
        // The dialog writes two short lines; anything longer is not one of them.
        if (partial.size() > 4096)
            partial.clear();
    }
};

ProcessPrompt::ProcessPrompt(QString program, QStringList arguments, std::function<QProcessEnvironment()> environment)
    : m_program(std::move(program))
    , m_arguments(std::move(arguments))
    , m_environment(std::move(environment))
{
    if (!m_environment)
        m_environment = [] {
            return DesktopSession::located(QProcessEnvironment::systemEnvironment(),
                [] { return DesktopSession::managerEnvironment(SessionBus::connection()); });
        };
}

ProcessPrompt::~ProcessPrompt()
{
    dismiss();
}

bool ProcessPrompt::available()
{
    return DesktopSession::reachable(m_environment());
}

bool ProcessPrompt::stopped() const
{
    if (!m_dialog || m_dialog->pid <= 0)
        return false;
    // The state follows the command's name in parentheses, which may itself hold any byte.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_dialog->pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.read(4096);
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0 || close + 2 >= line.size())
        return false;
    const char state = line.at(close + 2);
    return state == 'T' || state == 't';
}

void ProcessPrompt::show(const Alert &alert, std::function<void(int)> answered, std::function<void()> shown)
{
    dismiss();
    const QProcessEnvironment environment = m_environment();
    if (!DesktopSession::reachable(environment)) {
        answered(unavailable);
        return;
    }
    int input[2] = { -1, -1 };
    int output[2] = { -1, -1 };
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        for (int fd : { input[0], input[1] })
            if (fd >= 0)
                ::close(fd);
        answered(closedUnanswered);
        return;
    }
    ::fcntl(output[0], F_SETFL, O_NONBLOCK); // this end only: the dialog writes as it always does
    ChildSetup setup;
    setup.program = LocalPath::encode(m_program);
    setup.arguments.append(setup.program);
    for (const QString &argument : std::as_const(m_arguments))
        setup.arguments.append(argument.toUtf8());
    // QProcessEnvironment gives its values as text only, which turns bytes that are not UTF-8 into
    // U+FFFD: a value this process holds itself goes over as its own bytes, so the dialog finds the
    // data folder (and the question lock named after it) this process asks about.
    const QProcessEnvironment kept = dialogEnvironment(environment);
    for (const QString &name : kept.keys()) {
        const QByteArray key = name.toLocal8Bit();
        const QString value = kept.value(name);
        const QByteArray own = qgetenv(key.constData());
        const bool same = qEnvironmentVariableIsSet(key.constData()) && QString::fromLocal8Bit(own) == value;
        setup.environment.append(key + '=' + (same ? own : value.toLocal8Bit()));
    }
    // Its errors go where this process's go.
    setup.descriptors = { input[0], output[1], STDERR_FILENO };
    pid_t pid = -1;
    const int error = startChild(setup, &pid);
    ::close(input[0]);
    ::close(output[1]);
    auto dialog = std::make_unique<Dialog>();
    dialog->inputFd = input[1];
    dialog->output = output[0];
    if (error != 0) {
        logLine(QStringLiteral("approval"),
            QStringLiteral("could not start the dialog %1: %2").arg(m_program, systemErrorText(error)));
        answered(closedUnanswered);
        return;
    }
    dialog->pid = pid;
    dialog->exit = childExit(pid);
    dialog->input = std::make_unique<LineWriter>(input[1]);
    dialog->input->write(alert.toJson() + '\n');
    Dialog *watched = dialog.get();
    dialog->reading.emplace(watched->output, QSocketNotifier::Read);
    QObject::connect(&*dialog->reading, &QSocketNotifier::activated, &*dialog->reading,
        [watched, shown] { watched->readLines(shown); });
    // The answer counts once the window is gone. Whatever ends the process without one (a crash,
    // a kill, the display gone) leaves the request unanswered.
    const auto finished = [watched, answered, shown] {
        watched->ending->setEnabled(false);
        watched->readLines(shown);
        const int status = reapChild(std::exchange(watched->pid, -1));
        const bool exited = status >= 0 && WIFEXITED(status);
        if (watched->answer)
            answered(*watched->answer);
        else if (exited && WEXITSTATUS(status) == noDisplayStatus)
            answered(unavailable);
        else if (exited && WEXITSTATUS(status) == stalledStatus)
            answered(notShown);
        else
            answered(closedUnanswered);
    };
    if (dialog->exit >= 0) {
        dialog->ending.emplace(watched->exit, QSocketNotifier::Read);
        QObject::connect(&*dialog->ending, &QSocketNotifier::activated, &*dialog->ending, finished);
    }
    m_dialog = std::move(dialog);
}

QProcessEnvironment ProcessPrompt::dialogEnvironment(const QProcessEnvironment &agent)
{
    // QT_QPA_PLATFORM chooses among the display systems a session offers (X through XWayland on a
    // Wayland desktop); the locale keeps Qt from falling back to another encoding. Everything else
    // Qt, GTK or a desktop reads for a look (XDG_CURRENT_DESKTOP, QT_STYLE_OVERRIDE,
    // QT_QPA_PLATFORMTHEME, QT_SCALE_FACTOR, GDK_SCALE, FONTCONFIG_FILE, ...) is left out.
    static const QStringList kept = DesktopSession::variables()
        + QStringList { QStringLiteral("XDG_RUNTIME_DIR"), QStringLiteral("QT_QPA_PLATFORM"),
              QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("HOME"), QStringLiteral("XDG_DATA_HOME"),
              QStringLiteral("LANG"), QStringLiteral("LC_ALL"), QStringLiteral("LC_CTYPE") };
    QProcessEnvironment environment = agent;
    for (const QString &name : agent.keys())
        if (!kept.contains(name))
            environment.remove(name);
    return environment;
}

void ProcessPrompt::dismiss()
{
    // Taken away unanswered: no answer is reported.
    m_dialog.reset();
}

} // namespace vellmir
