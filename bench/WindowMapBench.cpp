// Time from starting the windowed application to its window showing its rows filled in, next to
// a minimal Qt window showing 30 rows of a name, a line of text and a button (this program
// started with --minimal), with 1 and 30 destinations that back up a folder daily (20 history
// records each, made with their settings). Needs an X server, restic, gnome-keyring-daemon and
// dbus-daemon:
//   xvfb-run -a build/bench/WindowMapBench [rounds] [vellmir-app]
// Each home has its own session bus and keyring (BenchHome.h). The map is seen as the X server's
// MapNotify on the root window; from then on the window's pixels are read every few
// milliseconds, and the figure is the time of their last change before they stay still for a
// second and a half: the moment the user sees the window as it stays, rows filled in. The time
// to the map is printed beside it.
#include "BenchHome.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

using vellmir::bench::Home;

const QString password = QStringLiteral("bench-repository-password");

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

    // Milliseconds from `clock`'s start until a top-level window is mapped, and that window;
    // -1 when the connection fails.
    double waitForMap(const QElapsedTimer &clock, xcb_window_t &window)
    {
        while (xcb_generic_event_t *event = xcb_wait_for_event(m_connection)) {
            const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
            if (mapped)
                window = reinterpret_cast<xcb_map_notify_event_t *>(event)->window;
            std::free(event);
            if (mapped)
                return double(clock.nsecsElapsed()) / 1e6;
        }
        return -1;
    }

    // Milliseconds from `clock`'s start to the last change of the window's pixels before they
    // stayed the same for `still` ms (at most 20 s in all); -1 when they cannot be read.
    double waitForStill(const QElapsedTimer &clock, xcb_window_t window, double still = 1500)
    {
        QByteArray last;
        double changed = -1;
        while (double(clock.nsecsElapsed()) / 1e6 < 20000) {
            const QByteArray now = pixels(window);
            const double at = double(clock.nsecsElapsed()) / 1e6;
            if (now.isEmpty())
                return changed;
            if (now != last) {
                last = now;
                changed = at;
            } else if (at - changed >= still) {
                return changed;
            }
            QThread::msleep(4);
        }
        return changed;
    }

private:
    // A digest of what the window shows now; empty when it cannot be read.
    QByteArray pixels(xcb_window_t window)
    {
        const xcb_get_geometry_reply_t *geometry
            = xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr);
        if (!geometry)
            return {};
        const uint16_t width = geometry->width;
        const uint16_t height = geometry->height;
        std::free(const_cast<xcb_get_geometry_reply_t *>(geometry));
        xcb_get_image_reply_t *image = xcb_get_image_reply(m_connection,
            xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, width, height, ~0u), nullptr);
        if (!image)
            return {};
        const QByteArray digest = QCryptographicHash::hash(
            QByteArrayView(reinterpret_cast<const char *>(xcb_get_image_data(image)), xcb_get_image_data_length(image)),
            QCryptographicHash::Sha1);
        std::free(image);
        return digest;
    }

    xcb_connection_t *m_connection;
    bool m_ok = false;
};

struct Shown {
    double mapped = -1;
    double still = -1;
};

// Starts the program, waits for its window to map and to stay still, and ends it again.
Shown timeToShow(
    MapWatch &watch, const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    Shown shown;
    xcb_window_t window = 0;
    shown.mapped = watch.waitForMap(clock, window);
    if (shown.mapped >= 0)
        shown.still = watch.waitForStill(clock, window);
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
    process.waitForFinished(-1);
    return shown;
}

// The floor: a window of the same size that shows 30 rows, each a name in bold, a line of text
// and a button, in a scroll area.
int minimalWindow(int argc, char **argv)
{
    QApplication app(argc, argv);
    QScrollArea window;
    auto *rows = new QWidget;
    auto *layout = new QVBoxLayout(rows);
    for (int i = 0; i < 30; ++i) {
        auto *name = new QLabel(QStringLiteral("destination %1").arg(i));
        QFont bold = name->font();
        bold.setBold(true);
        name->setFont(bold);
        layout->addWidget(name);
        layout->addWidget(new QLabel(QStringLiteral("Last backup 2 hours ago")));
        layout->addWidget(new QPushButton(QStringLiteral("Back Up Now")), 0, Qt::AlignLeft);
    }
    window.setWidget(rows);
    window.setWidgetResizable(true);
    window.resize(900, 600);
    window.show();
    return app.exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--minimal")
        return minimalWindow(argc, argv);
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const QString vellmir = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(VELLMIR_APP);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "usage: xvfb-run -a %s [rounds] [vellmir-app]\n", argv[0]);
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
    Home one(temporary.filePath(QStringLiteral("one")));
    Home thirty(temporary.filePath(QStringLiteral("thirty")));
    const QString sources = temporary.filePath(QStringLiteral("documents"));
    if (!one.ok() || !thirty.ok() || !QDir().mkpath(sources)
        || !vellmir::bench::writeFile(sources + QStringLiteral("/notes.txt"), 100))
        return 1;
    const QJsonObject daily { { QStringLiteral("sources"), QJsonArray { sources } },
        { QStringLiteral("schedule"), QStringLiteral("daily") } };
    for (int i = 0; i < 30; ++i) {
        for (Home *home : { &one, &thirty }) {
            if (home == &one && i > 0)
                continue;
            const QString id
                = home->addDestination(QStringLiteral("destination %1").arg(i), repository, password, daily);
            if (id.isEmpty() || !home->writeRecords(id, 20, home->scope(id)))
                return 1;
        }
    }

    vellmir::bench::Alternating runs;
    bool ok = true;
    QList<double> mapped[3];
    // Only start to a still window counts: how long a program takes to quit afterwards is not
    // what is compared.
    const auto timed
        = [&](int which, const QString &program, const QStringList &arguments, const QProcessEnvironment &environment) {
              const Shown shown = timeToShow(watch, program, arguments, environment);
              ok = shown.still >= 0 && ok;
              mapped[which].append(shown.mapped);
              return shown.still;
          };
    const QString self = QCoreApplication::applicationFilePath();
    const int minimal = runs.addMeasured("minimal Qt window, 30 rows",
        [&] { return timed(0, self, { QStringLiteral("--minimal") }, one.environment()); });
    const int withOne
        = runs.addMeasured("Vellmir window, 1 destination", [&] { return timed(1, vellmir, {}, one.environment()); });
    const int withThirty = runs.addMeasured(
        "Vellmir window, 30 destinations", [&] { return timed(2, vellmir, {}, thirty.environment()); });
    runs.run(rounds);
    if (!ok)
        return 1;
    std::printf("time to a window that stays as shown, rows filled in, %d rounds, %s\n", rounds, qPrintable(vellmir));
    runs.printTime(
        minimal, qPrintable(QStringLiteral("mapped after %1 ms").arg(vellmir::bench::median(mapped[0]), 0, 'f', 1)));
    runs.printTime(
        withOne, qPrintable(QStringLiteral("mapped after %1 ms").arg(vellmir::bench::median(mapped[1]), 0, 'f', 1)));
    runs.printTime(
        withThirty, qPrintable(QStringLiteral("mapped after %1 ms").arg(vellmir::bench::median(mapped[2]), 0, 'f', 1)));
    runs.printRatio(withOne, minimal, 2);
    runs.printRatio(withThirty, minimal, 2);
    runs.printRatio(withThirty, withOne, 0);
    return 0;
}
