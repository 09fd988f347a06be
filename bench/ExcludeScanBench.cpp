// Times SmartExclude::directorySize, Estimator::localEstimate (without and with patterns) and the
// rule scan over a generated tree (200,000 files by default), next to `du -s` of the same tree.
// Each round times du and every subject in turn; the page cache is warm for every figure, and
// the walks are to stay at or under du's time.
// Usage: ExcludeScanBench [file count] [rounds]
#include "BenchTiming.h"
#include "exclude/Estimator.h"
#include "exclude/SmartExclude.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace vellmir;

using namespace vellmir::bench;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(100, atoi(argv[1])) : 200000;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;

    QTemporaryDir temporary;
    const QString root = temporary.path() + QStringLiteral("/tree");

    // Projects of source folders with a node_modules and a build folder each, 40 files a folder,
    // sizes from a few bytes to some kilobytes, as a home's code folder looks.
    const bool treeWritten = writeTree(
        root, count, QStringLiteral("project"),
        [](int part) {
            return QString::fromLatin1(part < 15 ? "src/module%1"
                    : part < 23                  ? "node_modules/pkg%1/lib"
                                                 : "build/out%1")
                .arg(part);
        },
        QStringLiteral(".c"));
    if (!treeWritten)
        return 1;

    const QStringList excludes { QStringLiteral("node_modules"), QStringLiteral("*.log"), QStringLiteral("~/.cache"),
        root + QStringLiteral("/project0/build"), QStringLiteral("/*/nothing/*") };
    qint64 duBytes = 0;
    qint64 sizeBytes = 0;
    BackupEstimate plain;
    BackupEstimate filtered;
    qsizetype candidates = 0;

    Alternating timing;
    const int du = timing.add("du -s --block-size=1", [&] {
        QProcess process;
        process.start(QStringLiteral("du"), { QStringLiteral("-s"), QStringLiteral("--block-size=1"), root });
        process.waitForFinished(-1);
        duBytes = process.readAllStandardOutput().split('\t').value(0).toLongLong();
    });
    const int size = timing.add("SmartExclude::directorySize", [&] { sizeBytes = SmartExclude::directorySize(root); });
    const int estimate
        = timing.add("Estimator::localEstimate, no patterns", [&] { plain = Estimator::localEstimate({ root }, {}); });
    const int estimateExcludes = timing.add(
        "Estimator::localEstimate, 5 patterns", [&] { filtered = Estimator::localEstimate({ root }, excludes); });
    const int scan = timing.add("SmartExclude::scan", [&] { candidates = SmartExclude().scan({ root }).size(); });
    timing.run(rounds);

    std::printf("%d rounds\n", rounds);
    timing.printTime(du, qPrintable(QStringLiteral("%1 bytes (folders' own blocks included)").arg(duBytes)));
    timing.printTime(size, qPrintable(QStringLiteral("%1 bytes").arg(sizeBytes)));
    timing.printTime(estimate, qPrintable(QStringLiteral("%1 bytes, %2 files").arg(plain.bytes).arg(plain.files)));
    timing.printTime(
        estimateExcludes, qPrintable(QStringLiteral("%1 bytes, %2 files").arg(filtered.bytes).arg(filtered.files)));
    timing.printTime(scan, qPrintable(QStringLiteral("%1 candidates").arg(candidates)));
    for (const int subject : { size, estimate, estimateExcludes, scan })
        timing.printRatio(subject, du, 1.0);
    return 0;
}
