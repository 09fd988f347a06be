// Streams many lines from the fake restic through ResticEngine and compares the time with the
// same producer piped to `wc -l`, which is as fast as a reader can be. Each round times the
// pipe, streamBytes() (a view of each line) and stream() (a string of each line) in turn.
//
//   ResticStreamBench [--lines N] [--line TEXT] [--rounds R] [--from-yes]
//
// The producer replays a file written beforehand with cat, the fastest there is; --from-yes
// uses `yes | head` instead, which needs no file but is slower than what it feeds.

#include "BenchTiming.h"
#include "engine/ResticEngine.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>

using namespace vellmir;
using namespace vellmir::bench;

namespace {

// A status line of "restic backup --json", as restic 0.18 writes it.
const char *const statusLine
    = R"({"message_type":"status","seconds_elapsed":1,"seconds_remaining":2,"percent_done":0.4266666666666667,)"
      R"("total_files":150,"files_done":57,"total_bytes":150000000,"bytes_done":64000000,)"
      R"("current_files":["/tmp/rp/bulk/f21.bin","/tmp/rp/bulk/f22.bin"]})";

bool pipe(const QString &producer, const QString &folder, qint64 expected)
{
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FAKE_RESTIC_DIR"), folder);
    shell.setProcessEnvironment(environment);
    shell.start(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), QStringLiteral("\"$0\" backup | wc -l"), producer });
    shell.waitForFinished(-1);
    const qint64 counted = shell.readAllStandardOutput().trimmed().toLongLong();
    if (counted == expected)
        return true;
    std::fprintf(stderr, "wc -l counted %lld lines, expected %lld\n", counted, expected);
    return false;
}

// Runs one of the engine's two streaming calls; the handler looks at every line, so neither
// call can skip the work it stands for.
template <typename Event>
bool streamLines(const ResticEngine &engine,
    void (ResticEngine::*call)(const ResticCommand &, const ResticEnvironment &, std::stop_token,
        const std::function<void(const Event &)> &) const,
    const char *name, const QString &folder, qint64 expected)
{
    const ResticEnvironment environment { { QStringLiteral("FAKE_RESTIC_DIR"), folder } };
    qint64 lines = 0;
    qint64 units = 0;
    int status = -1;
    (engine.*call)(ResticCommand(QStringLiteral("backup")), environment, {}, [&](const Event &event) {
        if (event.type == ResticStreamEvent::Type::stdoutLine) {
            ++lines;
            units += event.line.size();
        } else if (event.type == ResticStreamEvent::Type::finished) {
            status = event.status;
        }
    });
    if (lines == expected && status == 0 && units > 0)
        return true;
    std::fprintf(stderr, "%s gave %lld lines and status %d, expected %lld and 0\n", name, lines, status, expected);
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qint64 count = 1000000;
    QString line = QString::fromLatin1(statusLine);
    int rounds = 7;
    bool fromYes = false;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QStringLiteral("--from-yes")) {
            fromYes = true;
            continue;
        }
        if (arguments[i] == QStringLiteral("--from-file")) // the default, still accepted
            continue;
        if (i + 1 >= arguments.size())
            break;
        if (arguments[i] == QStringLiteral("--lines"))
            count = arguments[i + 1].toLongLong();
        else if (arguments[i] == QStringLiteral("--line"))
            line = arguments[i + 1];
        else if (arguments[i] == QStringLiteral("--rounds"))
            rounds = std::max(1, arguments[i + 1].toInt());
        ++i;
    }

    QTemporaryDir folder;
    if (fromYes) {
        std::ofstream repeat((folder.path() + QStringLiteral("/repeat")).toStdString());
        repeat << count << ' ' << line.toStdString() << '\n';
    } else {
        std::ofstream output((folder.path() + QStringLiteral("/stdout")).toStdString(), std::ios::binary);
        const std::string text = line.toStdString() + '\n';
        for (qint64 i = 0; i < count; ++i)
            output << text;
    }
    const QString producer = QStringLiteral(VELLMIR_FAKE_RESTIC);
    const ResticEngine engine(producer, folder.path() + QStringLiteral("/locks"));

    bool ok = true;
    Alternating timing;
    const int wc = timing.add("producer | wc -l", [&] { ok = pipe(producer, folder.path(), count) && ok; });
    const int bytes = timing.add("ResticEngine::streamBytes",
        [&] { ok = streamLines(engine, &ResticEngine::streamBytes, "streamBytes", folder.path(), count) && ok; });
    const int text = timing.add("ResticEngine::stream",
        [&] { ok = streamLines(engine, &ResticEngine::stream, "stream", folder.path(), count) && ok; });
    timing.run(rounds);

    std::printf("lines: %lld of %lld bytes from %s, %d rounds\n", count, qint64(line.toUtf8().size() + 1),
        fromYes ? "yes | head" : "cat of a file", rounds);
    for (const int index : { wc, bytes, text }) {
        const double seconds = timing.medianMs(index) / 1000;
        timing.printTime(
            index, qPrintable(QStringLiteral("%1 M lines/s").arg(double(count) / seconds / 1e6, 0, 'f', 2)));
    }
    timing.printRatio(bytes, wc, 1.2);
    timing.printRatio(text, wc, 1.3);
    return ok ? 0 : 1;
}
