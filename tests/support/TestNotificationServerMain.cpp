// A notification server for end-to-end tests: serves org.freedesktop.Notifications on the
// session bus of its environment and appends every notification it receives to the file
// named on its command line, one JSON line each. Prints "ready" once it owns the name.
#include "TestNotificationServer.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RECORD-FILE\n", argv[0]);
        return 2;
    }
    vellmir::test::TestNotificationServer server(QDBusConnection::sessionBus(), false);
    server.setRecordFile(QString::fromLocal8Bit(argv[1]));
    if (!server.registerOnBus()) {
        std::fprintf(stderr, "could not register org.freedesktop.Notifications\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
