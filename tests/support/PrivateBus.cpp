#include "PrivateBus.h"

#include <QFile>
#include <QUuid>
#include <stdexcept>

namespace vellmir::test {

PrivateBus::PrivateBus()
{
    if (!m_dir.isValid())
        throw std::runtime_error("could not create a folder for the private bus");
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("could not write the private bus configuration");
    file.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                   .arg(m_dir.path())
                   .toUtf8());
    file.close();

    m_daemon.setProgram(QStringLiteral("dbus-daemon"));
    m_daemon.setArguments({ QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
        QStringLiteral("--nopidfile"), QStringLiteral("--print-address") });
    // Its standard error only matters when it fails to start (as root it also complains that
    // it may not raise its descriptor limit).
    m_daemon.start();
    if (!m_daemon.waitForStarted(5000))
        throw std::runtime_error("dbus-daemon did not start");
    while (!m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(5000))
            throw std::runtime_error(
                "dbus-daemon did not print its address: " + m_daemon.readAllStandardError().toStdString());
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus()
{
    for (const QString &name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(3000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(3000);
    }
}

QDBusConnection PrivateBus::connect()
{
    const QString name = QStringLiteral("vellmir-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QDBusConnection connection = QDBusConnection::connectToBus(m_address, name);
    if (!connection.isConnected())
        throw std::runtime_error("could not connect to the private bus");
    m_connections << name;
    return connection;
}

void PrivateBus::disconnect(const QDBusConnection &connection)
{
    const QString name = connection.name();
    m_connections.removeAll(name);
    QDBusConnection::disconnectFromBus(name);
}

} // namespace vellmir::test
