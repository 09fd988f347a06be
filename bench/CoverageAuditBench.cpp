// Times CoverageAudit::scan (without and with patterns) and ProposedBackup::children over a
// generated tree (200,000 files by default), next to `du -s` of the same tree. The page cache is
// warm for every figure: each is the median of several rounds.
// Usage: CoverageAuditBench [file count] [rounds]
#include "BenchTiming.h"
#include "config/Destination.h"
#include "protection/CoverageAudit.h"
#include "restore/ProposedBackup.h"

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
    const QString root = temporary.path() + QStringLiteral("/home");

    // A home's shape: document folders, code projects with node_modules and build folders, and
    // a cache; 40 files a folder, a few bytes to some kilobytes each.
    const bool treeWritten = writeTree(
        root, count, QStringLiteral("group"),
        [](int part) {
            return QString::fromLatin1(part < 10 ? "Documents/year%1"
                    : part < 16                  ? "Projects/app/src/module%1"
                    : part < 22                  ? "Projects/app/node_modules/pkg%1/lib"
                    : part < 24                  ? "Projects/app/build/out%1"
                                                 : ".cache/thumbs%1")
                .arg(part);
        },
        QStringLiteral(".txt"));
    if (!treeWritten)
        return 1;

    const double du = timeMs(rounds, [&] {
        QProcess process;
        process.start(QStringLiteral("du"), { QStringLiteral("-s"), root });
        process.waitForFinished(-1);
    });

    Destination destination;
    destination.sources = { root };
    CoverageAudit plain;
    const double audit = timeMs(rounds, [&] { plain = CoverageAudit::scan(destination); });

    destination.excludes = { QStringLiteral("node_modules"), QStringLiteral("*.log"), QStringLiteral(".cache"),
        root + QStringLiteral("/group0/Projects/app/build"), QStringLiteral("/*/nothing/*") };
    CoverageAudit filtered;
    const double auditExcludes = timeMs(rounds, [&] { filtered = CoverageAudit::scan(destination); });

    qsizetype children = 0;
    const double listing
        = timeMs(rounds, [&] { children = ProposedBackup::children(root, destination.excludes).size(); });

    std::printf("%-46s %10.1f ms\n", "du -s", du);
    std::printf("%-46s %10.1f ms  %lld readable, %lld excluded, %lld issues\n", "CoverageAudit::scan, no patterns",
        audit, static_cast<long long>(plain.readableFiles), static_cast<long long>(plain.excludedEntries),
        static_cast<long long>(plain.issues.size()));
    std::printf("%-46s %10.1f ms  %lld readable, %lld excluded, %lld issues\n", "CoverageAudit::scan, 5 patterns",
        auditExcludes, static_cast<long long>(filtered.readableFiles), static_cast<long long>(filtered.excludedEntries),
        static_cast<long long>(filtered.issues.size()));
    std::printf("%-46s %10.1f ms  %lld children\n", "ProposedBackup::children of the root, 5 patterns", listing,
        static_cast<long long>(children));
    return 0;
}
