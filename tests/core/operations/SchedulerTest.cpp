#include "operations/Scheduler.h"
#include "TestSupport.h"
#include "operations/BackupHistory.h"
#include "platform/SystemdAgentService.h"
#include "util/AtomicFile.h"
#include "util/Error.h"

#include <QFile>
#include <QtTest>

#include <cmath>

using namespace vellmir;

namespace {
struct FakeAgent {
    AgentService::Status status = AgentService::Status::notRegistered;
    QStringList calls;
    bool refuse = false;
};

class FakeService : public AgentService {
public:
    explicit FakeService(FakeAgent &agent)
        : m_agent(agent)
    {
    }
    Status status() override
    {
        m_agent.calls << QStringLiteral("status");
        return m_agent.status;
    }
    void registerAgent() override
    {
        m_agent.calls << QStringLiteral("register");
        if (m_agent.refuse)
            throw Error(QStringLiteral("Operation not permitted"));
        m_agent.status = Status::enabled;
    }
    void unregisterAgent() override
    {
        m_agent.calls << QStringLiteral("unregister");
        if (m_agent.refuse)
            throw Error(QStringLiteral("Operation not permitted"));
        m_agent.status = Status::notRegistered;
    }

private:
    FakeAgent &m_agent;
};

Destination withSchedule(Destination::Schedule schedule)
{
    Destination d;
    d.id = QUuid::createUuid();
    d.credentialID = d.id;
    d.name = QStringLiteral("d");
    d.repository = QStringLiteral("/r");
    d.schedule = schedule;
    return d;
}
} // namespace

class SchedulerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reconcileDecisions_data()
    {
        QTest::addColumn<int>("schedule"); // -1: no destinations
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("storedBuild"); // empty: absent
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("storedAfter");
        using S = AgentService::Status;
        test::dataRow("none wanted, enabled", -1, int(S::enabled), "42", QStringList { "status", "unregister" }, "");
        test::dataRow("manual, not registered", int(Destination::Schedule::manual), int(S::notRegistered), "",
            QStringList { "status" }, "");
        test::dataRow("daily, same build", int(Destination::Schedule::daily), int(S::enabled), "42",
            QStringList { "status" }, "42");
        test::dataRow("hourly, older build", int(Destination::Schedule::hourly), int(S::enabled), "41",
            QStringList { "status", "unregister", "register" }, "42");
        test::dataRow("enabled, no stored build", int(Destination::Schedule::hourly), int(S::enabled), "",
            QStringList { "status", "unregister", "register" }, "42");
        test::dataRow("not found", int(Destination::Schedule::daily), int(S::notFound), "42",
            QStringList { "status", "register" }, "42");
    }

    void reconcileDecisions()
    {
        QFETCH(int, schedule);
        QFETCH(int, status);
        QFETCH(QString, storedBuild);
        QFETCH(QStringList, calls);
        QFETCH(QString, storedAfter);
        test::TestHome home;
        UserDefaults defaults;
        if (!storedBuild.isEmpty())
            defaults.setValue(UserDefaults::schedulerRegisteredBuild, storedBuild);
        FakeAgent agent;
        agent.status = AgentService::Status(status);
        Scheduler scheduler(
            defaults, [&] { return std::make_unique<FakeService>(agent); }, QStringLiteral("42"));
        QList<Destination> list;
        if (schedule >= 0)
            list << withSchedule(Destination::Schedule(schedule));
        QCOMPARE(scheduler.reconcile(list), std::nullopt);
        QCOMPARE(agent.calls, calls);
        QCOMPARE(defaults.stringValue(UserDefaults::schedulerRegisteredBuild).value_or(QString()), storedAfter);
    }

    void refusedRegistrationLogsAndKeepsTheStoredBuild()
    {
        test::TestHome home;
        UserDefaults defaults;
        defaults.setValue(UserDefaults::schedulerRegisteredBuild, QStringLiteral("41"));
        FakeAgent agent;
        agent.refuse = true;
        Scheduler scheduler(
            defaults, [&] { return std::make_unique<FakeService>(agent); }, QStringLiteral("42"));
        QTest::ignoreMessage(QtInfoMsg, "Vellmir scheduler reconcile failed: Operation not permitted");
        const QString sentence
            = QStringLiteral("Automatic backups are off: the systemd user timer could not be registered (Operation not "
                             "permitted). Check it with:\nsystemctl --user status vellmir-scheduler.timer");
        QCOMPARE(scheduler.reconcile({ withSchedule(Destination::Schedule::daily) }), sentence);
        // Until the next one answers, the failure stands for what is still scheduled.
        QCOMPARE(scheduler.lastSentence({ withSchedule(Destination::Schedule::hourly) }), sentence);
        QCOMPARE(scheduler.lastSentence({ withSchedule(Destination::Schedule::manual) }), std::nullopt);
        QCOMPARE(defaults.stringValue(UserDefaults::schedulerRegisteredBuild), QStringLiteral("41"));
        // The reason stays for the agents' status until a registration succeeds.
        QCOMPARE(defaults.stringValue(UserDefaults::schedulerRegistrationFailure),
            QStringLiteral("Operation not permitted"));
        agent.refuse = false;
        QVERIFY(!scheduler.reconcile({ withSchedule(Destination::Schedule::daily) }));
        QVERIFY(!defaults.contains(UserDefaults::schedulerRegistrationFailure));
        QCOMPARE(scheduler.lastSentence({ withSchedule(Destination::Schedule::daily) }), std::nullopt);
    }

    void systemdUnitsAreWrittenEnabledAndRewrittenForANewBuild()
    {
        test::TestHome home;
        const QString systemctl = home.path() + QStringLiteral("/systemctl");
        QVERIFY(QFile::copy(test::supportPath(QStringLiteral("fake-systemctl")), systemctl));
        const QString units = home.path() + QStringLiteral("/.config/systemd/user");
        auto service = [&](const QString &build, const QString &exe) {
            return std::make_unique<SystemdAgentService>(SystemdAgentService::Options { exe, {}, systemctl, build });
        };
        const QString exe = QStringLiteral("/opt/Vell mir/100%/vellmir-app");
        UserDefaults defaults;
        Scheduler first(
            defaults, [&] { return service(QStringLiteral("7"), exe); }, QStringLiteral("7"));
        const QList<Destination> hourly { withSchedule(Destination::Schedule::hourly) };
        QCOMPARE(first.reconcile(hourly), std::nullopt);

        const QString unit = QString::fromUtf8(test::readFile(units + QStringLiteral("/vellmir-scheduler.service")));
        QVERIFY(unit.contains(QStringLiteral("Type=oneshot\n")));
        QVERIFY(unit.contains(QStringLiteral("ExecStart=\"/opt/Vell mir/100%%/vellmir-app\" --scheduled-run\n")));
        // systemd's stop reaches the pass alone, which stops restic before its ssh.
        QVERIFY(unit.contains(QStringLiteral("KillMode=mixed\nTimeoutStopSec=60\n")));
        const QString timer = QString::fromUtf8(test::readFile(units + QStringLiteral("/vellmir-scheduler.timer")));
        QVERIFY(timer.contains(QStringLiteral("OnCalendar=*:0/10\n")));
        QVERIFY(timer.contains(QStringLiteral("Persistent=true\n")));
        QVERIFY(timer.contains(QStringLiteral("WantedBy=timers.target\n")));
        QCOMPARE(service(QStringLiteral("7"), exe)->status(), AgentService::Status::enabled);

        // Same build: nothing is rewritten. A moved executable or a new build is registered but
        // not current.
        QFile::remove(systemctl + QStringLiteral(".calls"));
        QCOMPARE(first.reconcile(hourly), std::nullopt);
        QCOMPARE(QString::fromUtf8(test::readFile(systemctl + QStringLiteral(".calls"))),
            QStringLiteral("--user is-enabled vellmir-scheduler.timer\n"));
        QVERIFY(service(QStringLiteral("7"), exe)->isCurrent());
        // An hourly timer and a service without the stop settings, of the same build, as earlier
        // versions wrote them, are replaced.
        test::writeFile(units + QStringLiteral("/vellmir-scheduler.timer"),
            "# Written by Vellmir build 7; changes are overwritten.\n[Timer]\nOnCalendar=hourly\nPersistent=true\n"
            "RandomizedDelaySec=120\nUnit=vellmir-scheduler.service\n");
        test::writeFile(units + QStringLiteral("/vellmir-scheduler.service"),
            QString(unit).remove(QStringLiteral("KillMode=mixed\n")).toUtf8());
        QCOMPARE(first.reconcile(hourly), std::nullopt);
        QVERIFY(test::readFile(units + QStringLiteral("/vellmir-scheduler.timer")).contains("OnCalendar=*:0/10\n"));
        QCOMPARE(test::readFile(units + QStringLiteral("/vellmir-scheduler.service")), unit.toUtf8());
        QVERIFY(QFile::exists(systemctl + QStringLiteral(".enabled")));
        QVERIFY(!service(QStringLiteral("7"), QStringLiteral("/elsewhere"))->isCurrent());
        Scheduler moved(
            defaults, [&] { return service(QStringLiteral("7"), QStringLiteral("/elsewhere")); }, QStringLiteral("7"));
        QCOMPARE(moved.reconcile(hourly), std::nullopt);
        QVERIFY(test::readFile(units + QStringLiteral("/vellmir-scheduler.service")).contains("\"/elsewhere\""));
        Scheduler second(
            defaults, [&] { return service(QStringLiteral("8"), exe); }, QStringLiteral("8"));
        QCOMPARE(second.reconcile(hourly), std::nullopt);
        QVERIFY(test::readFile(units + QStringLiteral("/vellmir-scheduler.timer")).contains("build 8"));
        QCOMPARE(defaults.stringValue(UserDefaults::schedulerRegisteredBuild), QStringLiteral("8"));

        // No automatic schedule left: disabled and the files are gone.
        QCOMPARE(second.reconcile({}), std::nullopt);
        QVERIFY(!QFile::exists(units + QStringLiteral("/vellmir-scheduler.timer")));
        QVERIFY(!defaults.contains(UserDefaults::schedulerRegisteredBuild));
    }

    void timerStartsEveryDueBackupWithinMinutes_data()
    {
        QTest::addColumn<int>("schedule");
        QTest::addColumn<double>("finished"); // seconds after a timer tick when the last backup ended
        QTest::addColumn<int>("delay"); // what the timer added to each start: 0 none, 1 the most
        for (int delay : { 0, 1 }) {
            const QByteArray most = delay ? ", most delay" : ", no delay";
            QTest::newRow(("hourly, on a tick" + most).constData())
                << int(Destination::Schedule::hourly) << 0.0 << delay;
            QTest::newRow(("hourly, just after a tick" + most).constData())
                << int(Destination::Schedule::hourly) << 0.5 << delay;
            QTest::newRow(("hourly, just before a tick" + most).constData())
                << int(Destination::Schedule::hourly) << 599.0 << delay;
            QTest::newRow(("daily, between ticks" + most).constData())
                << int(Destination::Schedule::daily) << 333.0 << delay;
        }
    }

    void timerStartsEveryDueBackupWithinMinutes()
    {
        // The timer only starts passes; each pass runs what the due rule answers. Together an
        // hourly backup must start within minutes of its hour, not a whole timer period later.
        QFETCH(int, schedule);
        QFETCH(double, finished);
        QFETCH(int, delay);
        using Service = SystemdAgentService;
        QVERIFY(Service::latestStart <= std::chrono::minutes(20));
        const QString timer
            = Service(Service::Options { QStringLiteral("/x"), {}, {}, QStringLiteral("1") }).timerUnit();
        QVERIFY(
            timer.contains(QStringLiteral("OnCalendar=*:0/%1\n")
                               .arg(std::chrono::duration_cast<std::chrono::minutes>(Service::passInterval).count())));
        QVERIFY(timer.contains(QStringLiteral("RandomizedDelaySec=%1\n").arg(Service::randomDelay.count())));
        QVERIFY(timer.contains(QStringLiteral("AccuracySec=%1\n").arg(Service::accuracy.count())));
        QVERIFY(timer.contains(QStringLiteral("Persistent=true\n")));

        test::TestHome home;
        const BackupHistory history(home.path() + QStringLiteral("/history"));
        const Destination destination = withSchedule(Destination::Schedule(schedule));
        const double tick = double(Service::passInterval.count());
        const Date lastEnd { 1000000 * tick + finished }; // ticks fall on multiples of the interval
        BackupRecord record(destination.id, lastEnd.addingSeconds(-300));
        record.finishedAt = lastEnd;
        record.outcome = BackupRecord::Outcome::complete;
        record.scope = destination.backupScope();
        writeFileAtomically(history.filePath(record.id), record.encoded());
        const Date dueAt = lastEnd.addingSeconds(schedule == int(Destination::Schedule::hourly) ? 3600 : 86400);

        const double late = delay ? double((Service::randomDelay + Service::accuracy).count()) : 0.0;
        Date pass { (std::floor(lastEnd.seconds / tick) + 1) * tick + late };
        while (!history.isDue(destination, pass)) {
            QVERIFY(pass < dueAt);
            pass = pass.addingSeconds(tick);
        }
        QVERIFY(pass >= dueAt);
        QVERIFY2(pass.secondsSince(dueAt) <= double(Service::latestStart.count()),
            qPrintable(QString::number(pass.secondsSince(dueAt))));
    }

    void staleRegistrationIsRemovedWhenNoLongerWanted()
    {
        // Units an older build enabled keep starting passes until they are taken down, even
        // though they are not what this build would write.
        test::TestHome home;
        const QString systemctl = home.path() + QStringLiteral("/systemctl");
        QVERIFY(QFile::copy(test::supportPath(QStringLiteral("fake-systemctl")), systemctl));
        const QString units = home.path() + QStringLiteral("/.config/systemd/user");
        auto service = [&](const QString &build) {
            return std::make_unique<SystemdAgentService>(
                SystemdAgentService::Options { QStringLiteral("/opt/vellmir-app"), {}, systemctl, build });
        };
        UserDefaults defaults;
        Scheduler older(
            defaults, [&] { return service(QStringLiteral("41")); }, QStringLiteral("41"));
        QCOMPARE(older.reconcile({ withSchedule(Destination::Schedule::daily) }), std::nullopt);
        QVERIFY(QFile::exists(systemctl + QStringLiteral(".enabled")));

        Scheduler newer(
            defaults, [&] { return service(QStringLiteral("42")); }, QStringLiteral("42"));
        QCOMPARE(newer.reconcile({ withSchedule(Destination::Schedule::manual) }), std::nullopt);
        QVERIFY(!QFile::exists(systemctl + QStringLiteral(".enabled")));
        QVERIFY(!QFile::exists(units + QStringLiteral("/vellmir-scheduler.timer")));
        QVERIFY(!QFile::exists(units + QStringLiteral("/vellmir-scheduler.service")));
        QVERIFY(!defaults.contains(UserDefaults::schedulerRegisteredBuild));
    }

    void programPathWithALineBreakIsRefused()
    {
        test::TestHome home;
        const QString systemctl = home.path() + QStringLiteral("/systemctl");
        QVERIFY(QFile::copy(test::supportPath(QStringLiteral("fake-systemctl")), systemctl));
        SystemdAgentService service(SystemdAgentService::Options {
            QStringLiteral("/opt/x\nExecStartPre=/bin/evil"), {}, systemctl, QStringLiteral("1") });
        QVERIFY_THROWS_EXCEPTION(Error, service.registerAgent());
        QVERIFY(!QFile::exists(service.options().unitDirectory + QStringLiteral("/vellmir-scheduler.service")));
        QVERIFY(!QFile::exists(systemctl + QStringLiteral(".enabled")));
    }

    void missingUserManagerGivesTheSentence()
    {
        test::TestHome home;
        const QString systemctl = home.path() + QStringLiteral("/systemctl");
        QVERIFY(QFile::copy(test::supportPath(QStringLiteral("fake-systemctl")), systemctl));
        test::writeFile(systemctl + QStringLiteral(".fail"), "");
        UserDefaults defaults;
        Scheduler scheduler(
            defaults,
            [&] {
                return std::make_unique<SystemdAgentService>(
                    SystemdAgentService::Options { QStringLiteral("/x"), {}, systemctl, QStringLiteral("1") });
            },
            QStringLiteral("1"));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("reconcile failed")));
        const std::optional<QString> message = scheduler.reconcile({ withSchedule(Destination::Schedule::daily) });
        QVERIFY(message);
        QVERIFY2(message->contains(QStringLiteral("No medium found")), qPrintable(*message));

        // The real tool where no user manager runs fails the same way and never hangs.
        SystemdAgentService real(SystemdAgentService::Options {
            QStringLiteral("/x"), {}, QStringLiteral("systemctl"), QStringLiteral("1") });
        QVERIFY(real.status() != AgentService::Status::enabled);
    }
};

QTEST_GUILESS_MAIN(SchedulerTest)
#include "SchedulerTest.moc"
