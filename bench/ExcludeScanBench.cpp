// Times SmartExclude::directorySize, Estimator::localEstimate (without and with patterns) and the
// rule scan over a generated tree (200,000 files by default), next to `du -s` of the same tree.
// The page cache is warm for every figure: each is the median of several rounds.
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

    qint64 duBytes = 0;
    const double du = timeMs(rounds, [&] {
        QProcess process;
        process.start(QStringLiteral("du"), { QStringLiteral("-s"), QStringLiteral("--block-size=1"), root });
        process.waitForFinished(-1);
        duBytes = process.readAllStandardOutput().split('\t').value(0).toLongLong();
    });

    qint64 sizeBytes = 0;
    const double size = timeMs(rounds, [&] { sizeBytes = SmartExclude::directorySize(root); });

    BackupEstimate plain;
    const double estimate = timeMs(rounds, [&] { plain = Estimator::localEstimate({ root }, {}); });

    const QStringList excludes { QStringLiteral("node_modules"), QStringLiteral("*.log"), QStringLiteral("~/.cache"),
        root + QStringLiteral("/project0/build"), QStringLiteral("/*/nothing/*") };
    BackupEstimate filtered;
    const double estimateExcludes = timeMs(rounds, [&] { filtered = Estimator::localEstimate({ root }, excludes); });

    qsizetype candidates = 0;
    const double scan = timeMs(rounds, [&] { candidates = SmartExclude().scan({ root }).size(); });

    std::printf("%-44s %10.1f ms  %14lld bytes (folders' own blocks included)\n", "du -s --block-size=1", du,
        static_cast<long long>(duBytes));
    std::printf(
        "%-44s %10.1f ms  %14lld bytes\n", "SmartExclude::directorySize", size, static_cast<long long>(sizeBytes));
    std::printf("%-44s %10.1f ms  %14lld bytes, %lld files\n", "Estimator::localEstimate, no patterns", estimate,
        static_cast<long long>(plain.bytes), static_cast<long long>(plain.files));
    std::printf("%-44s %10.1f ms  %14lld bytes, %lld files\n", "Estimator::localEstimate, 5 patterns", estimateExcludes,
        static_cast<long long>(filtered.bytes), static_cast<long long>(filtered.files));
    std::printf("%-44s %10.1f ms  %lld candidates\n", "SmartExclude::scan", scan, static_cast<long long>(candidates));
    return 0;
}
