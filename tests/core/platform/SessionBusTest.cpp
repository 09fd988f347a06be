#include "platform/SessionBus.h"
#include "platform/DesktopSession.h"

#include "PrivateBus.h"
#include "util/ShutdownSignals.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace vellmir;

namespace {
// The systemd user manager as far as the display look-up asks it: its environment.
class FakeManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Manager")
    Q_PROPERTY(QStringList Environment READ environment)

public:
    QStringList environment() const
    {
        return { QStringLiteral("PATH=/manager/bin"), QStringLiteral("DISPLAY=:0"),
            QStringLiteral("XAUTHORITY=/run/user/1000/.mutter-Xwaylandauth.X1"),
            QStringLiteral("XDG_SESSION_TYPE=wayland"), QStringLiteral("WAYLAND_DISPLAY=wayland-0"),
            QStringLiteral("XDG_RUNTIME_DIR=/run/user/1000") };
    }
};
} // namespace

class SessionBusTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // MCP clients start the server with only HOME, LOGNAME, PATH, SHELL, TERM and USER set.
    void addressIsFoundWithoutTheVariables_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<bool>("runtimeDirectory"); // XDG_RUNTIME_DIR set to a folder
        QTest::addColumn<QStringList>("sockets"); // "runtime" and/or "user" bus sockets that exist
        QTest::addColumn<QString>("expected"); // "runtime", "user", a literal address or empty
        QTest::newRow("variable wins") << QStringLiteral("unix:path=/given") << true
                                       << QStringList { QStringLiteral("runtime"), QStringLiteral("user") }
                                       << QStringLiteral("unix:path=/given");
        QTest::newRow("runtime folder") << QString() << true
                                        << QStringList { QStringLiteral("runtime"), QStringLiteral("user") }
                                        << QStringLiteral("runtime");
        QTest::newRow("runtime folder without bus")
            << QString() << true << QStringList { QStringLiteral("user") } << QStringLiteral("user");
        QTest::newRow("pared-down environment")
            << QString() << false << QStringList { QStringLiteral("user") } << QStringLiteral("user");
        QTest::newRow("no bus anywhere") << QString() << true << QStringList() << QString();
    }

    void addressIsFoundWithoutTheVariables()
    {
        QFETCH(QString, variable);
        QFETCH(bool, runtimeDirectory);
        QFETCH(QStringList, sockets);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString runtime = dir.filePath(QStringLiteral("runtime"));
        const QString userRoot = dir.filePath(QStringLiteral("run-user"));
        const QString user = userRoot + u'/' + QString::number(::getuid());
        QVERIFY(QDir().mkpath(runtime) && QDir().mkpath(user));
        for (const QString &socket : sockets) {
            QFile file((socket == u"runtime" ? runtime : user) + QStringLiteral("/bus"));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("HOME"), dir.path());
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        if (!variable.isEmpty())
            environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), variable);
        if (runtimeDirectory)
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);

        if (expected == u"runtime")
            expected = QStringLiteral("unix:path=") + runtime + QStringLiteral("/bus");
        else if (expected == u"user")
            expected = QStringLiteral("unix:path=") + user + QStringLiteral("/bus");
        QCOMPARE(SessionBus::address(environment, userRoot), expected);
    }

    // A server started with only HOME, LOGNAME, PATH, SHELL, TERM and USER still finds the
    // desktop session's display for its dialogs; a display it was given stays.
    void displayIsFoundWithoutTheVariables_data()
    {
        QTest::addColumn<QStringList>("given"); // NAME=value
        QTest::addColumn<bool>("manager"); // the systemd user manager answers
        QTest::addColumn<QStringList>("sockets"); // "runtime/wayland-1", "user/wayland-0", ...
        QTest::addColumn<QStringList>("expected"); // NAME=value of the display variables; <runtime>, <user>
        const QStringList fromManager { "DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0",
            "XAUTHORITY=/run/user/1000/.mutter-Xwaylandauth.X1", "XDG_SESSION_TYPE=wayland",
            "XDG_RUNTIME_DIR=/run/user/1000" };
        QTest::newRow("given display stays")
            << QStringList { "DISPLAY=:5" } << true << QStringList {} << QStringList { "DISPLAY=:5" };
        QTest::newRow("manager") << QStringList {} << true << QStringList { "user/wayland-0" } << fromManager;
        QTest::newRow("runtime socket") << QStringList { "XDG_RUNTIME_DIR=<runtime>" } << false
                                        << QStringList { "runtime/wayland-1.lock", "runtime/wayland-1" }
                                        << QStringList { "WAYLAND_DISPLAY=wayland-1", "XDG_SESSION_TYPE=wayland",
                                               "XDG_RUNTIME_DIR=<runtime>" };
        QTest::newRow("user socket") << QStringList {} << false << QStringList { "user/wayland-0" }
                                     << QStringList { "WAYLAND_DISPLAY=wayland-0", "XDG_SESSION_TYPE=wayland",
                                            "XDG_RUNTIME_DIR=<user>" };
        QTest::newRow("nothing") << QStringList {} << false << QStringList { "user/wayland-0.lock" } << QStringList {};
    }

    void displayIsFoundWithoutTheVariables()
    {
        QFETCH(QStringList, given);
        QFETCH(bool, manager);
        QFETCH(QStringList, sockets);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString runtime = dir.filePath(QStringLiteral("runtime"));
        const QString userRoot = dir.filePath(QStringLiteral("run-user"));
        const QString user = userRoot + u'/' + QString::number(::getuid());
        QVERIFY(QDir().mkpath(runtime) && QDir().mkpath(user));
        for (const QString &socket : sockets) {
            QFile file(socket.startsWith(u"user") ? user + socket.mid(4) : dir.filePath(socket));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const auto substituted = [&](QString entry) {
            return entry.replace(QStringLiteral("<runtime>"), runtime).replace(QStringLiteral("<user>"), user);
        };
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("HOME"), dir.path());
        for (const QString &entry : given)
            environment.insert(entry.section(u'=', 0, 0), substituted(entry.section(u'=', 1)));

        test::PrivateBus bus;
        QThread thread;
        thread.start();
        FakeManager fake;
        fake.moveToThread(&thread);
        QDBusConnection service = bus.connect();
        if (manager) {
            QVERIFY(service.registerObject(
                QStringLiteral("/org/freedesktop/systemd1"), &fake, QDBusConnection::ExportAllProperties));
            QVERIFY(service.registerService(QStringLiteral("org.freedesktop.systemd1")));
        }
        const QDBusConnection client = bus.connect();
        const QProcessEnvironment found = DesktopSession::located(
            environment, [&] { return DesktopSession::managerEnvironment(client); }, userRoot);
        service.unregisterObject(QStringLiteral("/org/freedesktop/systemd1"));
        thread.quit();
        thread.wait();

        QStringList actual;
        for (const QString &name : DesktopSession::variables() + QStringList { QStringLiteral("XDG_RUNTIME_DIR") })
            if (found.contains(name))
                actual.append(name + u'=' + found.value(name));
        for (QString &entry : expected)
            entry = substituted(entry);
        actual.sort();
        expected.sort();
        QCOMPARE(actual, expected);
        QCOMPARE(found.value(QStringLiteral("PATH")), QString()); // only the display's variables are taken
    }

    // A folder name holding the address syntax's own characters stays one path.
    void addressEscapesTheSocketPath()
    {
        QTemporaryDir dir;
        const QString runtime = dir.filePath(QStringLiteral("run time,x=1"));
        QVERIFY(QDir().mkpath(runtime));
        QFile socket(runtime + QStringLiteral("/bus"));
        QVERIFY(socket.open(QIODevice::WriteOnly));
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        QCOMPARE(SessionBus::address(environment, dir.filePath(QStringLiteral("none"))),
            QStringLiteral("unix:path=") + dir.path() + QStringLiteral("/run%20time%2cx%3d1/bus"));
    }

    // A bus that takes the connection but never answers (stopped, wedged) holds nobody past a
    // signal asking the process to stop. Runs the child below in a process of its own.
    void aStopSignalEndsTheWaitForASilentBus()
    {
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("bus")));
        const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()) + 1);
        QVERIFY(::bind(silent, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(silent, 8) == 0); // and never accepts
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VELLMIR_SILENT_BUS_CHILD"), QStringLiteral("1"));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + path);
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("silentBusChild") });
        QVERIFY(child.waitForFinished(60000));
        ::close(silent);
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
        QVERIFY2(output.contains("PASS   : SessionBusTest::silentBusChild()"), output.constData());
    }

    void silentBusChild()
    {
        if (qEnvironmentVariableIsEmpty("VELLMIR_SILENT_BUS_CHILD"))
            QSKIP("Runs only as the child process of aStopSignalEndsTheWaitForASilentBus.");
        const std::stop_token stop = ShutdownSignals::install();
        const std::jthread signal([] {
            QThread::msleep(300);
            ::kill(::getpid(), SIGTERM);
        });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!SessionBus::connection().isConnected());
        QVERIFY(stop.stop_requested());
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(SessionBusTest)
#include "SessionBusTest.moc"
