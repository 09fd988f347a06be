#include "platform/SessionBus.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace vellmir;

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
};

QTEST_GUILESS_MAIN(SessionBusTest)
#include "SessionBusTest.moc"
