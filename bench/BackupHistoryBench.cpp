// The history as it grows, with records of the size real runs leave: `cli status`, the scheduled
// pass with nothing due and `cli history --limit 10` of a destination with 1,000 records next to
// one with 100,000, each right after one new record (written as a backup run writes it) and
// steady; the first `cli status` after a record that came from elsewhere (a copy or a sync,
// written straight into the folder), at once and a second later; a real `cli backup --inProcess`
// of a small folder, timed with the application's own peak memory; the first `cli status` with no
// index at all next to `cat` of the same files; and the whole listing of 10,000 records next to
// `cat` of the same files to /dev/null (found and handed over by find and xargs, so no argument
// list overflows). Each home has its own
// keyring (BenchHome.h); older records are written straight into its history folder. Needs restic
// and a keyring daemon.
// Usage: BackupHistoryBench [large record count] [rounds] [program timed, this build's by default]
#include "BenchHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace vellmir::bench;

namespace {

const QString password = QStringLiteral("bench-history-password");
// The program timed; empty: this build's.
QString timedApp;

// A home with one daily destination and `records` hourly runs of it, none due; its id, or an
// empty string.
QString populate(const Home &home, const QString &repository, const QString &sources, int records)
{
    const QString id = home.addDestination(QStringLiteral("Disk"), repository, password,
        QJsonObject { { QStringLiteral("sources"), QJsonArray { sources } },
            { QStringLiteral("schedule"), QStringLiteral("daily") } });
    if (id.isEmpty() || !home.writeRecords(id, records, home.scope(id)))
        return {};
    return id;
}

bool status(const Home &home)
{
    return home.cli({ QStringLiteral("status") }, {}, timedApp).value(QStringLiteral("destinations")).toArray().size()
        == 1;
}

// Runs `cli history` for the destination and drains its answer unparsed; false when it failed or
// listed fewer runs than `expected` (counted by their ids).
bool history(const Home &home, const QString &id, int limit, int expected)
{
    QProcess process;
    home.start(process,
        { QStringLiteral("cli"), QStringLiteral("history"), QStringLiteral("--destination"), id,
            QStringLiteral("--limit"), QString::number(limit) },
        timedApp);
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

// A real backup of the destination's small folder; its measurement, or nullopt when it failed.
std::optional<Home::Measured> backup(const Home &home, const QString &id)
{
    std::optional<Home::Measured> run = home.measuredCli(
        { QStringLiteral("backup"), QStringLiteral("--destination"), id, QStringLiteral("--inProcess") }, timedApp);
    if (run
        && QJsonDocument::fromJson(run->output)
                .object()
                .value(QStringLiteral("run"))
                .toObject()
                .value(QStringLiteral("outcome"))
            != QStringLiteral("complete")) {
        std::fprintf(stderr, "backup did not complete: %s\n", run->output.constData());
        return std::nullopt;
    }
    return run;
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
    if (argc > 3)
        timedApp = QString::fromLocal8Bit(argv[3]);
    const QString restic = findRestic();
    if (restic.isEmpty())
        return 1;

    QTemporaryDir temporary;
    const QString repository = temporary.filePath(QStringLiteral("repository"));
    const QString sources = temporary.filePath(QStringLiteral("sources"));
    QDir().mkpath(sources);
    if (!writeFile(sources + QStringLiteral("/notes.txt"), 4096))
        return 1;
    if (!initRepository(restic, repository, password))
        return 1;
    Home small(temporary.filePath(QStringLiteral("small")));
    Home big(temporary.filePath(QStringLiteral("large")));
    Home medium(temporary.filePath(QStringLiteral("medium")));
    const QString smallID = small.ok() ? populate(small, repository, sources, 1000) : QString();
    const QString bigID = big.ok() ? populate(big, repository, sources, large) : QString();
    const QString mediumID = medium.ok() ? populate(medium, repository, sources, 10000) : QString();
    if (smallID.isEmpty() || bigID.isEmpty() || mediumID.isEmpty())
        return 1;
    std::printf("history: 1 daily destination with 1,000 records, 1 with %d, 1 with 10,000\n", large);

    bool ok = true;
    // The work timed right after one more record of the home's destination.
    const auto afterNewRecord = [&](const Home &home, const QString &id, std::function<bool()> work) {
        return [&home, id, work, &ok] {
            ok = home.addRecord(id, home.scope(id)) && ok;
            QElapsedTimer timer;
            timer.start();
            ok = work() && ok;
            return double(timer.nsecsElapsed()) / 1e6;
        };
    };
    // The first backups store the folder and prune, so the timed ones find it unchanged.
    if (!backup(small, smallID) || !backup(big, bigID))
        return 1;
    // The work timed right after one record that no writer of ours wrote, at once or a second later.
    const auto afterOutsideRecord = [&](const Home &home, const QString &id, bool settled) {
        return [&home, id, settled, &ok] {
            ok = home.writeRecords(id, 1, home.scope(id), 0) && ok;
            if (settled)
                QThread::msleep(1100);
            QElapsedTimer timer;
            timer.start();
            ok = status(home) && ok;
            return double(timer.nsecsElapsed()) / 1e6;
        };
    };
    // The application's own peak memory in each timed backup, in KiB.
    QList<double> peakSmall;
    QList<double> peakLarge;
    const auto timedBackup = [&](const Home &home, const QString &id, QList<double> &peaks) {
        return [&home, id, &peaks, &ok] {
            const std::optional<Home::Measured> run = backup(home, id);
            ok = run.has_value() && ok;
            if (!run)
                return 0.0;
            peaks.append(double(run->peakKiB));
            return run->ms;
        };
    };
    const auto withoutIndex = [&](const Home &home) {
        return [&home, &ok] {
            QFile::remove(home.history() + QStringLiteral(".index"));
            QElapsedTimer timer;
            timer.start();
            ok = status(home) && ok;
            return double(timer.nsecsElapsed()) / 1e6;
        };
    };
    Alternating timing;
    const int backupSmall = timing.addMeasured("cli backup --inProcess, 1,000", timedBackup(small, smallID, peakSmall));
    const int backupLarge = timing.addMeasured("cli backup --inProcess, large", timedBackup(big, bigID, peakLarge));
    const int outsideSmall = timing.addMeasured(
        "cli status at once after an outside record, 1,000", afterOutsideRecord(small, smallID, false));
    const int outsideLarge = timing.addMeasured(
        "cli status at once after an outside record, large", afterOutsideRecord(big, bigID, false));
    const int outsideLaterSmall
        = timing.addMeasured("cli status 1 s after an outside record, 1,000", afterOutsideRecord(small, smallID, true));
    const int outsideLaterLarge
        = timing.addMeasured("cli status 1 s after an outside record, large", afterOutsideRecord(big, bigID, true));
    const int coldLarge = timing.addMeasured("cli status with no index, large", withoutIndex(big));
    const int catLarge = timing.add("cat of the large history's files", [&] { ok = cat(big.history()) && ok; });
    const int statusSmall = timing.add("cli status, 1,000 records", [&] { ok = status(small) && ok; });
    const int statusLarge = timing.add("cli status, large history", [&] { ok = status(big) && ok; });
    const int statusNewSmall = timing.addMeasured(
        "cli status after a new record, 1,000", afterNewRecord(small, smallID, [&] { return status(small); }));
    const int statusNewLarge = timing.addMeasured(
        "cli status after a new record, large", afterNewRecord(big, bigID, [&] { return status(big); }));
    const int passNewSmall = timing.addMeasured("pass after a new record, 1,000",
        afterNewRecord(small, smallID, [&] { return small.scheduledPass(timedApp); }));
    const int passNewLarge = timing.addMeasured(
        "pass after a new record, large", afterNewRecord(big, bigID, [&] { return big.scheduledPass(timedApp); }));
    const int tenSmall
        = timing.add("cli history --limit 10, 1,000 records", [&] { ok = history(small, smallID, 10, 10) && ok; });
    const int tenLarge
        = timing.add("cli history --limit 10, large history", [&] { ok = history(big, bigID, 10, 10) && ok; });
    const int tenNewSmall = timing.addMeasured("cli history --limit 10 after a new record, 1,000",
        afterNewRecord(small, smallID, [&] { return history(small, smallID, 10, 10); }));
    const int tenNewLarge = timing.addMeasured("cli history --limit 10 after a new record, large",
        afterNewRecord(big, bigID, [&] { return history(big, bigID, 10, 10); }));
    const int all = timing.add(
        "cli history, every one of 10,000 records", [&] { ok = history(medium, mediumID, 10000, 10000) && ok; });
    const int floor = timing.add("cat of the same files", [&] { ok = cat(medium.history()) && ok; });
    timing.run(rounds);
    if (!ok)
        return 1;
    for (int index : { backupSmall, backupLarge, outsideSmall, outsideLarge, outsideLaterSmall, outsideLaterLarge,
             coldLarge, catLarge, statusSmall, statusLarge, statusNewSmall, statusNewLarge, passNewSmall, passNewLarge,
             tenSmall, tenLarge, tenNewSmall, tenNewLarge, all, floor })
        timing.printTime(index);
    const double memorySmall = median(peakSmall);
    const double memoryLarge = median(peakLarge);
    std::printf("backup's own peak memory: 1,000 records %.1f MB, large %.1f MB: %.2fx  goal <= 2.00x%s\n",
        memorySmall / 1024, memoryLarge / 1024, memoryLarge / memorySmall,
        memoryLarge / memorySmall <= 2.0 ? "" : "  MISSED");
    timing.printRatio(backupLarge, backupSmall, 1.3);
    timing.printRatio(outsideLarge, outsideSmall, 3.0);
    timing.printRatio(outsideLaterLarge, outsideLaterSmall, 3.0);
    timing.printRatio(coldLarge, catLarge, 1.5);
    timing.printRatio(statusLarge, statusSmall, 1.5);
    timing.printRatio(statusNewLarge, statusNewSmall, 1.5);
    timing.printRatio(passNewLarge, passNewSmall, 1.5);
    timing.printRatio(tenLarge, tenSmall, 1.5);
    timing.printRatio(tenNewLarge, tenNewSmall, 1.5);
    timing.printRatio(all, floor, 2.0);
    return 0;
}
