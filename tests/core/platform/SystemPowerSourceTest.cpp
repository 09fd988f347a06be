#include "platform/SystemPowerSource.h"
#include "PrivateBus.h"
#include "TestSupport.h"

#include <QDBusConnection>
#include <QThread>
#include <QtTest>

using namespace vellmir;

namespace {
// UPower's manager object, reduced to the one property the power source reads.
class FakeUPower : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UPower")
    Q_PROPERTY(bool OnBattery READ onBattery)

public:
    explicit FakeUPower(bool battery)
        : m_onBattery(battery)
    {
    }
    bool onBattery() const { return m_onBattery; }

private:
    bool m_onBattery;
};

// One supply as the kernel lists it: "name:type:online-or-status[:scope]".
void addSupply(const QString &folder, const QString &spec)
{
    const QStringList parts = spec.split(u':');
    const QString supply = folder + u'/' + parts[0];
    test::writeFile(supply + QStringLiteral("/type"), parts[1].toUtf8() + '\n');
    if (parts[1] == QLatin1String("Battery"))
        test::writeFile(supply + QStringLiteral("/status"), parts[2].toUtf8() + '\n');
    else
        test::writeFile(supply + QStringLiteral("/online"), parts[2].toUtf8() + '\n');
    if (parts.size() > 3)
        test::writeFile(supply + QStringLiteral("/scope"), parts[3].toUtf8() + '\n');
}
} // namespace

class SystemPowerSourceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void kernelSuppliesTellTheProvider_data()
    {
        QTest::addColumn<QStringList>("supplies");
        QTest::addColumn<int>("answer"); // -1 unknown, 0 external power, 1 battery

        QTest::newRow("desktop without supplies") << QStringList {} << -1;
        QTest::newRow("desktop with a mains entry") << QStringList { "AC:Mains:1" } << 0;
        QTest::newRow("laptop plugged in") << QStringList { "AC:Mains:1", "BAT0:Battery:Charging" } << 0;
        QTest::newRow("laptop unplugged, battery full") << QStringList { "AC:Mains:0", "BAT0:Battery:Full" } << 1;
        QTest::newRow("battery discharging, no adapter entry") << QStringList { "BAT0:Battery:Discharging" } << 1;
        QTest::newRow("battery charging, no adapter entry") << QStringList { "BAT0:Battery:Charging" } << -1;
        QTest::newRow("USB-C charger") << QStringList { "ucsi-source-psy-1:USB:1", "BAT0:Battery:Discharging" } << 0;
        QTest::newRow("second adapter online")
            << QStringList { "AC0:Mains:0", "AC1:Mains:1", "BAT0:Battery:Discharging" } << 0;
        QTest::newRow("only a mouse battery") << QStringList { "hidpp_battery_0:Battery:Discharging:Device" } << -1;
        QTest::newRow("mouse battery beside an unplugged laptop")
            << QStringList { "AC:Mains:0", "hidpp_battery_0:Battery:Full:Device", "BAT1:Battery:Discharging" } << 1;
    }

    void kernelSuppliesTellTheProvider()
    {
        QFETCH(QStringList, supplies);
        QFETCH(int, answer);
        QTemporaryDir folder;
        for (const QString &spec : supplies)
            addSupply(folder.path(), spec);
        const std::optional<bool> expected = answer < 0 ? std::nullopt : std::optional<bool>(answer == 1);
        QCOMPARE(SystemPowerSource::powerSupplyAnswer(folder.path()), expected);
    }

    void upowerAnswersFirst()
    {
        test::PrivateBus bus;
        QTemporaryDir folder;
        addSupply(folder.path(), QStringLiteral("AC:Mains:1"));

        // Nobody on the bus: the kernel's answer stands.
        SystemPowerSource power(bus.connect(), folder.path());
        QCOMPARE(power.isOnBattery(), std::optional<bool>(false));

        // UPower serves from a thread of its own while the test blocks in the call.
        QThread thread;
        thread.start();
        FakeUPower upower(true);
        upower.moveToThread(&thread);
        QDBusConnection service = bus.connect();
        QVERIFY(service.registerObject(
            QStringLiteral("/org/freedesktop/UPower"), &upower, QDBusConnection::ExportAllProperties));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.UPower")));
        QCOMPARE(power.isOnBattery(), std::optional<bool>(true));
        service.unregisterObject(QStringLiteral("/org/freedesktop/UPower"));
        thread.quit();
        thread.wait();
    }

    void noBusAndNoSuppliesIsUnknown()
    {
        QTemporaryDir folder;
        SystemPowerSource power(QDBusConnection(QStringLiteral("never-connected")), folder.path());
        QCOMPARE(power.isOnBattery(), std::optional<bool>());
    }
};

QTEST_GUILESS_MAIN(SystemPowerSourceTest)
#include "SystemPowerSourceTest.moc"
