#include "agent/AgentApproval.h"
#include "TestSupport.h"

#include <QLocalServer>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vellmir;

namespace {
// Stands in for the window: comes on screen and answers as scripted, or never.
class ScriptedPrompt : public ApprovalPrompt {
public:
    enum class Mode { immediately, later, otherThread, never, onDismiss, neverOnScreen, onScreenLate };
    Mode mode = Mode::immediately;
    int button = 1;
    bool display = true;
    std::atomic<int> shown = 0;
    std::atomic<int> dismissed = 0;
    Alert lastAlert;
    std::function<void(int)> pending;
    std::thread worker;

    ~ScriptedPrompt() override
    {
        if (worker.joinable())
            worker.join();
    }

    bool available() override { return display; }
    void show(const Alert &alert, std::function<void(int)> answered, std::function<void()> onScreen) override
    {
        ++shown;
        lastAlert = alert;
        if (mode != Mode::neverOnScreen && mode != Mode::onScreenLate)
            onScreen();
        switch (mode) {
        case Mode::immediately:
            answered(button);
            break;
        case Mode::later:
            QTimer::singleShot(10, [answered, this] { answered(button); });
            break;
        case Mode::otherThread:
            worker = std::thread([answered, this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                answered(button);
            });
            break;
        case Mode::onScreenLate:
            QTimer::singleShot(300, onScreen);
            break;
        case Mode::never:
        case Mode::onDismiss:
        case Mode::neverOnScreen:
            pending = std::move(answered);
            break;
        }
    }
    void dismiss() override
    {
        ++dismissed;
        // A real window reports its closing like any other answer.
        if (mode == Mode::onDismiss && pending)
            pending(-1);
    }
};

// Every test has a lock of its own: tests of other processes may show questions meanwhile.
QString lockName()
{
    return QStringLiteral("vellmir-test-approval-%1").arg(QCoreApplication::applicationPid());
}

// Holds the question lock `name` as another process's question would; -1 when it cannot.
int holdLock(const QString &name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = name.toUtf8();
    std::memcpy(address.sun_path + 1, bytes.constData(), static_cast<size_t>(bytes.size()));
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + bytes.size());
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

ChangeRequest request(QStringList details = { QStringLiteral("Local disk: /r") })
{
    return ChangeRequest { QStringLiteral("remove-destination"), QStringLiteral("Remove “Home”?"), std::move(details) };
}
} // namespace

class AgentApprovalTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decisionRawValues_data()
    {
        QTest::addColumn<int>("decision");
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("user") << int(ApprovalDecision::approvedByUser) << "approved" << true;
        QTest::newRow("setting") << int(ApprovalDecision::approvedBySetting) << "approved-by-setting" << true;
        QTest::newRow("denied") << int(ApprovalDecision::denied) << "denied" << false;
        QTest::newRow("timed out") << int(ApprovalDecision::timedOut) << "timed-out" << false;
        QTest::newRow("withdrawn") << int(ApprovalDecision::withdrawn) << "withdrawn" << false;
        QTest::newRow("not asked") << int(ApprovalDecision::notAsked) << "not-asked" << false;
    }

    void decisionRawValues()
    {
        QFETCH(int, decision);
        QFETCH(QString, raw);
        QFETCH(bool, allowed);
        const auto value = static_cast<ApprovalDecision>(decision);
        QCOMPARE(toString(value), raw);
        QVERIFY(approvalDecisionFromString(raw) == value);
        QCOMPARE(allows(value), allowed);
    }

    void unknownRawValuesGiveNoDecision()
    {
        for (const char *raw : { "Approved", "approvedByUser", "", " denied", "timedOut" })
            QVERIFY2(!approvalDecisionFromString(QString::fromUtf8(raw)), raw);
    }

    void alertText_data()
    {
        QTest::addColumn<double>("timeout");
        QTest::addColumn<QStringList>("details");
        QTest::addColumn<QString>("informative");
        const QString tail = "\n\nRequested by an agent through the vellmir command. Unanswered requests are denied "
                             "after %1 minutes.";
        QTest::newRow("300 s") << 300.0 << QStringList { "a" } << "a" + tail.arg(5);
        QTest::newRow("90 s rounds down") << 90.0 << QStringList { "a" } << "a" + tail.arg(1);
        test::dataRow("three lines", 300.0, QStringList { "one", "two", "three" }, "one\ntwo\nthree" + tail.arg(5));
        test::dataRow("a line break inside a detail", 300.0, QStringList { "Folder: /a\nb", "Host: c\u2028d" },
            "Folder: /a⟨U+000A⟩b\nHost: c⟨U+2028⟩d" + tail.arg(5));
        // Written out, never applied: nothing reorders the line or passes for another text.
        test::dataRow("invisible and bidirectional characters", 300.0,
            QStringList { "Snapshot from lap\u202Etop", "Back up: ~/Docu\u200Bments",
                "Back up: ~/" + QString(QChar(0xDCE9)) + "\u0301x\u00E9", "Stop backing up: ~/Docu\uFFFCments",
                "Host: work\u2800\u3164\u00A0laptop\uE000" },
            "Snapshot from lap⟨U+202E⟩top\nBack up: ~/Docu⟨U+200B⟩ments\nBack up: ~/\\xE9⟨U+0301⟩x\u00E9\n"
            "Stop backing up: ~/Docu⟨U+FFFC⟩ments\nHost: work⟨U+2800⟩⟨U+3164⟩⟨U+00A0⟩laptop⟨U+E000⟩"
                + tail.arg(5));
        // A few marks on a letter are writing; more climb out of the line and over the lines around.
        test::dataRow("marks piled on a character", 300.0,
            QStringList { "Back up: ~/Vie\u0323\u0302t", "Back up: ~/\u2588" + QString(5, QChar(0x033F)) + "x" },
            "Back up: ~/Vie\u0323\u0302t\nBack up: ~/\u2588"
                + QString(5, QChar(0x033F)).replace(QChar(0x033F), "⟨U+033F⟩") + "x" + tail.arg(5));
        // The isolates around values stay, so "old → new" reads so whatever the values' direction;
        // one that pairs with nothing is written out.
        test::dataRow("isolated values", 300.0,
            QStringList { "Name: \u2068\u05D1\u05D9\u05EA\u2069 → \u2068\u05E2\u05D1\u05D5\u05D3\u05D4\u2069",
                "Back up: \u2069~/a\u2068" },
            "Name: \u2068\u05D1\u05D9\u05EA\u2069 → \u2068\u05E2\u05D1\u05D5\u05D3\u05D4\u2069\n"
            "Back up: ⟨U+2069⟩~/a⟨U+2068⟩"
                + tail.arg(5));
        QTest::newRow("no details") << 300.0 << QStringList {} << tail.arg(5);
        QTest::newRow("negative counts as 0") << -5.0 << QStringList { "a" } << "a" + tail.arg(0);
        QTest::newRow("NaN counts as 0") << std::nan("") << QStringList { "a" } << "a" + tail.arg(0);
    }

    void alertText()
    {
        QFETCH(double, timeout);
        QFETCH(QStringList, details);
        QFETCH(QString, informative);
        const DialogApprover approver(timeout);
        const ApprovalPrompt::Alert alert = approver.alert(request(details));
        QCOMPARE(alert.messageText, QStringLiteral("Remove “Home”?"));
        QCOMPARE(alert.informativeText, informative);
        QCOMPARE(alert.buttons, QStringList({ "Deny", "Allow" }));
        QCOMPARE(alert.defaultButton, 0);
    }

    void answers_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("decision");
        QTest::addColumn<int>("why"); // Unanswered, -1: none
        using M = ScriptedPrompt::Mode;
        QTest::newRow("allow") << int(M::immediately) << 1 << int(ApprovalDecision::approvedByUser) << -1;
        QTest::newRow("deny (Return)") << int(M::immediately) << 0 << int(ApprovalDecision::denied) << -1;
        QTest::newRow("closed") << int(M::immediately) << -1 << int(ApprovalDecision::denied) << -1;
        QTest::newRow("allow later") << int(M::later) << 1 << int(ApprovalDecision::approvedByUser) << -1;
        QTest::newRow("deny later") << int(M::later) << 0 << int(ApprovalDecision::denied) << -1;
        test::dataRow("allow from another thread", int(M::otherThread), 1, int(ApprovalDecision::approvedByUser), -1);
        test::dataRow("nobody to show it to", int(M::immediately), ApprovalPrompt::unavailable,
            int(ApprovalDecision::timedOut), int(Unanswered::noDesktop));
        test::dataRow("gone without an answer", int(M::immediately), ApprovalPrompt::closedUnanswered,
            int(ApprovalDecision::timedOut), int(Unanswered::closed));
    }

    void answers()
    {
        QFETCH(int, mode);
        QFETCH(int, button);
        QFETCH(int, decision);
        QFETCH(int, why);
        auto prompt = std::make_shared<ScriptedPrompt>();
        prompt->mode = static_cast<ScriptedPrompt::Mode>(mode);
        prompt->button = button;
        // The display's limit has run out by the time the answer comes: a dialog that came on
        // screen keeps its whole time-out all the same. The clock stands still, so no limit
        // other than that one runs out.
        DialogApprover approver(300, prompt, lockName(), 0, [] { return qint64(1000); });
        QVERIFY(approver.decide(request()) == static_cast<ApprovalDecision>(decision));
        QCOMPARE(prompt->shown, 1);
        QCOMPARE(prompt->dismissed, 0);
        QCOMPARE(prompt->lastAlert.messageText, QStringLiteral("Remove “Home”?"));
        // The agent is told why nobody could answer, not that nobody answered in time; the next
        // request tries again.
        QVERIFY(approver.unanswered() == (why < 0 ? std::nullopt : std::optional(static_cast<Unanswered>(why))));
        if (why >= 0) {
            prompt->button = 0;
            QVERIFY(approver.decide(request()) == ApprovalDecision::denied);
            QVERIFY(!approver.unanswered());
        }
    }

    // The dialog's own process: what it answers, and that it never outlives the question.
    void promptProcess_data()
    {
        QTest::addColumn<QString>("script"); // the dialog process; $1 is a file it may write, $2 the application
        QTest::addColumn<bool>("desktop"); // a display that takes connections, or none
        QTest::addColumn<bool>("stop");
        QTest::addColumn<int>("decision");
        QTest::addColumn<int>("why"); // Unanswered, -1: none
        const QString echoInput = QStringLiteral("head -n 1 > \"$1.alert\"; ");
        const QString sleeping = QStringLiteral("echo $$ > \"$1.pid\"; exec sleep 30");
        const int allowed = int(ApprovalDecision::approvedByUser);
        const int timedOut = int(ApprovalDecision::timedOut);
        QTest::newRow("allow") << echoInput + "echo shown; echo 1" << true << false << allowed << -1;
        QTest::newRow("display gone") << echoInput + "echo shown; exit 1" << true << false << timedOut
                                      << int(Unanswered::closed);
        QTest::newRow("killed") << echoInput + "echo shown; kill -9 $$" << true << false << timedOut
                                << int(Unanswered::closed);
        test::dataRow("no display", echoInput + "echo 1", false, false, timedOut, int(Unanswered::noDesktop));
        test::dataRow("no display answered", echoInput + "exit 3", true, false, timedOut, int(Unanswered::noDesktop));
        QTest::newRow("never on screen") << sleeping << true << false << timedOut << int(Unanswered::notShown);
        // Not the display's doing: the dialog's process was held.
        test::dataRow("stopped before it was shown", "echo $$ > \"$1.pid\"; kill -STOP $$", true, false, timedOut,
            int(Unanswered::dialogStopped));
        test::dataRow("display stalled", echoInput + "exit 4", true, false, timedOut, int(Unanswered::notShown));
        QTest::newRow("unanswered") << "echo shown; " + sleeping << true << false << timedOut << -1;
        QTest::newRow("withdrawn") << "echo shown; " + sleeping << true << true << int(ApprovalDecision::withdrawn)
                                   << -1;
        // The application's own dialog shows the question it was started for; one started by
        // hand, not by the process that holds the question lock, shows nothing.
        test::dataRow("the application's dialog", "exec \"$2\" --approval-dialog", true, false, timedOut, -1);
        test::dataRow(
            "a dialog started by hand", "\"$2\" --approval-dialog", true, false, timedOut, int(Unanswered::closed));
        // What the agent's environment says about themes, styles and scale never reaches the dialog.
        test::dataRow("the agent's look stays behind",
            echoInput + "echo shown; [ -z \"$XDG_CURRENT_DESKTOP$QT_STYLE_OVERRIDE$QT_SCALE_FACTOR\" ] && echo 1", true,
            false, allowed, -1);
        // A data folder whose name is not UTF-8 reaches the dialog as its own bytes.
        test::dataRow("the data folder's bytes",
            echoInput + "echo shown; [ \"$XDG_DATA_HOME\" = \"$(printf '%s/data-\\377' \"${1%/dialog}\")\" ] && echo 1",
            true, false, allowed, -1);
    }

    void promptProcess()
    {
        QFETCH(QString, script);
        QFETCH(bool, desktop);
        QFETCH(bool, stop);
        QFETCH(int, decision);
        QFETCH(int, why);
        QTemporaryDir dir;
        const QString base = dir.filePath(QStringLiteral("dialog"));
        // The dialog looks for the lock named after the data folder its environment names, so that
        // name must reach it byte for byte.
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        const bool hadDataHome = qEnvironmentVariableIsSet("XDG_DATA_HOME");
        const auto restoreDataHome = qScopeGuard([&] {
            if (hadDataHome)
                qputenv("XDG_DATA_HOME", dataHome);
            else
                qunsetenv("XDG_DATA_HOME");
        });
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()) + "/data-\xff");
        QLocalServer display;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
        environment.insert(QStringLiteral("QT_STYLE_OVERRIDE"), QStringLiteral("Windows"));
        environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("3"));
        if (desktop) {
            QVERIFY(display.listen(dir.filePath(QStringLiteral("wayland-0"))));
            environment.insert(QStringLiteral("WAYLAND_DISPLAY"), display.fullServerName());
        }
        auto prompt = std::make_shared<ProcessPrompt>(QStringLiteral("/bin/sh"),
            QStringList { QStringLiteral("-c"), script, QStringLiteral("sh"), base, QStringLiteral(VELLMIR_APP) },
            [environment] { return environment; });
        // The application's dialog looks for its question under the user's own lock, and takes its
        // time to start. The user's own Vellmir asking about the configuration in another data folder
        // meanwhile keeps it waiting for nothing.
        const bool application = script.contains(QStringLiteral("$2"));
        QString othersLock;
        {
            const test::TestHome elsewhere;
            othersLock = DialogApprover::questionLockName();
        }
        const int othersQuestion = application ? holdLock(othersLock) : -1;
        DialogApprover approver(stop ? 300 : 1, prompt, application ? QString() : lockName(), application ? 10 : 1);
        std::stop_source source;
        if (stop)
            QTimer::singleShot(500, [&source] { source.request_stop(); });
        // On a thread of its own, as the command line and the MCP server ask.
        std::atomic<int> decided { -1 };
        std::jthread asking([&] { decided = static_cast<int>(approver.decide(request(), source.get_token())); });
        QTRY_VERIFY_WITH_TIMEOUT(decided.load() >= 0, 30000);
        asking.join();
        if (othersQuestion >= 0)
            ::close(othersQuestion);
        QCOMPARE(decided.load(), decision);
        QVERIFY(approver.unanswered() == (why < 0 ? std::nullopt : std::optional(static_cast<Unanswered>(why))));
        if (QFile::exists(base + QStringLiteral(".alert"))) {
            QFile alert(base + QStringLiteral(".alert"));
            QVERIFY(alert.open(QIODevice::ReadOnly));
            QVERIFY(ApprovalPrompt::Alert::fromJson(alert.readAll()) == approver.alert(request()));
        }
        // A question that ends unanswered takes its dialog away: no process is left behind.
        QFile pidFile(base + QStringLiteral(".pid"));
        if (pidFile.open(QIODevice::ReadOnly))
            QVERIFY(::kill(pidFile.readAll().trimmed().toInt(), 0) != 0);
    }

    void noAnswerTimesOut_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("why"); // Unanswered, -1: none
        using M = ScriptedPrompt::Mode;
        QTest::newRow("silent window") << int(M::never) << -1;
        QTest::newRow("window reports its closing") << int(M::onDismiss) << -1;
        QTest::newRow("never on screen") << int(M::neverOnScreen) << int(Unanswered::notShown);
        // The time-out counts from the moment the dialog is on screen.
        QTest::newRow("on screen late") << int(M::onScreenLate) << -1;
    }

    void noAnswerTimesOut()
    {
        QFETCH(int, mode);
        QFETCH(int, why);
        auto prompt = std::make_shared<ScriptedPrompt>();
        prompt->mode = static_cast<ScriptedPrompt::Mode>(mode);
        DialogApprover approver(0.2, prompt, lockName(), 0.5);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(approver.decide(request()) == ApprovalDecision::timedOut);
        QVERIFY(approver.unanswered() == (why < 0 ? std::nullopt : std::optional(static_cast<Unanswered>(why))));
        QVERIFY(clock.elapsed() >= (prompt->mode == ScriptedPrompt::Mode::onScreenLate ? 480 : 190));
        QCOMPARE(prompt->dismissed, 1);
        // A late click after the time-out changes nothing and does not crash.
        if (prompt->pending)
            prompt->pending(1);
    }

    // One question on screen at a time: those of this process wait in turn, a question of another
    // process holds the shared lock, and one more than the process may hold is refused at once.
    void questionsWaitTheirTurn()
    {
        const int held = holdLock(lockName());
        QVERIFY(held >= 0);
        std::vector<std::shared_ptr<ScriptedPrompt>> prompts;
        std::vector<std::stop_source> stops(DialogApprover::maxQuestions);
        std::vector<std::atomic<int>> decisions(DialogApprover::maxQuestions);
        std::vector<std::jthread> workers;
        const auto onScreen = [&prompts] {
            return std::count_if(prompts.begin(), prompts.end(), [](const auto &p) { return p->shown - p->dismissed; });
        };
        for (int i = 0; i < DialogApprover::maxQuestions; ++i) {
            prompts.push_back(std::make_shared<ScriptedPrompt>());
            prompts.back()->mode = ScriptedPrompt::Mode::never;
            decisions[i] = -1;
            workers.emplace_back([&, i, prompt = prompts.back()] {
                DialogApprover approver(300, prompt, lockName());
                decisions[i] = static_cast<int>(approver.decide(request(), stops[i].get_token()));
            });
        }
        QTRY_COMPARE(DialogApprover::questionsInProcess(), DialogApprover::maxQuestions);
        QTest::qWait(200);
        QCOMPARE(onScreen(), 0);
        DialogApprover refused(300, std::make_shared<ScriptedPrompt>(), lockName());
        QVERIFY(refused.decide(request()) == ApprovalDecision::timedOut);
        QVERIFY(refused.unanswered() == Unanswered::busy);
        // A question that can never be shown does not wait for its turn.
        auto headless = std::make_shared<ScriptedPrompt>();
        headless->display = false;
        DialogApprover nowhere(300, headless, lockName());
        QVERIFY(nowhere.decide(request()) == ApprovalDecision::timedOut);
        QVERIFY(nowhere.unanswered() == Unanswered::noDesktop);
        QCOMPARE(headless->shown, 0);

        ::close(held);
        for (int round = 0; round < DialogApprover::maxQuestions; ++round) {
            QTRY_COMPARE(onScreen(), 1);
            QTest::qWait(150);
            QCOMPARE(onScreen(), 1);
            const auto shown = std::find_if(
                prompts.begin(), prompts.end(), [](const auto &p) { return p->shown == 1 && !p->dismissed; });
            stops[shown - prompts.begin()].request_stop();
            QTRY_COMPARE(decisions[shown - prompts.begin()].load(), int(ApprovalDecision::withdrawn));
        }
        for (const auto &prompt : prompts)
            QCOMPARE(prompt->shown, 1);
        QCOMPARE(DialogApprover::questionsInProcess(), 0);
    }

    // A question waits for its turn no longer than it would wait for its answer.
    void turnThatNeverComesEndsTheWait()
    {
        const int held = holdLock(lockName());
        QVERIFY(held >= 0);
        auto prompt = std::make_shared<ScriptedPrompt>();
        DialogApprover approver(0.05, prompt, lockName());
        QVERIFY(approver.decide(request()) == ApprovalDecision::timedOut);
        ::close(held);
        QVERIFY(approver.unanswered() == Unanswered::turnNeverCame);
        QCOMPARE(prompt->shown, 0);
    }

    // A lock another user's process holds would keep every question waiting: the question is
    // refused at once, saying so.
    void lockOfAnotherUserRefusesTheQuestion()
    {
        // Debian's own Python: one in a folder of root's would be out of the other user's reach.
        const QString python = QStringLiteral("/usr/bin/python3");
        if (::getuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()
            || !QFileInfo(python).isExecutable())
            QSKIP("only root can be another user");
        const QString name = lockName() + QStringLiteral("-foreign");
        QProcess holder;
        holder.start(QStringLiteral("setpriv"),
            { QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                python, QStringLiteral("-c"),
                QStringLiteral("import socket, sys\ns = socket.socket(socket.AF_UNIX)\ns.bind('\\0' + sys.argv[1])\n"
                               "s.listen(8)\nprint('held', flush=True)\nsys.stdin.read()"),
                name });
        QVERIFY(holder.waitForReadyRead(10000));
        auto prompt = std::make_shared<ScriptedPrompt>();
        // Refused at once: a question that waited for the lock instead fails here, not at ctest's limit.
        DialogApprover approver(5, prompt, name);
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("question lock cannot be taken safely"));
        QVERIFY(approver.decide(request()) == ApprovalDecision::timedOut);
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(10000));
        QVERIFY(approver.unanswered() == Unanswered::lockUnsafe);
        QCOMPARE(approver.unansweredDetail(), QStringLiteral("@%1 is held by another user's process").arg(name));
        QCOMPARE(prompt->shown, 0);
    }

    void eachRequestGetsItsOwnDialog()
    {
        auto prompt = std::make_shared<ScriptedPrompt>();
        DialogApprover approver(300, prompt, lockName());
        prompt->button = 0;
        QVERIFY(approver.decide(request()) == ApprovalDecision::denied);
        prompt->button = 1;
        QVERIFY(approver.decide(request()) == ApprovalDecision::approvedByUser);
        QCOMPARE(prompt->shown, 2);
    }

    void stopEndsTheWaitAsWithdrawn()
    {
        auto prompt = std::make_shared<ScriptedPrompt>();
        prompt->mode = ScriptedPrompt::Mode::never;
        DialogApprover approver(300, prompt, lockName());
        std::stop_source source;
        QTimer::singleShot(10, [&source] { source.request_stop(); });
        QVERIFY(approver.decide(request(), source.get_token()) == ApprovalDecision::withdrawn);
        QCOMPARE(prompt->dismissed, 1);

        // Already stopped: nothing is shown.
        QVERIFY(approver.decide(request(), source.get_token()) == ApprovalDecision::withdrawn);
        QCOMPARE(prompt->shown, 1);
    }

    void withoutPromptNothingIsApproved()
    {
        DialogApprover approver(300);
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("no desktop session"));
        QVERIFY(approver.decide(request()) == ApprovalDecision::timedOut);
    }
};

QTEST_GUILESS_MAIN(AgentApprovalTest)
#include "AgentApprovalTest.moc"
