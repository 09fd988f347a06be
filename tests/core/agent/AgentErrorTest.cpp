#include "agent/AgentError.h"
#include "TestSupport.h"
#include "util/ResticError.h"

#include <QtTest>

using namespace vellmir;

class AgentErrorTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void codesMessagesAndStatuses_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("usage") << 0 << "usage" << 2 << "bad";
        QTest::newRow("not found") << 1 << "not-found" << 3 << "bad";
        QTest::newRow("denied") << 2 << "denied" << 4 << "The change was denied in Vellmir's approval dialog.";
        test::dataRow("timed out", 3, "timed-out", 4,
            "Nobody answered the approval request within 5 minutes, so the change was not "
            "made.");
        QTest::newRow("failed") << 4 << "failed" << 1 << "bad";
        QTest::newRow("other error") << 5 << "failed" << 1 << "restic not found";
        // Never asked is not "timed-out": a full queue may be retried later.
        test::dataRow("too many questions", 6, "busy", 4,
            "8 approval questions of this process already wait for the user, so this change was not made. Retry "
            "once one of them is answered.");
    }
    void codesMessagesAndStatuses()
    {
        QFETCH(int, which);
        QFETCH(QString, code);
        QFETCH(int, status);
        QFETCH(QString, message);
        const QString bad = QStringLiteral("bad");
        try {
            switch (which) {
            case 0:
                throw AgentError::usage(bad);
            case 1:
                throw AgentError::notFound(bad);
            case 2:
                throw AgentError::denied(ApprovalDecision::denied);
            case 3:
                throw AgentError::denied(ApprovalDecision::timedOut);
            case 4:
                throw AgentError::failed(bad);
            case 6:
                throw AgentError::unanswered(Unanswered::busy);
            default:
                throw ResticError::command(QStringLiteral("restic not found"));
            }
        } catch (const std::exception &error) {
            QCOMPARE(AgentError::code(error), code);
            QCOMPARE(AgentError::exitStatus(error), status);
            QCOMPARE(errorDescription(error), message);
            const QJsonObject reply = AgentError::reply(error);
            QCOMPARE(reply.keys(), QStringList({ "code", "error" }));
            QCOMPARE(reply.value("code").toString(), code);
            QCOMPARE(reply.value("error").toString(), message);
        }
    }

    void equalityComparesKindAndMessage()
    {
        QVERIFY(AgentError::usage("a") == AgentError::usage("a"));
        QVERIFY(!(AgentError::usage("a") == AgentError::failed("a")));
        QVERIFY(!(AgentError::denied(ApprovalDecision::denied) == AgentError::denied(ApprovalDecision::timedOut)));
    }
};

QTEST_GUILESS_MAIN(AgentErrorTest)
#include "AgentErrorTest.moc"
