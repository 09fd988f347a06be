#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace vellmir::test {

// A D-Bus daemon of the test's own, with no activatable services, so nothing on it answers
// unless the test put it there. Stands in for the session or the system bus; code under test
// gets a connection to it through its constructor.
class PrivateBus {
public:
    PrivateBus(); // throws std::runtime_error when the daemon does not start
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    QString address() const { return m_address; }
    // A new connection to the bus, closed when the bus object goes away (or by disconnect()).
    QDBusConnection connect();
    void disconnect(const QDBusConnection &connection);

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
};

} // namespace vellmir::test
