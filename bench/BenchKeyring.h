#pragma once

// A keyring of one's own for each subject of a benchmark: a private D-Bus session bus with an
// unlocked throwaway gnome-keyring on it, whose files live in the subject's home. A subject then
// pays for its own keyring items only, as on a user's machine, never for another subject's.
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QThread>

#include <cstdio>

namespace vellmir::bench {

class PrivateKeyring {
public:
    // Starts the bus and the keyring for the home whose environment this is (its HOME and XDG
    // folders); `runtime` becomes its XDG_RUNTIME_DIR. ok() says whether both came up.
    PrivateKeyring(const QProcessEnvironment &home, const QString &runtime)
    {
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_environment = home;
        m_environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_environment.remove(QStringLiteral("GNOME_KEYRING_CONTROL"));
        m_environment.remove(QStringLiteral("SSH_AUTH_SOCK"));
        m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);

        m_bus.setProcessEnvironment(m_environment);
        m_bus.start(QStringLiteral("dbus-daemon"),
            { QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                QStringLiteral("--address=unix:path=") + runtime + QStringLiteral("/bus") });
        if (!m_bus.waitForStarted() || !m_bus.waitForReadyRead(10000)) {
            std::fprintf(stderr, "could not start a private session bus\n");
            return;
        }
        m_environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(m_bus.readLine().trimmed()));

        m_keyring.setProcessEnvironment(m_environment);
        m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
            { QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets") });
        if (!m_keyring.waitForStarted()) {
            std::fprintf(stderr, "could not start gnome-keyring-daemon\n");
            return;
        }
        m_keyring.write("bench-keyring-password");
        m_keyring.waitForBytesWritten();
        m_keyring.closeWriteChannel();
        for (int i = 0; i < 100; ++i) {
            if (nameHasOwner()) {
                m_ok = true;
                return;
            }
            QThread::msleep(50);
        }
        std::fprintf(stderr, "the private keyring did not start: %s\n", m_keyring.readAllStandardError().constData());
    }

    ~PrivateKeyring()
    {
        for (QProcess *process : { &m_keyring, &m_bus }) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(5000);
        }
    }
    PrivateKeyring(const PrivateKeyring &) = delete;
    PrivateKeyring &operator=(const PrivateKeyring &) = delete;

    bool ok() const { return m_ok; }
    // The home's environment on this bus and keyring.
    const QProcessEnvironment &environment() const { return m_environment; }

private:
    bool nameHasOwner()
    {
        QProcess ask;
        ask.setProcessEnvironment(m_environment);
        ask.start(QStringLiteral("dbus-send"),
            { QStringLiteral("--session"), QStringLiteral("--print-reply"),
                QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                QStringLiteral("string:org.freedesktop.secrets") });
        return ask.waitForFinished(5000) && ask.readAllStandardOutput().contains("boolean true");
    }

    QProcessEnvironment m_environment;
    QProcess m_bus;
    QProcess m_keyring;
    bool m_ok = false;
};

} // namespace vellmir::bench
