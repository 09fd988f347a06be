// The history as it grows, with records of the size real runs leave: `cli status`, the scheduled
// pass with nothing due and `cli history --limit 10` of a destination with 1,000 records next to
// one with 100,000, each right after one new record (written as a backup run writes it) and
// steady; the first `cli status` after a record that came from elsewhere (a copy or a sync,
// written straight into the folder), at once and a second later; a real `cli backup --inProcess`
// of a small folder, timed with the application's own peak memory; the first `cli status` with no
// index at all next to `cat` of the same files; and the whole listing of 10,000 records next to
// `cat` of the same files to /dev/null (found and handed over by find and xargs, so no argument
// list overflows). Each home has its own
// keyring (BenchHome.h); older records are written straight into its history folder. Besides: the
// file system writes and peak memory of a backup, the first `cli status` a second after an outside
// record next to a steady one, `cli status` with no index by its peak memory, `cli audit` of a log
// of 1,000 lines next to one of 100,000, and an open pane's history reads (what the pane does every
// 3 seconds, in a process of its own: the time of the first read and of the later ones with
// nothing new, and the memory kept) at 1,000 records next to the large history. Needs restic and a
// keyring daemon.
// Usage: BackupHistoryBench [large record count] [rounds] [program timed, this build's by default]
#include "BenchHome.h"

#include "operations/BackupHistory.h"

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
#include <malloc.h>
#include <sys/resource.h>

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

// What an open pane's history costs: its first read, then `polls` reads with nothing new, in a
// process of its own. Prints "<first ms> <CPU ms per later read> <resident KiB after> <peak KiB>".
int paneReads(const QString &folder, const QString &id, int polls)
{
    const auto cpu = [] {
        struct rusage usage { };
        ::getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    };
    const vellmir::BackupHistory history(folder);
    const QUuid destination = QUuid::fromString(id);
    // An idle pane: the folder has been quiet for over a second, as between two backups.
    QThread::msleep(1100);
    QElapsedTimer timer;
    timer.start();
    const std::optional<vellmir::BackupHistory::Glance> first = history.glance(destination, 30);
    const double firstMs = double(timer.nsecsElapsed()) / 1e6;
    if (!first || first->newest.isEmpty()) {
        std::fprintf(stderr, "no history read\n");
        return 1;
    }
    const double before = cpu();
    for (int i = 0; i < polls; ++i)
        if (history.glance(destination, 30, &*first)) {
            std::fprintf(stderr, "the history changed under the bench\n");
            return 1;
        }
    const double each = (cpu() - before) / polls;
    // From the process's own memory map: its peak in getrusage() would count the copy of the
    // bench it was forked from.
    long resident = 0;
    long peak = 0;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                resident = line.mid(6).trimmed().split(' ').first().toLong();
            if (line.startsWith("VmHWM:"))
                peak = line.mid(6).trimmed().split(' ').first().toLong();
        }
    std::printf("%.2f %.4f %ld %ld\n", firstMs, each, resident, peak);
    return 0;
}

// The figures of paneReads() for a home, run as this program's child; nullopt when it failed.
std::optional<std::array<double, 4>> pane(const Home &home, const QString &id)
{
    QProcess process;
    process.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("--pane"), home.history(), id, QStringLiteral("100") });
    const QByteArray output = process.waitForFinished(600000) ? process.readAllStandardOutput() : QByteArray();
    const QList<QByteArray> fields = output.trimmed().split(' ');
    if (process.exitCode() != 0 || fields.size() != 4) {
        std::fprintf(
            stderr, "the pane's reads failed: %s %s\n", output.constData(), process.readAllStandardError().constData());
        return std::nullopt;
    }
    return std::array<double, 4> { fields[0].toDouble(), fields[1].toDouble(), fields[2].toDouble(),
        fields[3].toDouble() };
}

