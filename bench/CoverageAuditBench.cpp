// Times CoverageAudit::scan (without and with patterns) and ProposedBackup::children over a
// generated tree (200,000 files by default), next to `du -s` of the same tree. Each round times du
// and every subject in turn; the page cache is warm for every figure.
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

    Destination plainDestination;
    plainDestination.sources = { root };
    Destination destination = plainDestination;
    destination.excludes = { QStringLiteral("node_modules"), QStringLiteral("*.log"), QStringLiteral(".cache"),
        root + QStringLiteral("/group0/Projects/app/build"), QStringLiteral("/*/nothing/*") };
    CoverageAudit plain;
    CoverageAudit filtered;
    qsizetype children = 0;

    Alternating timing;
    const int du = timing.add("du -s", [&] {
        QProcess process;
        process.start(QStringLiteral("du"), { QStringLiteral("-s"), root });
        process.waitForFinished(-1);
    });
    const int audit
        = timing.add("CoverageAudit::scan, no patterns", [&] { plain = CoverageAudit::scan(plainDestination); });
    const int auditExcludes
        = timing.add("CoverageAudit::scan, 5 patterns", [&] { filtered = CoverageAudit::scan(destination); });
    const int listing = timing.add("ProposedBackup::children of the root, 5 patterns",
        [&] { children = ProposedBackup::children(root, destination.excludes).size(); });
    timing.run(rounds);

    auto counts = [](const CoverageAudit &result) {
        return QStringLiteral("%1 readable, %2 excluded, %3 issues")
            .arg(result.readableFiles)
            .arg(result.excludedEntries)
            .arg(result.issues.size());
    };
    std::printf("%d rounds\n", rounds);
    timing.printTime(du);
    timing.printTime(audit, qPrintable(counts(plain)));
    timing.printTime(auditExcludes, qPrintable(counts(filtered)));
    timing.printTime(listing, qPrintable(QStringLiteral("%1 children").arg(children)));
    // Walks of a home, like those of smart exclude: at or under du's time.
    timing.printRatio(audit, du, 1.0);
    timing.printRatio(auditExcludes, du, 1.0);
    timing.printRatio(listing, du, 1.0);
    return 0;
}
