#include "operations/BackupPolicy.h"
#include "FakePlatform.h"
#include "TestSupport.h"
#include "config/Destination.h"

#include <QtTest>
#include <thread>

using namespace vellmir;
using namespace std::chrono_literals;

namespace {
struct Setup {
    std::shared_ptr<test::FakePowerSource> power = std::make_shared<test::FakePowerSource>();
    std::shared_ptr<test::FakeNetwork> network = std::make_shared<test::FakeNetwork>();

    BackupPolicy policy(std::chrono::milliseconds timeout = 10s) const
    {
        return BackupPolicy(
            power, [network = network] { return std::make_unique<test::FakeNetworkPathMonitor>(network); }, timeout);
    }
};

Destination remote(Destination::Kind kind = Destination::Kind::sftp)
{
    Destination d;
    d.kind = kind;
    d.repository = QStringLiteral("sftp:backup@nas:/srv/restic");
    return d;
}

const NetworkPath good { true, false, false };
const NetworkPath offline { false, false, false };
} // namespace

Q_DECLARE_METATYPE(Destination::Kind)
Q_DECLARE_METATYPE(NetworkPath)

class BackupPolicyTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void firstFailingCheckAnswers_data()
    {
        QTest::addColumn<Destination::Kind>("kind");
        QTest::addColumn<int>("preferences"); // 0: none; 1: onlyOnAC; 2: metered allowed
        QTest::addColumn<int>("battery"); // -1: unknown
        QTest::addColumn<QString>("repository"); // local: "folder", "file" or "missing", maybe after "local:"
        QTest::addColumn<NetworkPath>("path");
        QTest::addColumn<QString>("answer"); // empty: may run

        const auto sftp = Destination::Kind::sftp;
        const auto local = Destination::Kind::local;
        const NetworkPath expensive { true, true, false };
        const NetworkPath constrained { true, false, true };
        const NetworkPath both { true, true, true };
        const QString power = BackupPolicy::waitingForPower();
        const QString disk = BackupPolicy::waitingForLocalRepository();
        const QString network = BackupPolicy::waitingForNetwork();
        const QString unrestricted = BackupPolicy::waitingForUnrestrictedNetwork();

        QTest::newRow("defaults on battery") << sftp << 0 << 1 << QString() << good << QString();
        QTest::newRow("defaults on an expensive path") << sftp << 0 << 0 << QString() << expensive << unrestricted;
        QTest::newRow("AC wanted, on battery") << sftp << 1 << 1 << QString() << good << power;
        QTest::newRow("AC wanted, on AC") << sftp << 1 << 0 << QString() << good << QString();
        QTest::newRow("AC wanted, power unknown") << sftp << 1 << -1 << QString() << good << QString();
        QTest::newRow("AC wanted, on battery, local") << local << 1 << 1 << "folder" << offline << power;
        QTest::newRow("local folder, no network") << local << 0 << 0 << "folder" << offline << QString();
        QTest::newRow("local regular file") << local << 0 << 0 << "file" << offline << QString();
        QTest::newRow("local missing") << local << 1 << 0 << "missing" << good << disk;
        QTest::newRow("local: folder") << local << 0 << 0 << "local:folder" << offline << QString();
        QTest::newRow("local: missing") << local << 0 << 0 << "local:missing" << good << disk;
        QTest::newRow("offline") << sftp << 0 << 0 << QString() << offline << network;
        QTest::newRow("offline, metered allowed") << sftp << 2 << 0 << QString() << offline << network;
        test::dataRow("offline and expensive", sftp, 0, 0, QString(), NetworkPath { false, true, true }, network);
        QTest::newRow("constrained") << sftp << 0 << 0 << QString() << constrained << unrestricted;
        QTest::newRow("expensive and constrained") << sftp << 0 << 0 << QString() << both << unrestricted;
        QTest::newRow("expensive, metered allowed") << sftp << 2 << 0 << QString() << both << QString();
        test::dataRow("B2 on a good path", Destination::Kind::backblazeB2, 0, 0, QString(), good, QString());
        QTest::newRow("S3 offline") << Destination::Kind::s3 << 0 << 0 << QString() << offline << network;
    }

    void firstFailingCheckAnswers()
    {
        QFETCH(Destination::Kind, kind);
        QFETCH(int, preferences);
        QFETCH(int, battery);
        QFETCH(QString, repository);
        QFETCH(NetworkPath, path);
        QFETCH(QString, answer);

        Setup setup;
        setup.power->onBattery = battery < 0 ? std::nullopt : std::optional<bool>(battery == 1);
        setup.network->reportsOnStart = { path };
        Destination destination = remote(kind);
        if (preferences != 0) {
            BackupPreferences chosen;
            chosen.onlyOnAC = preferences == 1;
            chosen.avoidMeteredNetworks = preferences != 2;
            destination.preferences = chosen;
        }
        QTemporaryDir folder;
        if (kind == Destination::Kind::local) {
            const QString scheme
                = repository.startsWith(QLatin1String("local:")) ? QStringLiteral("local:") : QString();
            repository.remove(0, scheme.size());
            destination.repository = scheme + folder.filePath(repository);
            if (repository == QLatin1String("folder"))
                QVERIFY(QDir().mkpath(folder.filePath(repository)));
            else if (repository == QLatin1String("file"))
                test::writeFile(folder.filePath(repository), "config");
        }

        const std::optional<QString> reason = setup.policy().deferReason(destination);
        QCOMPARE(reason.value_or(QString()), answer);
        QCOMPARE(reason.has_value(), !answer.isEmpty());
        // Local destinations never look at the network; every started monitor is cancelled once.
        QCOMPARE(setup.network->started,
            kind == Destination::Kind::local ? 0 : (answer == BackupPolicy::waitingForPower() ? 0 : 1));
        QCOMPARE(setup.network->cancelled, setup.network->started);
    }

    void localPathIsTakenAsStored()
    {
        test::TestHome home;
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/restic")));
        Destination destination = remote(Destination::Kind::local);
        destination.repository = QStringLiteral("~/restic");
        QCOMPARE(Setup().policy().deferReason(destination), std::optional(BackupPolicy::waitingForLocalRepository()));
    }

    void silentMonitorTimesOut()
    {
        Setup setup;
        const std::optional<QString> reason = setup.policy(20ms).deferReason(remote());
        QCOMPARE(reason, std::optional(BackupPolicy::networkUndetermined()));
        // A report after the time-out changes nothing and cancels nothing again.
        setup.network->report(good);
        QCOMPARE(setup.network->cancelled, 1);
    }

    void firstOfTwoReportsDecides()
    {
        Setup setup;
        setup.network->reportsOnStart = { offline, good };
        QCOMPARE(setup.policy().deferReason(remote()), std::optional(BackupPolicy::waitingForNetwork()));
        QCOMPARE(setup.network->cancelled, 1);

        setup.network->reportsOnStart = { good, offline };
        QCOMPARE(setup.policy().deferReason(remote()), std::optional<QString>());
        QCOMPARE(setup.network->cancelled, 2);
    }

    void reportFromAnotherThreadIsAwaited()
    {
        Setup setup;
        std::thread reporter([network = setup.network] {
            while (true) {
                {
                    std::lock_guard lock(network->mutex);
                    if (network->started == 1)
                        break;
                }
                std::this_thread::yield();
            }
            network->report(offline);
            network->report(good);
        });
        const std::optional<QString> reason = setup.policy(10min).deferReason(remote());
        reporter.join();
        QCOMPARE(reason, std::optional(BackupPolicy::waitingForNetwork()));
        QCOMPARE(setup.network->cancelled, 1);
    }

    void reportThroughTheEventLoopArrives()
    {
        // The network backend reports on the main thread's event loop; a caller waiting there
        // must keep the loop turning or it would only ever see the time-out.
        Setup setup;
        QTimer::singleShot(0, [network = setup.network] { network->report(NetworkPath { true, true, false }); });
        QCOMPARE(
            setup.policy(10min).deferReason(remote()), std::optional(BackupPolicy::waitingForUnrestrictedNetwork()));
    }

    void stopRequestEndsTheWait()
    {
        Setup setup;
        std::stop_source stop;
        std::thread canceller([&] {
            while (true) {
                {
                    std::lock_guard lock(setup.network->mutex);
                    if (setup.network->started == 1)
                        break;
                }
                std::this_thread::yield();
            }
            stop.request_stop();
        });
        const std::optional<QString> reason = setup.policy(10min).deferReason(remote(), stop.get_token());
        canceller.join();
        QCOMPARE(reason, std::optional(BackupPolicy::networkUndetermined()));
    }
};

QTEST_GUILESS_MAIN(BackupPolicyTest)
#include "BackupPolicyTest.moc"
