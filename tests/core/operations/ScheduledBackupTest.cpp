#include "operations/ScheduledBackup.h"
#include "TestSupport.h"
#include "config/FileLock.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/Uuid.h"

#include <QtTest>

using namespace vellmir;

namespace {

Destination destination(const QString &name, Destination::Schedule schedule = Destination::Schedule::hourly)
{
    Destination d;
    d.id = QUuid::createUuid();
    d.credentialID = d.id;
    d.name = name;
    d.repository = QStringLiteral("/repo/") + name;
    d.sources = { QStringLiteral("/data/") + name };
    d.schedule = schedule;
    return d;
}

// Records every call; answers from its fields.
class FakeServices : public ScheduledBackup::Services {
public:
    explicit FakeServices(QString lockPath)
        : m_lockPath(std::move(lockPath))
    {
    }

    ScheduledBackup::StoreState reloadStore() override
    {
        calls << QStringLiteral("reload");
        if (reloadError)
            throw Error(*reloadError);
        return store;
    }
    ScheduledBackup::StoreState currentStore() override { return store; }
    std::unique_ptr<FileLock> takeSchedulerLock() override { return std::make_unique<FileLock>(m_lockPath, false); }
    bool isDue(const Destination &d, Date) override
    {
        calls << QStringLiteral("isDue ") + d.name;
        if (dueError)
            throw Error(*dueError);
        return due.value(d.id, true);
    }
    std::optional<QString> deferReason(const Destination &d) override
    {
        if (deferred.contains(d.id))
            return deferred.value(d.id);
        return std::nullopt;
    }
    ScheduledBackup::RunResult runBackup(const Destination &d) override
    {
        calls << QStringLiteral("backup ") + d.name;
        ScheduledBackup::RunResult run = runs.value(d.id, ScheduledBackup::RunResult { false, true, {}, {}, {} });
        if (!runs.contains(d.id) || recordEveryRun) {
            BackupRecord record(d.id, Date { 1000 });
            record.outcome = run.issues.isEmpty() ? BackupRecord::Outcome::complete : BackupRecord::Outcome::incomplete;
            record.issues = run.issues;
            records.insert(record.id, record);
            run.recordID = record.id;
        }
        return run;
    }
    ScheduledBackup::HealthState loadHealth(const Destination &d) override
    {
        calls << QStringLiteral("loadHealth ") + d.name;
        return health;
    }
    void check(const Destination &d) override
    {
        calls << QStringLiteral("check ") + d.name;
        if (checkFails)
            throw Error(QStringLiteral("check failed"));
    }
    void testRecovery(const Destination &d) override { calls << QStringLiteral("testRecovery ") + d.name; }
    void measure(const Destination &d) override
    {
        calls << QStringLiteral("measure ") + d.name;
        if (measureFails)
            throw Error(QStringLiteral("no stats"));
    }
    std::optional<BackupRecord> record(const QUuid &, const QUuid &recordID) override
    {
        if (!records.contains(recordID))
            return std::nullopt;
        return records.value(recordID);
    }
    void notify(const NotificationContent &content) override
    {
        notifications << content.id + u'|' + content.title;
        bodies << content.body;
    }
    Date now() override { return Date { 5000 }; }
    bool stopRequested() override
    {
        if (onStopCheck)
            onStopCheck();
        return false;
    }

    ScheduledBackup::StoreState store;
    std::optional<QString> reloadError;
    std::optional<QString> dueError;
    QMap<QUuid, bool> due;
    QMap<QUuid, QString> deferred;
    QMap<QUuid, ScheduledBackup::RunResult> runs;
    bool recordEveryRun = true;
    ScheduledBackup::HealthState health;
    bool checkFails = false;
    bool measureFails = false;
    QMap<QUuid, BackupRecord> records;
    std::function<void()> onStopCheck;
    QStringList calls;
    QStringList notifications;
    QStringList bodies;

private:
    QString m_lockPath;
};

} // namespace

class ScheduledBackupTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestHome> m_home;
    std::unique_ptr<FakeServices> m_services;
    std::unique_ptr<BackupRequests> m_requests;

    QString lockPath() const { return m_home->dataDirectory() + QStringLiteral("/scheduler.lock"); }

    bool pass(Date now = Date { 2000 })
    {
        ScheduledBackup scheduled(*m_services);
        return scheduled.runDue(now, *m_requests);
    }

    BackupRequests::Result resultOf(const BackupRequests::Request &request)
    {
        const std::optional<BackupRequests::Result> result = m_requests->result(request.id);
        if (!result)
            throw std::runtime_error("no result");
        return *result;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<test::TestHome>();
        m_services = std::make_unique<FakeServices>(lockPath());
        m_requests = std::make_unique<BackupRequests>(
            m_home->dataDirectory() + QStringLiteral("/requests"), QStringLiteral("/nonexistent/systemctl"));
    }

    void cleanup()
    {
        m_requests.reset();
        m_services.reset();
        m_home.reset();
    }

    void emptyPassSucceedsSilently()
    {
        QVERIFY(pass());
        QVERIFY(m_services->notifications.isEmpty());
    }

    void settingsFromAnotherComputerhineAnnounceOnlyThat()
    {
        m_services->store.fromAnotherComputer = true;
        m_services->store.integrityValid = false;
        QVERIFY(pass());
        QCOMPARE(m_services->notifications, QStringList { "config-changed|Confirm settings from another computer" });

        m_services->notifications.clear();
        m_services->store.fromAnotherComputer = false;
        m_services->store.destinations = { destination(QStringLiteral("a")) };
        QVERIFY(pass());
        QCOMPARE(m_services->notifications,
            QStringList { "config-changed|Vellmir's settings were changed outside the app" });
        QVERIFY(m_services->calls.contains(QStringLiteral("backup a")));
        QVERIFY(m_services->bodies.last().startsWith(QStringLiteral("Backups continue")));

        // With none of the settings trusted nothing backs up, and the notice does not promise it.
        m_services->store.destinations.clear();
        m_services->store.nothingTrusted = true;
        QVERIFY(pass());
        QCOMPARE(m_services->bodies.last(),
            QStringLiteral("No backups run until you review the change. Open Vellmir to review it."));
    }

    void reloadFailureStopsEverything()
    {
        m_services->reloadError = QStringLiteral("Could not read destinations: broken");
        const Destination a = destination(QStringLiteral("a"));
        m_services->store.destinations = { a };
        const BackupRequests::Request request = m_requests->enqueue(a.id, Date { 1000 });
        QTest::ignoreMessage(QtInfoMsg, "Vellmir scheduler: Could not read destinations: broken");
        QVERIFY(!pass());
        QCOMPARE(m_services->notifications, QStringList { "scheduler|Automatic backups need attention" });
        QCOMPARE(m_requests->pending().size(), 1);
        QVERIFY(!m_services->calls.contains(QStringLiteral("backup a")));
        Q_UNUSED(request);
    }

    void secondPassLeavesTheWorkToTheFirst()
    {
        FileLock held(lockPath(), false);
        m_services->store.destinations = { destination(QStringLiteral("a")) };
        m_services->store.integrityValid = false; // announced by the pass that runs
        QTest::ignoreMessage(QtInfoMsg, "Vellmir scheduler: another pass is running; this one leaves the work to it.");
        QVERIFY(pass());
        QVERIFY(m_services->notifications.isEmpty());
        QVERIFY(m_services->calls.isEmpty()); // not even the settings are read
    }

    void dueLoopSkipsEmptyNotDueAndDeferred()
    {
        Destination empty = destination(QStringLiteral("empty"));
        empty.sources.clear();
        const Destination notDue = destination(QStringLiteral("notdue"));
        const Destination deferred = destination(QStringLiteral("deferred"));
        const Destination due = destination(QStringLiteral("due"));
        m_services->store.destinations = { empty, notDue, deferred, due };
        m_services->due.insert(notDue.id, false);
        m_services->deferred.insert(deferred.id, QStringLiteral("Waiting for AC power."));
        QVERIFY(pass());
        QCOMPARE(
            m_services->calls, QStringList({ "reload", "isDue notdue", "isDue deferred", "isDue due", "backup due" }));
        QCOMPARE(m_services->notifications,
            QStringList { QStringLiteral("overdue-") + uuidText(deferred.id) + "|deferred: backup is overdue" });
    }

    void dueTestFailureReleasesTheLockAndSkipsTheDrain()
    {
        const Destination a = destination(QStringLiteral("a"));
        m_services->store.destinations = { a };
        m_services->dueError = QStringLiteral("The history cannot be read.");
        m_requests->enqueue(a.id, Date { 1000 });
        QTest::ignoreMessage(QtInfoMsg, "Vellmir scheduler: The history cannot be read.");
        QVERIFY(!pass());
        QCOMPARE(m_requests->pending().size(), 1);
        FileLock again(lockPath(), false); // released
    }

    void requestBeforeThePassIsAnsweredByThePassRunOnly()
    {
        const Destination a = destination(QStringLiteral("a"));
        m_services->store.destinations = { a };
        const BackupRequests::Request early = m_requests->enqueue(a.id, Date { 1000 });
        QVERIFY(pass(Date { 2000 }));
        QCOMPARE(m_services->calls.count(QStringLiteral("backup a")), 1);
        const BackupRequests::Result result = resultOf(early);
        QVERIFY(result.recordID);
        QCOMPARE(result.outcome, QStringLiteral("complete"));
        QVERIFY(m_services->records.contains(*result.recordID));
        QVERIFY(m_requests->pending().isEmpty());
    }

    void requestAfterThePassBeganRunsAgain()
    {
        const Destination a = destination(QStringLiteral("a"));
        m_services->store.destinations = { a };
        const BackupRequests::Request late = m_requests->enqueue(a.id, Date { 3000 });
        QVERIFY(pass(Date { 2000 }));
        QCOMPARE(m_services->calls.count(QStringLiteral("backup a")), 2);
        QCOMPARE(resultOf(late).outcome, QStringLiteral("complete"));
    }

    // The request comes the moment the pass lets go of its lock: a pass it starts finds the lock
    // still held and leaves the work to this one, which must not leave it for the next hour.
    void requestQueuedAsThePassLetsGoIsAnswered()
    {
        const Destination a = destination(QStringLiteral("a"));
        m_services->store.destinations = { a };
        m_services->due.insert(a.id, false);
        std::optional<BackupRequests::Request> late;
        m_services->onStopCheck = [&] {
            if (late)
                return;
            try {
                FileLock free(lockPath(), false);
            } catch (const Error &) {
                return;
            }
            late = m_requests->enqueue(a.id, Date { 3000 });
        };
        QVERIFY(pass(Date { 2000 }));
        QVERIFY(late);
        QCOMPARE(resultOf(*late).outcome, QStringLiteral("complete"));
        QCOMPARE(m_services->calls.count(QStringLiteral("backup a")), 1);
    }

    void requestsRunManualAndDeferredDestinations()
    {
        const Destination manual = destination(QStringLiteral("manual"), Destination::Schedule::manual);
        const Destination deferred = destination(QStringLiteral("deferred"));
        m_services->store.destinations = { manual, deferred };
        m_services->due.insert(manual.id, false);
        m_services->deferred.insert(deferred.id, QStringLiteral("Waiting for AC power."));
        const BackupRequests::Request r1 = m_requests->enqueue(manual.id, Date { 1000 });
        const BackupRequests::Request r2 = m_requests->enqueue(deferred.id, Date { 1001 });
        QVERIFY(pass());
        QVERIFY(m_services->calls.contains(QStringLiteral("backup manual")));
        QVERIFY(m_services->calls.contains(QStringLiteral("backup deferred")));
        QCOMPARE(resultOf(r1).outcome, QStringLiteral("complete"));
        QCOMPARE(resultOf(r2).outcome, QStringLiteral("complete"));
    }

    void requestsForMissingOrEmptyDestinationsFail()
    {
        Destination empty = destination(QStringLiteral("empty"));
        empty.sources.clear();
        m_services->store.destinations = { empty };
        const BackupRequests::Request gone = m_requests->enqueue(QUuid::createUuid(), Date { 1000 });
        const BackupRequests::Request none = m_requests->enqueue(empty.id, Date { 1001 });
        QVERIFY(pass());
        QCOMPARE(resultOf(gone).message, QStringLiteral("The destination no longer exists."));
        QCOMPARE(resultOf(gone).outcome, QStringLiteral("failed"));
        QCOMPARE(resultOf(none).message, QStringLiteral("No folders selected to back up."));
        QVERIFY(!m_services->calls.contains(QStringLiteral("isDue empty")));
    }

    void answersComeFromWhatThisRunDid_data()
    {
        QTest::addColumn<QString>("record"); // what the history holds of the run
        QTest::addColumn<QString>("message");
        const QString unsaved = QStringLiteral("Backup ended, but its result could not be saved: disk full");
        test::dataRow("never started, no record", "none", "busy");
        QTest::newRow("the last write failed") << "running" << unsaved;
        QTest::newRow("both writes failed") << "missing" << unsaved;
    }

    // Never from an older record, nor from this run's record while it still says "running".
    void answersComeFromWhatThisRunDid()
    {
        QFETCH(QString, record);
        QFETCH(QString, message);
        const Destination a = destination(QStringLiteral("a"));
        m_services->store.destinations = { a };
        ScheduledBackup::RunResult run { true, false, {}, {}, message };
        if (record != u"none") {
            const BackupRecord started(a.id, Date { 1500 });
            run.recordID = started.id;
            if (record == u"running")
                m_services->records.insert(started.id, started);
        }
        m_services->runs.insert(a.id, run);
        m_services->recordEveryRun = false;
        BackupRecord older(a.id, Date { 10 });
        older.outcome = BackupRecord::Outcome::complete;
        m_services->records.insert(older.id, older);
        const BackupRequests::Request request = m_requests->enqueue(a.id, Date { 1000 });
        // A pass that fails says why where its exit status is seen.
        QTest::ignoreMessage(
            QtInfoMsg, qPrintable(QStringLiteral("Vellmir scheduler: the backup of \"a\" failed: ") + message));
        QVERIFY(!pass());
        const BackupRequests::Result result = resultOf(request);
        QCOMPARE(result.outcome, QStringLiteral("failed"));
        QVERIFY(!result.recordID);
        QCOMPARE(result.message, message);
    }

    void issuesFailThePassAndTheFirstIssueAnswers()
    {
        const Destination a = destination(QStringLiteral("a"));
        m_services->store.destinations = { a };
        m_services->runs.insert(a.id,
            ScheduledBackup::RunResult { false, true, { QStringLiteral("first"), QStringLiteral("second") }, {}, {} });
        const BackupRequests::Request request = m_requests->enqueue(a.id, Date { 1000 });
        QVERIFY(!pass());
        QCOMPARE(resultOf(request).outcome, QStringLiteral("incomplete"));
        QCOMPARE(resultOf(request).message, QStringLiteral("first"));
    }

    void damagedRequestIsSetAsideAndThePassGoesOn()
    {
        const Destination a = destination(QStringLiteral("a"));
        m_services->store.destinations = { a };
        const BackupRequests::Request request = m_requests->enqueue(a.id, Date { 1000 });
        test::writeFile(m_home->dataDirectory() + QStringLiteral("/requests/request-") + uuidText(QUuid::createUuid())
                + QStringLiteral(".json"),
            "not json");
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("It was set aside as request-.*damaged")));
        QVERIFY(pass());
        QCOMPARE(resultOf(request).outcome, QStringLiteral("complete"));
    }

    void monthlyHealthWork_data()
    {
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<double>("checkAge");
        QTest::addColumn<double>("restoreAge");
        QTest::addColumn<bool>("runs");
        const double day = 86400;
        QTest::newRow("check 29 days, restore 31 days") << true << 29 * day << 31 * day << true;
        QTest::newRow("both under 30 days") << true << 29 * day << 29 * day << false;
        QTest::newRow("exactly 30 days") << true << 30 * day << day << true;
        QTest::newRow("last check failed") << false << day << day << true;
        QTest::newRow("never checked") << true << -1.0 << day << true;
    }

    void monthlyHealthWork()
    {
        QFETCH(bool, succeeded);
        QFETCH(double, checkAge);
        QFETCH(double, restoreAge);
        QFETCH(bool, runs);
        Destination a = destination(QStringLiteral("a"));
        a.preferences = BackupPreferences {};
        a.preferences->checkMonthly = true;
        m_services->store.destinations = { a };
        const Date now { 100000000 };
        m_services->health.integritySucceeded = succeeded;
        if (checkAge >= 0)
            m_services->health.lastIntegrityCheck = now.addingSeconds(-checkAge);
        m_services->health.lastVerifiedRestore = now.addingSeconds(-restoreAge);
        QVERIFY(pass(now));
        QCOMPARE(m_services->calls.contains(QStringLiteral("check a")), runs);
        QCOMPARE(m_services->calls.contains(QStringLiteral("testRecovery a")), runs);
    }

    void failedCheckNotifiesOnceAndSkipsTheTestRestore()
    {
        Destination a = destination(QStringLiteral("a"));
        a.preferences = BackupPreferences {};
        a.preferences->checkMonthly = true;
        m_services->store.destinations = { a };
        m_services->checkFails = true;
        QVERIFY(!pass());
        QVERIFY(!m_services->calls.contains(QStringLiteral("testRecovery a")));
        QCOMPARE(m_services->notifications,
            QStringList { QStringLiteral("integrity-") + uuidText(a.id) + "|Repository check needs attention" });
    }

    void storageBudget_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<double>("budget");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<bool>("measured");
        QTest::addColumn<bool>("warns");
        QTest::newRow("budget equals estimate") << 6.0 << 3.0 << qint64(500000000000) << true << true;
        QTest::newRow("under budget") << 6.0 << 3.01 << qint64(500000000000) << true << false;
        QTest::newRow("budget 0 never warns") << 6.0 << 0.0 << qint64(900000000000000) << true << false;
        QTest::newRow("negative bytes estimate 0") << 6.0 << 0.01 << qint64(-5) << true << false;
        QTest::newRow("rate 0 skips measuring") << 0.0 << 1.0 << qint64(900000000000000) << false << false;
    }

    void storageBudget()
    {
        QFETCH(double, rate);
        QFETCH(double, budget);
        QFETCH(qint64, bytes);
        QFETCH(bool, measured);
        QFETCH(bool, warns);
        Destination a = destination(QStringLiteral("a"));
        a.preferences = BackupPreferences {};
        a.preferences->storageRatePerTB = rate;
        a.preferences->monthlyBudget = budget;
        m_services->store.destinations = { a };
        m_services->health.lastUsageBytes = bytes;
        QVERIFY(pass());
        QCOMPARE(m_services->calls.contains(QStringLiteral("measure a")), measured);
        QCOMPARE(m_services->notifications.contains(
                     QStringLiteral("budget-") + uuidText(a.id) + "|a: storage estimate exceeds budget"),
            warns);
    }

    void finishedWithIssuesIsMeasuredButNotChecked()
    {
        Destination a = destination(QStringLiteral("a"));
        a.preferences = BackupPreferences {};
        a.preferences->checkMonthly = true;
        a.preferences->storageRatePerTB = 5;
        m_services->store.destinations = { a };
        m_services->runs.insert(a.id, ScheduledBackup::RunResult { false, true, { QStringLiteral("x") }, {}, {} });
        m_services->measureFails = true;
        QVERIFY(!pass());
        QVERIFY(!m_services->calls.contains(QStringLiteral("check a")));
        QVERIFY(m_services->calls.contains(QStringLiteral("measure a")));
        QCOMPARE(m_services->notifications,
            QStringList { QStringLiteral("storage-") + uuidText(a.id) + "|Storage estimate unavailable" });
    }
};

QTEST_GUILESS_MAIN(ScheduledBackupTest)
#include "ScheduledBackupTest.moc"
