// Streams many lines from the fake restic through ResticEngine::stream and compares the
// rate with the same producer piped to `wc -l`, which is as fast as a reader can be.
//
//   ResticStreamBench [--lines N] [--line TEXT] [--rounds R] [--from-file]

#include "engine/ResticEngine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>

using namespace vellmir;

namespace {

// A status line of "restic backup --json", as restic 0.18 writes it.
const char *const statusLine
    = R"({"message_type":"status","seconds_elapsed":1,"seconds_remaining":2,"percent_done":0.4266666666666667,)"
      R"("total_files":150,"files_done":57,"total_bytes":150000000,"bytes_done":64000000,)"
      R"("current_files":["/tmp/rp/bulk/f21.bin","/tmp/rp/bulk/f22.bin"]})";

double pipeSeconds(const QString &producer, const QString &folder, qint64 expected)
{
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FAKE_RESTIC_DIR"), folder);
    shell.setProcessEnvironment(environment);
    QElapsedTimer timer;
    timer.start();
    shell.start(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), QStringLiteral("\"$0\" backup | wc -l"), producer });
    shell.waitForFinished(-1);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const qint64 counted = shell.readAllStandardOutput().trimmed().toLongLong();
    if (counted != expected)
        std::fprintf(stderr, "wc -l counted %lld lines, expected %lld\n", counted, expected);
    return seconds;
}

double streamSeconds(const QString &producer, const QString &folder, qint64 expected)
{
    const ResticEngine engine(producer, folder + QStringLiteral("/locks"));
    const ResticEnvironment environment { { QStringLiteral("FAKE_RESTIC_DIR"), folder } };
    qint64 lines = 0;
    qint64 characters = 0;
    int status = -1;
    QElapsedTimer timer;
    timer.start();
    engine.stream(ResticCommand(QStringLiteral("backup")), environment, {}, [&](const ResticStreamEvent &event) {
        if (event.type == ResticStreamEvent::Type::stdoutLine) {
            ++lines;
            characters += event.line.size();
        } else if (event.type == ResticStreamEvent::Type::finished) {
            status = event.status;
        }
    });
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (lines != expected || status != 0 || characters == 0)
        std::fprintf(stderr, "stream gave %lld lines and status %d, expected %lld and 0\n", lines, status, expected);
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qint64 count = 1000000;
    QString line = QString::fromLatin1(statusLine);
    int rounds = 5;
    bool fromFile = false;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QStringLiteral("--from-file")) {
            fromFile = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            break;
        if (arguments[i] == QStringLiteral("--lines"))
            count = arguments[i + 1].toLongLong();
        else if (arguments[i] == QStringLiteral("--line"))
            line = arguments[i + 1];
        else if (arguments[i] == QStringLiteral("--rounds"))
            rounds = arguments[i + 1].toInt();
        ++i;
    }

    QTemporaryDir folder;
    if (fromFile) {
        // The whole output written beforehand and replayed with cat: the fastest producer.
        std::ofstream output((folder.path() + QStringLiteral("/stdout")).toStdString(), std::ios::binary);
        const std::string text = line.toStdString() + '\n';
        for (qint64 i = 0; i < count; ++i)
            output << text;
    } else {
        // yes | head: no file of a quarter gigabyte needed.
        std::ofstream repeat((folder.path() + QStringLiteral("/repeat")).toStdString());
        repeat << count << ' ' << line.toStdString() << '\n';
    }
    const QString producer = QStringLiteral(VELLMIR_FAKE_RESTIC);

    // Best of several rounds, alternating, so both sides see the same machine load.
    double pipeBest = 1e9;
    double streamBest = 1e9;
    for (int round = 0; round < rounds; ++round) {
        pipeBest = std::min(pipeBest, pipeSeconds(producer, folder.path(), count));
        streamBest = std::min(streamBest, streamSeconds(producer, folder.path(), count));
    }
    std::printf("lines: %lld of %lld bytes from %s, best of %d rounds\n", count, qint64(line.toUtf8().size() + 1),
        fromFile ? "cat of a file" : "yes | head", rounds);
    std::printf("producer | wc -l        %7.3f s  %6.2f M lines/s\n", pipeBest, double(count) / pipeBest / 1e6);
    std::printf("ResticEngine::stream    %7.3f s  %6.2f M lines/s\n", streamBest, double(count) / streamBest / 1e6);
    std::printf("ratio (stream / wc -l)  %7.2fx (target <= 1.30x)\n", streamBest / pipeBest);
    return 0;
}