// Writes `lines` audit lines into the home's agent audit log.
bool writeAudit(const Home &home, int lines)
{
    QFile file(QFileInfo(home.history()).absolutePath() + QStringLiteral("/agent-audit.jsonl"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray text;
    for (int i = 0; i < lines; ++i)
        text += "{\"command\":\"backup_now\",\"decision\":\"approved\",\"outcome\":\"succeeded\",\"summary\":\"Back up "
                "the destination Disk now: its folders as they are, with the usual exclusions, one run of "
                "many; the usual padding of a real line "
            + QByteArray::number(i) + "\",\"time\":\"2026-01-02T03:00:00Z\"}\n";
    return file.write(text) == text.size();
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
    // As the application sets it in every process (main.cpp).
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    QCoreApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--pane")
        return paneReads(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), atoi(argv[4]));
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
    QList<double> writtenSmall;
    QList<double> writtenLarge;
    const auto timedBackup = [&](const Home &home, const QString &id, QList<double> &peaks, QList<double> &written) {
        return [&home, id, &peaks, &written, &ok] {
            const std::optional<Home::Measured> run = backup(home, id);
            ok = run.has_value() && ok;
            if (!run)
                return 0.0;
            peaks.append(double(run->peakKiB));
            written.append(double(run->writtenBlocks));
            return run->ms;
        };
    };
    // The peak memory of `cli status` with no index, and of a steady one, in KiB.
    QList<double> coldPeak;
    QList<double> steadyPeak;
    const auto measuredStatus = [&](const Home &home, bool withoutIndex, QList<double> &peaks) {
        return [&home, withoutIndex, &peaks, &ok] {
            if (withoutIndex) {
                QFile::remove(home.history() + QStringLiteral(".index"));
            } else {
                // Steady: a reader of the settled folder has stored its index, so the one measured
                // rewrites nothing (a backup just before would otherwise leave that to it).
                QThread::msleep(1100);
                ok = status(home) && ok;
            }
            const std::optional<Home::Measured> run = home.measuredCli({ QStringLiteral("status") }, timedApp);
            ok = run.has_value() && ok;
            if (!run)
                return 0.0;
            peaks.append(double(run->peakKiB));
            return run->ms;
        };
    };
    QList<double> auditPeakSmall;
    QList<double> auditPeakLarge;
    const auto audit = [&](const Home &home, QList<double> &peaks) {
        return [&home, &peaks, &ok] {
            const std::optional<Home::Measured> run = home.measuredCli({ QStringLiteral("audit") }, timedApp);
            ok = run.has_value() && ok;
            if (!run)
                return 0.0;
            peaks.append(double(run->peakKiB));
            return run->ms;
        };
    };
    if (!writeAudit(small, 1000) || !writeAudit(big, 100000))
        return 1;
    QList<std::array<double, 4>> paneSmall;
    QList<std::array<double, 4>> paneLarge;
    const auto paneOf = [&](const Home &home, const QString &id, QList<std::array<double, 4>> &figures) {
        return [&home, id, &figures, &ok] {
            const std::optional<std::array<double, 4>> read = pane(home, id);
            ok = read.has_value() && ok;
            if (read)
                figures.append(*read);
            return read ? read->at(0) : 0.0;
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
    const int backupSmall
        = timing.addMeasured("cli backup --inProcess, 1,000", timedBackup(small, smallID, peakSmall, writtenSmall));
    const int backupLarge
        = timing.addMeasured("cli backup --inProcess, large", timedBackup(big, bigID, peakLarge, writtenLarge));
    const int coldMeasured
        = timing.addMeasured("cli status with no index, large (measured)", measuredStatus(big, true, coldPeak));
    const int steadyMeasured
        = timing.addMeasured("cli status, large history (measured)", measuredStatus(big, false, steadyPeak));
    const int auditSmall = timing.addMeasured("cli audit, 1,000 lines", audit(small, auditPeakSmall));
    const int auditLarge = timing.addMeasured("cli audit, 100,000 lines", audit(big, auditPeakLarge));
    const int paneOpenSmall = timing.addMeasured("pane's first history read, 1,000", paneOf(small, smallID, paneSmall));
    const int paneOpenLarge = timing.addMeasured("pane's first history read, large", paneOf(big, bigID, paneLarge));
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
    for (int index : { backupSmall, backupLarge, coldMeasured, steadyMeasured, auditSmall, auditLarge, paneOpenSmall,
             paneOpenLarge, outsideSmall, outsideLarge, outsideLaterSmall, outsideLaterLarge, coldLarge, catLarge,
             statusSmall, statusLarge, statusNewSmall, statusNewLarge, passNewSmall, passNewLarge, tenSmall, tenLarge,
             tenNewSmall, tenNewLarge, all, floor })
        timing.printTime(index);
    const double memorySmall = median(peakSmall);
    const double memoryLarge = median(peakLarge);
    std::printf("backup's own peak memory: 1,000 records %.1f MB, large %.1f MB: %.2fx  goal <= 1.50x%s\n",
        memorySmall / 1024, memoryLarge / 1024, memoryLarge / memorySmall,
        memoryLarge / memorySmall <= 1.5 ? "" : "  MISSED");
    const auto ratio = [](const char *what, double atSmall, double atLarge, double goal, const char *unit) {
        std::printf("%s: 1,000 %.1f %s, large %.1f %s: %.2fx  goal <= %.2fx%s\n", what, atSmall, unit, atLarge, unit,
            atLarge / std::max(atSmall, 1e-9), goal, atLarge / std::max(atSmall, 1e-9) <= goal ? "" : "  MISSED");
    };
    ratio("backup's file system writes", median(writtenSmall) / 2, median(writtenLarge) / 2, 3.0, "KiB");
    ratio("audit's peak memory (1,000 and 100,000 lines)", median(auditPeakSmall) / 1024, median(auditPeakLarge) / 1024,
        2.0, "MB");
    std::printf("status with no index, large: peak %.1f MB, steady status %.1f MB: %.2fx  goal <= 2.00x%s\n",
        median(coldPeak) / 1024, median(steadyPeak) / 1024, median(coldPeak) / median(steadyPeak),
        median(coldPeak) / median(steadyPeak) <= 2.0 ? "" : "  MISSED");
    const auto paneFigure = [](const QList<std::array<double, 4>> &figures, size_t field) {
        QList<double> values;
        for (const std::array<double, 4> &each : figures)
            values.append(each[field]);
        return median(values);
    };
    // A poll every 3 seconds: the share of a core an idle pane takes.
    const double idleSmall = paneFigure(paneSmall, 1) / 3000 * 100;
    const double idleLarge = paneFigure(paneLarge, 1) / 3000 * 100;
    std::printf("open pane idle: 1,000 %.4f %% of a core, large %.4f %%: %.2fx  goal <= 3.00x or under 1 %%%s\n",
        idleSmall, idleLarge, idleLarge / std::max(idleSmall, 1e-9),
        idleLarge / std::max(idleSmall, 1e-9) <= 3.0 || idleLarge < 1.0 ? "" : "  MISSED");
    ratio("open pane's memory kept", paneFigure(paneSmall, 2) / 1024, paneFigure(paneLarge, 2) / 1024, 2.0, "MB");
    ratio("open pane's peak memory", paneFigure(paneSmall, 3) / 1024, paneFigure(paneLarge, 3) / 1024, 2.0, "MB");
    timing.printRatio(auditLarge, auditSmall, 3.0);
    // The first reader a second after an outside record, next to a steady one of the same history.
    timing.printRatio(outsideLaterLarge, statusLarge, 3.0);
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
