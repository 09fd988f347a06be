#include "operations/BackupNotifications.h"
#include "FakePlatform.h"
#include "PrivateBus.h"
#include "TestNotificationServer.h"
#include "TestSupport.h"
#include "config/Destination.h"
#include "config/UserDefaults.h"
#include "operations/NotificationPermission.h"
#include "platform/DesktopNotifier.h"

#include <QProcess>
#include <QtTest>

using namespace vellmir;

namespace {
const QUuid firstDestination = QUuid::fromString(QStringLiteral("5a0f8e43-1c2b-4d6e-9f70-8a9b0c1d2e3f"));
const QUuid secondDestination = QUuid::fromString(QStringLiteral("0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0"));

void authorize(bool on = true)
{
    UserDefaults defaults;
    defaults.setValue(NotificationPermission::defaultsKey, on);
}

QString idMapFile(const test::TestHome &home)
{
    return home.dataDirectory() + QStringLiteral("/notifications.json");
}

Destination destination(const QUuid &id, const QString &name)
{
    Destination d;
    d.id = id;
    d.credentialID = id;
    d.name = name;
    return d;
}
} // namespace

class BackupNotificationsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void idsCarryTheUpperCaseDestinationId()
    {
        QCOMPARE(BackupNotifications::overdueId(firstDestination),
            QStringLiteral("overdue-5A0F8E43-1C2B-4D6E-9F70-8A9B0C1D2E3F"));
        const NotificationContent backup = BackupNotifications::backupNeedsAttention(
            destination(firstDestination, QStringLiteral("Photos")), QStringLiteral("incomplete"));
        QCOMPARE(backup.id, QStringLiteral("backup-5A0F8E43-1C2B-4D6E-9F70-8A9B0C1D2E3F"));
        QCOMPARE(backup.title, QStringLiteral("Photos: backup needs attention"));
        QCOMPARE(backup.body, QStringLiteral("The latest backup is incomplete. Open Vellmir to review its result."));
        // Both settings notices share one id, so the later replaces the earlier.
        QCOMPARE(
            BackupNotifications::settingsFromAnotherComputer().id, BackupNotifications::settingsChangedOutside().id);
    }

    void silentUnlessAuthorized_data()
    {
        QTest::addColumn<int>("stored"); // -1: nothing stored
        QTest::addColumn<bool>("insideApplication");
        QTest::newRow("never enabled") << -1 << true;
        QTest::newRow("disabled") << 0 << true;
        QTest::newRow("outside the application") << 1 << false;
    }

    void silentUnlessAuthorized()
    {
        QFETCH(int, stored);
        QFETCH(bool, insideApplication);
        test::TestHome home;
        if (stored >= 0)
            authorize(stored == 1);
        auto notifier = std::make_shared<test::FakeNotifier>();
        notifier->failure = QStringLiteral("must not be called"); // and nothing may be logged
        const BackupNotifications notifications(notifier, idMapFile(home), {}, insideApplication);
        notifications.send(BackupNotifications::scheduleNeedsAttention());
        QVERIFY(notifier->calls.isEmpty());
        QVERIFY(!QFile::exists(idMapFile(home)));
    }

    void sameIdReplacesAcrossProcesses()
    {
        test::TestHome home;
        authorize();
        auto notifier = std::make_shared<test::FakeNotifier>();
        const Destination photos = destination(firstDestination, QStringLiteral("Photos"));
        const Destination work = destination(secondDestination, QStringLiteral("Work"));
        // Each object stands for a process of its own: only the id file connects them.
        BackupNotifications(notifier, idMapFile(home))
            .send(BackupNotifications::backupOverdue(photos, QStringLiteral("Waiting for AC power.")));
        BackupNotifications(notifier, idMapFile(home))
            .send(BackupNotifications::backupOverdue(work, QStringLiteral("Waiting for AC power.")));
        BackupNotifications(notifier, idMapFile(home))
            .send(BackupNotifications::backupOverdue(photos, QStringLiteral("Waiting for a network connection.")));

        QCOMPARE(notifier->calls.size(), 3);
        QCOMPARE(notifier->calls[0].replaces, 0u);
        QCOMPARE(notifier->calls[1].replaces, 0u);
        QCOMPARE(notifier->calls[2].replaces, notifier->calls[0].id);
        QCOMPARE(notifier->calls[2].body, QStringLiteral("Waiting for a network connection."));
    }

    void restartedServerGetsNoStaleNumber()
    {
        test::TestHome home;
        authorize();
        auto notifier = std::make_shared<test::FakeNotifier>();
        const BackupNotifications notifications(notifier, idMapFile(home));
        notifications.send(BackupNotifications::scheduleNeedsAttention());
        notifier->instance = QStringLiteral("fake-bus/:1.99");
        notifications.send(BackupNotifications::scheduleNeedsAttention());
        QCOMPARE(notifier->calls.size(), 2);
        QCOMPARE(notifier->calls[1].replaces, 0u);
        // The new server's number is what counts from now on.
        notifications.send(BackupNotifications::scheduleNeedsAttention());
        QCOMPARE(notifier->calls[2].replaces, notifier->calls[1].id);
    }

    void damagedIdFileIsStartedAfresh_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{\"scheduler\": ");
        QTest::newRow("array") << QByteArray("[1, 2]");
        QTest::newRow("bad entry") << QByteArray(R"({"scheduler": {"server": "fake-bus/:1.1", "number": -4}})");
    }

    void damagedIdFileIsStartedAfresh()
    {
        QFETCH(QByteArray, content);
        test::TestHome home;
        authorize();
        test::writeFile(idMapFile(home), content);
        auto notifier = std::make_shared<test::FakeNotifier>();
        const BackupNotifications notifications(notifier, idMapFile(home));
        notifications.send(BackupNotifications::scheduleNeedsAttention());
        notifications.send(BackupNotifications::scheduleNeedsAttention());
        QCOMPARE(notifier->calls.size(), 2);
        QCOMPARE(notifier->calls[0].replaces, 0u);
        QCOMPARE(notifier->calls[1].replaces, notifier->calls[0].id);
    }

    void failedDeliveryIsLoggedNotThrown()
    {
        test::TestHome home;
        authorize();
        auto notifier = std::make_shared<test::FakeNotifier>();
        notifier->failure = QStringLiteral("The name is not activatable");
        QTest::ignoreMessage(
            QtWarningMsg, "Vellmir could not deliver a backup notification: The name is not activatable");
        BackupNotifications(notifier, idMapFile(home)).send(BackupNotifications::scheduleNeedsAttention());
        QVERIFY(notifier->calls.isEmpty());
    }

    void enableNeedsAnAnsweringServer()
    {
        test::TestHome home;
        UserDefaults defaults;
        test::FakeNotifier notifier;
        notifier.available = false;
        QVERIFY(!NotificationPermission::enable(notifier, defaults));
        QVERIFY(!defaults.contains(NotificationPermission::defaultsKey));
        notifier.available = true;
        QVERIFY(NotificationPermission::enable(notifier, defaults));
        QVERIFY(NotificationPermission::isAuthorized(UserDefaults()));
        NotificationPermission::disable(defaults);
        QVERIFY(!NotificationPermission::isAuthorized(UserDefaults()));
    }

    // The rest runs against a notification server on a bus of the test's own.

    void serverReceivesOneNotificationPerId()
    {
        test::TestHome home;
        test::PrivateBus bus;
        test::TestNotificationServer server(bus.connect(), true);
        QVERIFY(server.registerOnBus());
        auto notifier = std::make_shared<DesktopNotifier>(bus.connect());

        const BackupNotifications notifications(notifier, idMapFile(home));
        notifications.send(BackupNotifications::settingsFromAnotherComputer());
        QVERIFY(server.received().isEmpty()); // not enabled yet

        UserDefaults defaults;
        QVERIFY(NotificationPermission::enable(*notifier, defaults));
        notifications.send(BackupNotifications::settingsFromAnotherComputer());
        notifications.send(BackupNotifications::scheduleNeedsAttention());
        // Another process, the same condition: the earlier notice gives way.
        BackupNotifications(std::make_shared<DesktopNotifier>(bus.connect()), idMapFile(home))
            .send(BackupNotifications::settingsChangedOutside());

        const QList<test::ReceivedNotification> received = server.received();
        QCOMPARE(received.size(), 3);
        QCOMPARE(received[0].appName, QStringLiteral("Vellmir"));
        QCOMPARE(received[0].replacesId, 0u);
        QCOMPARE(received[1].replacesId, 0u);
        QCOMPARE(received[2].replacesId, received[0].id);
        const QMap<quint32, test::ReceivedNotification> shown = server.shown();
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown[received[0].id].title, QStringLiteral("Vellmir's settings were changed outside the app"));
        QCOMPARE(shown[received[0].id].body,
            QStringLiteral(
                "Backups continue with the settings Vellmir last saved. Open Vellmir to review the change."));
    }

    void restartedServerStartsAfresh()
    {
        test::TestHome home;
        authorize();
        test::PrivateBus bus;
        auto notifier = std::make_shared<DesktopNotifier>(bus.connect());
        const BackupNotifications notifications(notifier, idMapFile(home));
        const QDBusConnection firstConnection = bus.connect();
        {
            test::TestNotificationServer first(firstConnection, true);
            QVERIFY(first.registerOnBus());
            notifications.send(BackupNotifications::scheduleNeedsAttention());
            QCOMPARE(first.received().size(), 1);
        }
        bus.disconnect(firstConnection);
        test::TestNotificationServer second(bus.connect(), true);
        QVERIFY(second.registerOnBus());
        notifications.send(BackupNotifications::scheduleNeedsAttention());
        QCOMPARE(second.received().size(), 1);
        QCOMPARE(second.received().constFirst().replacesId, 0u);
    }

    void markupServersGetEscapedBodies()
    {
        test::TestHome home;
        authorize();
        test::PrivateBus bus;
        test::TestNotificationServer server(
            bus.connect(), true, { QStringLiteral("body"), QStringLiteral("body-markup") });
        QVERIFY(server.registerOnBus());
        BackupNotifications(std::make_shared<DesktopNotifier>(bus.connect()), idMapFile(home))
            .send(QStringLiteral("scheduler"), QStringLiteral("R&D <nas>"), QStringLiteral("R&D <nas>"));
        QCOMPARE(server.received().size(), 1);
        QCOMPARE(server.received()[0].title, QStringLiteral("R&D <nas>"));
        QCOMPARE(server.received()[0].body, QStringLiteral("R&amp;D &lt;nas&gt;"));
    }

    void missingServerIsLoggedAndRefusesEnabling()
    {
        test::TestHome home;
        test::PrivateBus bus;
        auto notifier = std::make_shared<DesktopNotifier>(bus.connect());
        UserDefaults defaults;
        QVERIFY(!NotificationPermission::enable(*notifier, defaults));

        authorize(); // enabled earlier on a desktop that had a server
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("^Vellmir could not deliver a backup notification: .+")));
        BackupNotifications(notifier, idMapFile(home)).send(BackupNotifications::scheduleNeedsAttention());
    }

    void serverProgramRecordsForOtherProcesses()
    {
        test::TestHome home;
        authorize();
        test::PrivateBus bus;
        const QString record = home.path() + QStringLiteral("/received.jsonl");
        QProcess server;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        server.setProcessEnvironment(environment);
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(test::buildPath(QStringLiteral("tests/vellmir-test-notification-server")), { record });
        QVERIFY(server.waitForStarted());
        QTRY_VERIFY(server.canReadLine());
        QCOMPARE(server.readLine(), QByteArray("ready\n"));

        const BackupNotifications notifications(std::make_shared<DesktopNotifier>(bus.connect()), idMapFile(home));
        const Destination photos = destination(firstDestination, QStringLiteral("Photos"));
        notifications.send(BackupNotifications::storageExceedsBudget(photos));
        notifications.send(BackupNotifications::storageExceedsBudget(photos));
        server.terminate();
        QVERIFY(server.waitForFinished());

        const QList<test::ReceivedNotification> received = test::TestNotificationServer::readRecordFile(record);
        QCOMPARE(received.size(), 2);
        QCOMPARE(received[0].title, QStringLiteral("Photos: storage estimate exceeds budget"));
        QCOMPARE(received[1].replacesId, received[0].id);
        QCOMPARE(received[1].id, received[0].id);
    }
};

QTEST_GUILESS_MAIN(BackupNotificationsTest)
#include "BackupNotificationsTest.moc"
