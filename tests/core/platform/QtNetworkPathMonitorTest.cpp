#include "platform/QtNetworkPathMonitor.h"
#include "config/Destination.h"
#include "operations/BackupPolicy.h"
#include "platform/SystemPowerSource.h"

#include <QtTest>

using namespace vellmir;
using R = QNetworkInformation::Reachability;

Q_DECLARE_METATYPE(std::optional<NetworkPath>)

class QtNetworkPathMonitorTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reachabilityMapsToPaths_data()
    {
        QTest::addColumn<R>("reachability");
        QTest::addColumn<bool>("metered");
        QTest::addColumn<std::optional<NetworkPath>>("path");

        QTest::newRow("unknown waits") << R::Unknown << false << std::optional<NetworkPath>();
        QTest::newRow("disconnected") << R::Disconnected << false << std::optional(NetworkPath { false, false, false });
        QTest::newRow("link-local only") << R::Local << false << std::optional(NetworkPath { false, false, false });
        QTest::newRow("site without internet") << R::Site << false << std::optional(NetworkPath { true, false, false });
        QTest::newRow("online") << R::Online << false << std::optional(NetworkPath { true, false, false });
        QTest::newRow("online, metered") << R::Online << true << std::optional(NetworkPath { true, true, false });
    }

    void reachabilityMapsToPaths()
    {
        QFETCH(R, reachability);
        QFETCH(bool, metered);
        QFETCH(std::optional<NetworkPath>, path);
        QVERIFY(QtNetworkPathMonitor::pathFor(reachability, metered) == path);
    }

    // Whatever this machine offers (NetworkManager, GLib's monitor or nothing at all), a check
    // comes back with one of the policy's answers instead of hanging.
    void systemLayersAnswer()
    {
        Destination destination;
        destination.kind = Destination::Kind::sftp;
        destination.repository = QStringLiteral("sftp:backup@nas:/srv/restic");
        const std::optional<QString> reason = BackupPolicy::standard().deferReason(destination);
        const QStringList allowed { BackupPolicy::waitingForNetwork(), BackupPolicy::waitingForUnrestrictedNetwork(),
            BackupPolicy::networkUndetermined() };
        QVERIFY2(!reason || allowed.contains(*reason), qPrintable(reason.value_or(QString())));
        qInfo() << "backend:"
                << (QNetworkInformation::instance() ? QNetworkInformation::instance()->backendName() : "none")
                << "answer:" << reason.value_or(QStringLiteral("(run)"));
    }

    void cancelledMonitorStaysQuiet()
    {
        QtNetworkPathMonitor monitor;
        int reports = 0;
        monitor.start([&](const NetworkPath &) {
            ++reports;
            monitor.cancel(); // from inside the handler, as the policy does
        });
        const int afterStart = reports;
        QVERIFY(afterStart <= 1);
        monitor.cancel();
        QTest::qWait(50);
        QCOMPARE(reports, afterStart);
    }
};

QTEST_GUILESS_MAIN(QtNetworkPathMonitorTest)
#include "QtNetworkPathMonitorTest.moc"
