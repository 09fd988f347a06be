// `vellmir-app cli history` as a user runs it, as a destination's history grows: the ten newest
// runs (`--limit 10`) of a destination with 1,000 records next to one with 100,000, and the whole
// listing of the 100,000 next to `cat` of the same files to /dev/null (found and handed over by
// find and xargs, so no argument list overflows). Each home has its own keyring (BenchHome.h);
// records are written straight into its history folder. Needs restic and a keyring daemon.
// Usage: BackupHistoryBench [large record count] [rounds]
#include "BenchHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace vellmir::bench;

namespace {

const QString password = QStringLiteral("bench-history-password");

// A home with one destination and `records` hourly runs of it; its id, or an empty string.
QString populate(const Home &home, const QString &repository, int records)
{
    const QString id = home.addDestination(QStringLiteral("Disk"), repository, password);
    if (id.isEmpty() || !home.writeRecords(id, records, QStringLiteral("scope")))
        return {};
    return id;
}

// Runs `cli history` for the destination and drains its answer unparsed; false when it failed or
// listed fewer runs than `expected` (counted by their ids).
bool history(const Home &home, const QString &id, int limit, int expected)
{
    QProcess process;
    home.start(process,
        { QStringLiteral("cli"), QStringLiteral("history"), QStringLiteral("--destination"), id,
            QStringLiteral("--limit"), QString::number(limit) });
    process.closeWriteChannel();
    QByteArray output;
    while (process.waitForReadyRead(600000))
        output += process.readAllStandardOutput();
    process.waitForFinished(600000);
    output += process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0
        || output.count("\"destinationID\"") != expected) {
        std::fprintf(stderr, "cli history failed: %s\n", process.readAllStandardError().constData());
        return false;
    }
    return true;
}

bool cat(const QString &folder)
{
    QProcess process;
    process.start(QStringLiteral("sh"),
        { QStringLiteral("-c"), QStringLiteral("find \"$1\" -name '*.json' -print0 | xargs -0 cat >/dev/null"),
            QStringLiteral("sh"), folder });
    return process.waitForFinished(600000) && process.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int large = argc > 1 ? std::max(1000, atoi(argv[1])) : 100000;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 9;
    const QString restic = findRestic();
    if (restic.isEmpty())
        return 1;

    QTemporaryDir temporary;
    const QString repository = temporary.filePath(QStringLiteral("repository"));
    if (!initRepository(restic, repository, password))
        return 1;
    Home small(temporary.filePath(QStringLiteral("small")));
    Home big(temporary.filePath(QStringLiteral("large")));
    const QString smallID = small.ok() ? populate(small, repository, 1000) : QString();
    const QString bigID = big.ok() ? populate(big, repository, large) : QString();
    if (smallID.isEmpty() || bigID.isEmpty())
        return 1;
    std::printf("history: 1 destination with 1,000 records, 1 with %d\n", large);

    bool ok = true;
    Alternating timing;
    const int tenSmall
        = timing.add("cli history --limit 10, 1,000 records", [&] { ok = history(small, smallID, 10, 10) && ok; });
    const int tenLarge
        = timing.add("cli history --limit 10, large history", [&] { ok = history(big, bigID, 10, 10) && ok; });
    const int all = timing.add(
        "cli history, every record of the large one", [&] { ok = history(big, bigID, large, large) && ok; });
    const int floor = timing.add("cat of the same files", [&] { ok = cat(big.history()) && ok; });
    timing.run(rounds);
    if (!ok)
        return 1;
    for (int index : { tenSmall, tenLarge, all, floor })
        timing.printTime(index);
    timing.printRatio(tenLarge, tenSmall, 1.5);
    timing.printRatio(all, floor, 2.0);
    return 0;
}
