// Time from starting the windowed application to its window being mapped, next to a minimal Qt
// window (this program started with --minimal), with 1 and 30 destinations in a real keyring. Needs
// an X server and the private keyring session of scripts/with-keyring, and restic:
//   xvfb-run -a scripts/with-keyring build/bench/WindowMapBench [rounds] [vellmir-app]
// The map is seen as the X server's MapNotify on the root window, so nothing is polled.
#include "BenchTiming.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

const QString password = QStringLiteral("bench-repository-password");

QProcessEnvironment environmentOf(const QString &root)
{
    return vellmir::bench::homeEnvironment(root);
}

bool cli(const QString &app, const QString &root, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.setProcessEnvironment(environmentOf(root));
    process.start(app, QStringList { QStringLiteral("cli") } + arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        std::fprintf(stderr, "cli %s failed: %s%s\n", qPrintable(arguments.join(u' ')),
            process.readAllStandardOutput().constData(), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

// Watches the root window for top-level maps.
class MapWatch {
public:
    MapWatch()
        : m_connection(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(m_connection))
            return;
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, screen->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_connection);
        m_ok = true;
    }
    ~MapWatch() { xcb_disconnect(m_connection); }
    bool ok() const { return m_ok; }

    // Milliseconds from `clock`'s start until a top-level window is mapped; -1 when the
    // connection fails.
    double waitForMap(const QElapsedTimer &clock)
    {
        while (xcb_generic_event_t *event = xcb_wait_for_event(m_connection)) {
            const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
            std::free(event);
            if (mapped)
                return double(clock.nsecsElapsed()) / 1e6;
        }
        return -1;
    }

private:
    xcb_connection_t *m_connection;
    bool m_ok = false;
};

// Starts the program, waits for its window to map and ends it again.
double timeToMap(MapWatch &watch, const QString &program, const QStringList &arguments, const QString &root)
{
    QProcess process;
    process.setProcessEnvironment(environmentOf(root));
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    const double ms = watch.waitForMap(clock);
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
    process.waitForFinished(-1);
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--minimal") {
        QApplication app(argc, argv);
        QWidget window;
        window.resize(900, 600);
        window.show();
        return app.exec();
    }
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const QString vellmir = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(VELLMIR_APP);
    if (qEnvironmentVariable("VELLMIR_TEST_KEYRING") != QStringLiteral("1") || qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "usage: xvfb-run -a scripts/with-keyring %s [rounds] [vellmir-app]\n", argv[0]);
        return 2;
    }
    MapWatch watch;
    if (!watch.ok()) {
        std::fprintf(stderr, "cannot watch the X server\n");
        return 1;
    }

    QTemporaryDir temporary;
    const QString repository = temporary.filePath(QStringLiteral("repository"));
    if (!vellmir::bench::initRepository(QStringLiteral("restic"), repository, password))
        return 1;
    // One sealed empty home, copied for each side: the keyring's seal key is shared.
    const QString empty = temporary.filePath(QStringLiteral("empty"));
    QDir().mkpath(empty + QStringLiteral("/.config/Vellmir"));
    QDir().mkpath(empty + QStringLiteral("/.local/share"));
    {
        QFile defaults(empty + QStringLiteral("/.config/Vellmir/Vellmir.conf"));
        if (!defaults.open(QIODevice::WriteOnly) || defaults.write("[General]\nagentChangesWithoutApproval=true\n") < 0)
            return 1;
    }
    if (!cli(vellmir, empty, { QStringLiteral("status") }))
        return 1;
    const auto home = [&](const QString &name, int destinations) {
        const QString root = temporary.filePath(name);
        QProcess copy;
        copy.start(QStringLiteral("cp"), { QStringLiteral("-a"), empty, root });
        if (!copy.waitForFinished(-1) || copy.exitCode() != 0)
            return QString();
        const QByteArray input = QJsonDocument(QJsonObject { { QStringLiteral("password"), password } }).toJson();
        for (int i = 0; i < destinations; ++i)
            if (!cli(vellmir, root,
                    { QStringLiteral("add-destination"), QStringLiteral("--kind"), QStringLiteral("local"),
                        QStringLiteral("--name"), QStringLiteral("destination %1").arg(i),
                        QStringLiteral("--repository"), repository, QStringLiteral("--json"), QStringLiteral("-") },
                    input))
                return QString();
        return root;
    };
    const QString one = home(QStringLiteral("one"), 1);
    const QString thirty = home(QStringLiteral("thirty"), 30);
    if (one.isEmpty() || thirty.isEmpty())
        return 1;

    vellmir::bench::Alternating runs;
    bool ok = true;
    // Only start to map counts: how long a program takes to quit afterwards is not what is compared.
    const auto timed = [&](const QString &program, const QStringList &arguments, const QString &root) {
        const double ms = timeToMap(watch, program, arguments, root);
        ok = ms >= 0 && ok;
        return ms;
    };
    const QString self = QCoreApplication::applicationFilePath();
    const int minimal
        = runs.addMeasured("minimal Qt window", [&] { return timed(self, { QStringLiteral("--minimal") }, empty); });
    const int withOne = runs.addMeasured("Vellmir window, 1 destination", [&] { return timed(vellmir, {}, one); });
    const int withThirty
        = runs.addMeasured("Vellmir window, 30 destinations", [&] { return timed(vellmir, {}, thirty); });
    runs.run(rounds);
    if (!ok)
        return 1;
    std::printf("time to a mapped window (MapNotify), %d rounds, %s\n", rounds, qPrintable(vellmir));
    runs.printTime(minimal);
    runs.printTime(withOne);
    runs.printTime(withThirty);
    runs.printRatio(withOne, minimal, 2);
    runs.printRatio(withThirty, minimal, 2);
    return 0;
}
