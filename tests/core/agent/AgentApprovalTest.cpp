#include "agent/AgentApproval.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cmath>
#include <csignal>
#include <thread>

using namespace vellmir;

namespace {
// Stands in for the window: answers as scripted, or never.
class ScriptedPrompt : public ApprovalPrompt {
public:
    enum class Mode { immediately, later, otherThread, never, onDismiss };
    Mode mode = Mode::immediately;
    int button = 1;
    int shown = 0;
    int dismissed = 0;
    Alert lastAlert;
    std::function<void(int)> pending;
    std::thread worker;

    ~ScriptedPrompt() override
    {
        if (worker.joinable())
            worker.join();
    }

    void show(const Alert &alert, std::function<void(int)> answered) override
    {
        ++shown;
        lastAlert = alert;
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
        case Mode::never:
        case Mode::onDismiss:
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
        QTest::newRow("three lines") << 300.0 << QStringList { "one", "two", "three" }
                                     << "one\ntwo\nthree" + tail.arg(5);
        QTest::newRow("a line break inside a detail") << 300.0 << QStringList { "Folder: /a\nb", "Host: c\u2028d" }
                                                      << "Folder: /a⟨U+000A⟩b\nHost: c⟨U+2028⟩d" + tail.arg(5);
        // Written out, never applied: nothing reorders the line or passes for another text.
        QTest::newRow("invisible and bidirectional characters")
            << 300.0
            << QStringList { "Snapshot from lap\u202Etop", "Back up: ~/Docu\u200Bments",
                   "Back up: ~/" + QString(QChar(0xDCE9)) + "\u0301x\u00E9" }
            << "Snapshot from lap⟨U+202E⟩top\nBack up: ~/Docu⟨U+200B⟩ments\nBack up: ~/⟨U+DCE9⟩⟨U+0301⟩x\u00E9"
                + tail.arg(5);
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
        using M = ScriptedPrompt::Mode;
        QTest::newRow("allow") << int(M::immediately) << 1 << int(ApprovalDecision::approvedByUser);
        QTest::newRow("deny (Return)") << int(M::immediately) << 0 << int(ApprovalDecision::denied);
        QTest::newRow("closed") << int(M::immediately) << -1 << int(ApprovalDecision::denied);
        QTest::newRow("allow later") << int(M::later) << 1 << int(ApprovalDecision::approvedByUser);
        QTest::newRow("deny later") << int(M::later) << 0 << int(ApprovalDecision::denied);
        QTest::newRow("allow from another thread") << int(M::otherThread) << 1 << int(ApprovalDecision::approvedByUser);
        QTest::newRow("nobody to show it to")
            << int(M::immediately) << ApprovalPrompt::unavailable << int(ApprovalDecision::timedOut);
    }

    void answers()
    {
        QFETCH(int, mode);
        QFETCH(int, button);
        QFETCH(int, decision);
        auto prompt = std::make_shared<ScriptedPrompt>();
        prompt->mode = static_cast<ScriptedPrompt::Mode>(mode);
        prompt->button = button;
        DialogApprover approver(300, prompt);
        QVERIFY(approver.decide(request()) == static_cast<ApprovalDecision>(decision));
        QCOMPARE(prompt->shown, 1);
        QCOMPARE(prompt->dismissed, 0);
        QCOMPARE(prompt->lastAlert.messageText, QStringLiteral("Remove “Home”?"));
        // The agent is told no dialog could be shown, not that nobody answered in time; the next
        // request tries again.
        QCOMPARE(approver.canAsk(), button != ApprovalPrompt::unavailable);
        if (button == ApprovalPrompt::unavailable) {
            prompt->button = 0;
            QVERIFY(approver.decide(request()) == ApprovalDecision::denied);
        }
    }

    // The dialog's own process: what it answers, and that it never outlives the question.
    void promptProcess_data()
    {
        QTest::addColumn<QString>("script"); // the dialog process; $1 is a file it may write
        QTest::addColumn<QString>("display");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<int>("decision");
        QTest::addColumn<bool>("canAsk");
        const QString echoInput = QStringLiteral("head -n 1 > \"$1.alert\"; ");
        QTest::newRow("allow") << echoInput + "echo 1"
                               << "remote:0" << false << int(ApprovalDecision::approvedByUser) << true;
        QTest::newRow("display gone") << echoInput + "exit 1"
                                      << "remote:0" << false << int(ApprovalDecision::timedOut) << false;
        QTest::newRow("no display") << echoInput + "echo 1"
                                    << "" << false << int(ApprovalDecision::timedOut) << false;
        QTest::newRow("unanswered") << "echo $$ > \"$1.pid\"; exec sleep 30"
                                    << "remote:0" << false << int(ApprovalDecision::timedOut) << true;
        QTest::newRow("withdrawn") << "echo $$ > \"$1.pid\"; exec sleep 30"
                                   << "remote:0" << true << int(ApprovalDecision::withdrawn) << true;
    }

    void promptProcess()
    {
        QFETCH(QString, script);
        QFETCH(QString, display);
        QFETCH(bool, stop);
        QFETCH(int, decision);
        QFETCH(bool, canAsk);
        QTemporaryDir dir;
        const QString base = dir.filePath(QStringLiteral("dialog"));
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
        if (!display.isEmpty())
            environment.insert(QStringLiteral("DISPLAY"), display);
        auto prompt = std::make_shared<ProcessPrompt>(QStringLiteral("/bin/sh"),
            QStringList { QStringLiteral("-c"), script, QStringLiteral("sh"), base },
            [environment] { return environment; });
        DialogApprover approver(stop ? 300 : 1, prompt);
        std::stop_source source;
        if (stop)
            QTimer::singleShot(500, [&source] { source.request_stop(); });
        QVERIFY(approver.decide(request(), source.get_token()) == static_cast<ApprovalDecision>(decision));
        QCOMPARE(approver.canAsk(), canAsk);
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
        QTest::newRow("silent window") << int(ScriptedPrompt::Mode::never);
        QTest::newRow("window reports its closing") << int(ScriptedPrompt::Mode::onDismiss);
    }

    void noAnswerTimesOut()
    {
        QFETCH(int, mode);
        auto prompt = std::make_shared<ScriptedPrompt>();
        prompt->mode = static_cast<ScriptedPrompt::Mode>(mode);
        DialogApprover approver(0.05, prompt);
        QVERIFY(approver.decide(request()) == ApprovalDecision::timedOut);
        QCOMPARE(prompt->dismissed, 1);
        // A late click after the time-out changes nothing and does not crash.
        if (prompt->pending)
            prompt->pending(1);
    }

    void eachRequestGetsItsOwnDialog()
    {
        auto prompt = std::make_shared<ScriptedPrompt>();
        DialogApprover approver(300, prompt);
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
        DialogApprover approver(300, prompt);
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
