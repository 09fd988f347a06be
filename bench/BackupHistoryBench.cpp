// Times the first listing of a history folder (100,000 record files of 20 destinations by default)
// that decodes every destination's records, next to `cat` of every file of the folder to
// /dev/null (found and handed over by find and xargs, so no argument list overflows); then the
// first listing of one destination, which reads every file but decodes only that destination's,
// and a repeated listing of the unchanged folder. Each round times all four in turn.
// Usage: BackupHistoryBench [record count] [rounds]
#include "BenchTiming.h"
#include "operations/BackupHistory.h"
#include "util/Uuid.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace vellmir;
using namespace vellmir::bench;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 100000;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 7;

    QTemporaryDir temporary;
    const QString folder = temporary.path() + QStringLiteral("/history");
    QDir().mkpath(folder);
    const BackupHistory history(folder);

    // Twenty destinations with the run records a few years of hourly backups leave behind.
    QList<QUuid> destinations;
    for (int i = 0; i < 20; ++i)
        destinations.append(newUuid());
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        BackupRecord record(destinations.at(i % destinations.size()), Date { 700000000.0 + i * 3600.5 });
        record.finishedAt = record.startedAt.addingSeconds(95.25);
        record.outcome = i % 17 == 0 ? BackupRecord::Outcome::incomplete : BackupRecord::Outcome::complete;
        record.snapshotID = QStringLiteral("3f9a2c7be41d08f56a7c2e9d1b0f4a3c5e6d7f8091a2b3c4d5e6f708192a3b4c");
        if (i % 17 == 0)
            record.issues = { QStringLiteral("open /home/ann/Documents/locked.db: permission denied") };
        record.maintenance = QStringLiteral("Kept 7 daily, 4 weekly, 12 monthly, 3 yearly.");
        if (i % 168 == 0)
            record.prunedAt = record.finishedAt;
        record.accessGranted = true;
        record.bytesAdded = 1048576 + i;
        record.scope = QStringLiteral("9c1185a5c5e9fc54612808977ee8f548b2258d31a7b3f0e2c4d6e8f0a1b2c3d4");
        const QByteArray data = record.encoded();
        const QString name = uuidText(record.id) + QStringLiteral(".json");
        QFile file(folder + u'/' + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(file.fileName()));
            return 1;
        }
        bytes += data.size();
    }

    // Views poll a folder that changed seconds or hours ago, not one written this instant.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));

    qsizetype listed = 0;
    bool failed = false;
    Alternating timing;
    const int cat = timing.add("cat of every file to /dev/null", [&] {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(QStringLiteral("/bin/sh"),
            { QStringLiteral("-c"), QStringLiteral("find . -maxdepth 1 -name '*.json' -print0 | xargs -0 cat") });
        failed = failed || !process.waitForFinished(-1) || process.exitCode() != 0;
    });
    // The clearing is timed with the listing; it only drops a map.
    qsizetype decoded = 0;
    const int all = timing.add("first records(for:) of every destination", [&] {
        BackupHistory::clearCache();
        decoded = 0;
        for (const QList<BackupRecord> &records : history.records(destinations))
            decoded += records.size();
        failed = failed || decoded != count;
    });
    const int first = timing.add("first records(for:) of one destination", [&] {
        BackupHistory::clearCache();
        listed = history.records(destinations.first()).size();
    });
    const int repeat = timing.add(
        "repeated records(for:)", [&] { failed = failed || history.records(destinations.first()).size() != listed; });
    timing.run(rounds);
    if (failed) {
        std::fprintf(stderr, "cat failed, or a listing missed records or differs when repeated\n");
        return 1;
    }

    // Right after a run wrote its record: every file's status is checked, one file is read.
    QList<double> changedTimes;
    for (int round = 0; round < rounds; ++round) {
        BackupRecord record(destinations.first(), Date { 900000000.0 + round });
        const QByteArray data = record.encoded();
        QFile file(folder + u'/' + uuidText(record.id) + QStringLiteral(".json"));
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
            return 1;
        file.close();
        QElapsedTimer clock;
        clock.start();
        history.records(destinations.first());
        changedTimes.append(double(clock.nsecsElapsed()) / 1e6);
    }

    const QList<double> spread = [&] {
        QList<double> sorted = changedTimes;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }();
    std::printf("history listing: %d record files, %.1f MB, %lld records of the listed destination, %d rounds\n", count,
        double(bytes) / 1e6, static_cast<long long>(listed), rounds);
    timing.printTime(cat);
    timing.printTime(all);
    timing.printTime(first);
    timing.printTime(repeat);
    std::printf("%-48s median %9.2f ms  (%.2f-%.2f)  %.3fx first, no target\n", "records(for:) after one new file",
        median(changedTimes), spread.first(), spread.last(), median(changedTimes) / timing.medianMs(first));
    timing.printRatio(all, cat, 2.0);
    timing.printRatio(first, cat, 0);
    timing.printRatio(repeat, first, 0.1);
    return 0;
}
