#include "TestNotificationServer.h"
#include "TestSupport.h"
#include "config/DestinationStore.h"
#include "config/DestinationWriter.h"
#include "config/FileLock.h"
#include "config/UserDefaults.h"
#include "operations/BackupHistory.h"
#include "operations/BackupRequests.h"
#include "operations/NotificationPermission.h"
#include "platform/DesktopNotifier.h"
#include "platform/KeyringStore.h"
#include "platform/SystemdAgentService.h"
#include "util/AppPaths.h"

#include <QDBusConnection>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>
#include <csignal>

using namespace vellmir;

namespace {
const QString password = QStringLiteral("e2e-repository-password");

struct Finished {
    int exitCode = -1;
    QString stdout;
    QString stderr;
};

Finished runApp(const QStringList &arguments)
{
    // The notification server of this test serves through the main event loop, so wait for
    // the app without blocking it.
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(240000, &loop, &QEventLoop::quit);
    process.start(QStringLiteral(VELLMIR_APP), arguments);
    loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError()) };
}

QString restic(const QString &repository, const QStringList &arguments, int *exitCode = nullptr)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RESTIC_REPOSITORY"), repository);
    environment.insert(QStringLiteral("RESTIC_PASSWORD"), password);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("restic"), arguments);
    process.waitForFinished(120000);
    if (exitCode)
        *exitCode = process.exitCode();
    return QString::fromUtf8(process.readAllStandardOutput());
}
} // namespace

class ScheduledRunEndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestHome> m_home;
    std::unique_ptr<test::TestNotificationServer> m_server;
    Destination m_destination;
    QString m_repository;

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariable("VELLMIR_TEST_KEYRING") != QStringLiteral("1"))
            QSKIP("needs the private keyring of scripts/with-keyring");
        m_home = std::make_unique<test::TestHome>();
        m_server = std::make_unique<test::TestNotificationServer>(QDBusConnection::sessionBus(), true);
        QVERIFY(m_server->registerOnBus());
        DesktopNotifier notifier;
        UserDefaults defaults;
        QVERIFY(NotificationPermission::enable(notifier, defaults));

        m_repository = m_home->path() + QStringLiteral("/repository");
        const QString source = m_home->path() + QStringLiteral("/Documents");
        test::writeFile(source + QStringLiteral("/letter.txt"), "Dear restic,\n");
        test::writeFile(source + QStringLiteral("/photos/cat.bin"), QByteArray(70000, 'c'));
        int code = -1;
        restic(m_repository, { QStringLiteral("init") }, &code);
        QCOMPARE(code, 0);

        CredentialsStore credentials(std::make_shared<KeyringStore>());
        DestinationStore store(credentials);
        QVERIFY2(!store.errorMessage(), qPrintable(store.errorMessage().value_or(QString())));
        Destination draft;
        draft.id = QUuid::createUuid();
        draft.name = QStringLiteral("Local copy");
        draft.kind = Destination::Kind::local;
        draft.repository = m_repository;
        draft.sources = { source };
        draft.schedule = Destination::Schedule::hourly;
        draft.pruneAfterBackup = false;
        m_destination
            = DestinationWriter(credentials).save(draft, { { QStringLiteral("RESTIC_PASSWORD"), password } }, store);
    }

    void cleanupTestCase()
    {
        m_server.reset();
        m_home.reset();
    }

    void scheduledPassBacksUpAndAnswersTheQueuedRequest()
    {
        BackupRequests requests;
        const BackupRequests::Request request = requests.enqueue(m_destination.id, Date::now().addingSeconds(-5));

        const Finished run = runApp({ QStringLiteral("--scheduled-run") });
        QVERIFY2(run.exitCode == 0, qPrintable(run.stderr));

        const QList<BackupRecord> records = BackupHistory().records(m_destination.id);
        QCOMPARE(records.size(), 1);
        const BackupRecord &record = records.first();
        QVERIFY(record.outcome == BackupRecord::Outcome::complete);
        QVERIFY(record.snapshotID);
        QCOMPARE(record.scope, m_destination.backupScope());

        const QJsonArray snapshots = QJsonDocument::fromJson(
            restic(m_repository, { QStringLiteral("snapshots"), QStringLiteral("--json") }).toUtf8())
                                         .array();
        QCOMPARE(snapshots.size(), 1);
        QCOMPARE(snapshots.at(0).toObject().value(QStringLiteral("id")).toString(), *record.snapshotID);

        const std::optional<BackupRequests::Result> result = requests.result(request.id);
        QVERIFY(result);
        QCOMPARE(result->recordID, record.id);
        QCOMPARE(result->outcome, QStringLiteral("complete"));
        QVERIFY(requests.pending().isEmpty());
    }

    void secondPassLeavesTheWorkToTheFirst()
    {
        FileLock held(AppPaths::schedulerLockFile(), false);
        const Finished run = runApp({ QStringLiteral("--scheduled-run") });
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.stderr.contains(
            QStringLiteral("Vellmir scheduler: another pass is running; this one leaves the work to it.\n")));
    }

    void sealProbeReachesTheKeyring()
    {
        const Finished run = runApp({ QStringLiteral("--check-seal-access") });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.stdout, QStringLiteral("Seal keyring: reachable\n"));
    }

    void generatedUnitsPassSystemdVerification()
    {
        const QString units = m_home->path() + QStringLiteral("/units");
        SystemdAgentService service(
            SystemdAgentService::Options { QStringLiteral(VELLMIR_APP), units, QStringLiteral("true"), {} });
        try {
            service.registerAgent();
        } catch (const Error &error) {
            QFAIL(qPrintable(error.message()));
        }
        QProcess verify;
        verify.setWorkingDirectory(units);
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(QStringLiteral("systemd-analyze"),
            { QStringLiteral("verify"), QStringLiteral("--man=no"), SystemdAgentService::serviceName(),
                SystemdAgentService::timerName() });
        QVERIFY(verify.waitForFinished(60000));
        const QString output = QString::fromUtf8(verify.readAll());
        QVERIFY2(verify.exitCode() == 0, qPrintable(output));
        QVERIFY2(output.trimmed().isEmpty(), qPrintable(output));
    }

    void endingTheProcessRecordsTheBackupCancelled_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("SIGTERM") << "SIGTERM" << 128 + SIGTERM;
        QTest::newRow("SIGINT") << "SIGINT" << 128 + SIGINT;
        QTest::newRow("MCP input closed") << "input" << 0;
        QTest::newRow("scheduled pass, SIGTERM") << "scheduled" << 128 + SIGTERM;
    }
    void endingTheProcessRecordsTheBackupCancelled()
    {
        QFETCH(QString, how);
        QFETCH(int, exitCode);
        // A sparse file of zeros keeps restic reading long enough to be interrupted.
        const QString big = m_home->path() + QStringLiteral("/Documents/zeros.bin");
        {
            QFile file(big);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(64) << 30));
        }
        const auto cleanup = qScopeGuard([&] { QFile::remove(big); });
        QSet<QUuid> before;
        for (const BackupRecord &record : BackupHistory().records(m_destination.id))
            before.insert(record.id);

        QProcess process;
        const bool mcp = how == u"input";
        const bool scheduled = how == u"scheduled";
        if (scheduled)
            BackupRequests().enqueue(m_destination.id, Date::now());
        process.start(QStringLiteral(VELLMIR_APP),
            scheduled ? QStringList { QStringLiteral("--scheduled-run") }
                : mcp ? QStringList { QStringLiteral("cli"), QStringLiteral("mcp") }
                      : QStringList { QStringLiteral("cli"), QStringLiteral("backup"), QStringLiteral("--destination"),
                          m_destination.name, QStringLiteral("--inProcess"), QStringLiteral("true") });
        QVERIFY(process.waitForStarted(10000));
        if (mcp)
            process.write(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"backup",)"
                          R"("arguments":{"destination":"Local copy","inProcess":true}}})"
                          "\n");
        std::optional<QUuid> run;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const BackupRecord &record : BackupHistory().records(m_destination.id))
                    if (!before.contains(record.id) && record.outcome == BackupRecord::Outcome::running)
                        run = record.id;
                return run.has_value();
            }(),
            60000);
        if (mcp)
            process.closeWriteChannel();
        else
            ::kill(pid_t(process.processId()), how == u"SIGINT" ? SIGINT : SIGTERM);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), exitCode);

        std::optional<BackupRecord> recorded;
        for (const BackupRecord &record : BackupHistory().records(m_destination.id))
            if (record.id == *run)
                recorded = record;
        QVERIFY(recorded);
        QVERIFY(recorded->outcome == BackupRecord::Outcome::cancelled);
        QVERIFY(recorded->finishedAt);
    }
};

QTEST_GUILESS_MAIN(ScheduledRunEndToEndTest)
#include "ScheduledRunEndToEndTest.moc"
