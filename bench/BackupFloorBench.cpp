// Times a backup the way an agent runs one in process, `vellmir-app cli backup --inProcess`, next
// to the floor for that job: restic's own "backup" of the same folder with the same excludes and
// host, then its "forget" with the destination's retention policy, in one shell. Two jobs: a
// first backup into a new repository, which stores the whole tree and prunes (as the application
// does once a week; restic's side adds "--prune"), and a backup of the tree unchanged, which
// prunes nothing. "restic unlock" alone is timed beside them, as a figure to weigh against the
// difference; with another build of the application given, its unchanged backup is timed beside
// them too. Needs restic, gnome-keyring-daemon and dbus-daemon:
//   build/bench/BackupFloorBench [files] [rounds] [other vellmir-app]
// The tree (50,000 files of 10 bytes to 9 KB of random bytes, which neither compress nor
// deduplicate, about 230 MB, by default) is written once. The home has its own session bus and
// keyring (BenchHome.h); each job's two sides use one repository, each with its own restic cache;
// before each first backup its repository is made anew and the application's history emptied,
// untimed.
#include "BenchHome.h"
#include "config/Destination.h"
#include "engine/MachineIdentity.h"
#include "engine/ResticCommand.h"
#include "engine/ResticEngine.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

using namespace vellmir;
using namespace vellmir::bench;

namespace {

const QString password = QStringLiteral("bench-repository-password");

// Runs restic's command lines one after the other in one shell; false when one failed.
bool restic(const QString &binary, const QString &repository, const QString &cache, const QList<QStringList> &commands)
{
    QString script;
    QStringList arguments;
    for (const QStringList &command : commands) {
        script += script.isEmpty() ? QStringLiteral("\"$0\"") : QStringLiteral(" && \"$0\"");
        for (const QString &argument : command) {
            arguments.append(argument);
            script += QStringLiteral(" \"${%1}\"").arg(arguments.size());
        }
        script += QStringLiteral(" >/dev/null");
    }
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RESTIC_REPOSITORY"), repository);
    environment.insert(QStringLiteral("RESTIC_PASSWORD"), password);
    environment.insert(QStringLiteral("RESTIC_CACHE_DIR"), cache);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("/bin/sh"), QStringList { QStringLiteral("-c"), script, binary } + arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0) {
        std::fprintf(stderr, "restic failed: %s\n", process.readAllStandardError().constData());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const QString other = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    const QString binary = findRestic();
    if (binary.isEmpty())
        return 1;

    QTemporaryDir temporary;
    const QString repository = temporary.filePath(QStringLiteral("repository"));
    const QString tree = temporary.filePath(QStringLiteral("tree"));
    const QString cache = temporary.filePath(QStringLiteral("restic-cache"));
    if (!writeTree(
            tree, count, QStringLiteral("group"), [](int part) { return QStringLiteral("part%1").arg(part); },
            QStringLiteral(".txt"))
        || !initRepository(binary, repository, password))
        return 1;

    Home home(temporary.filePath(QStringLiteral("home")));
    if (!home.ok()
        || home.addDestination(QStringLiteral("bench"), repository, password,
                   QJsonObject { { QStringLiteral("sources"), QJsonArray { tree } } })
               .isEmpty())
        return 1;
    QFile file(home.root() + QStringLiteral("/.local/share/Vellmir/destinations.json"));
    const QList<Destination> destinations
        = file.open(QIODevice::ReadOnly) ? Destination::decodeFile(file.readAll()) : QList<Destination>();
    if (destinations.size() != 1)
        return 1;
    const Destination &destination = destinations.first();

    const QStringList backupCommand = QStringList { QStringLiteral("backup"), QStringLiteral("--json"),
        QStringLiteral("--host"), MachineIdentity::hostname() }
        + ResticEngine::lockRetry() + destination.excludeArguments() + destination.resolvedSources();
    QStringList forgetCommand
        = QStringList { QStringLiteral("forget"), QStringLiteral("--json") } + ResticEngine::lockRetry();
    for (const QString &host : MachineIdentity::knownHostnames())
        forgetCommand << QStringLiteral("--host") << host;
    forgetCommand += destination.retention.arguments();

    const QStringList appBackup { QStringLiteral("backup"), QStringLiteral("--destination"), QStringLiteral("bench"),
        QStringLiteral("--inProcess") };
    const auto complete = [&](const QString &program = {}) {
        const QJsonObject run = home.cli(appBackup, {}, program).value(QStringLiteral("run")).toObject();
        return run.value(QStringLiteral("outcome")).toString() == QStringLiteral("complete");
    };
    // The first backup stores the tree and prunes; then both sides' caches are warm.
    if (!complete() || !restic(binary, repository, cache, { backupCommand, forgetCommand }))
        return 1;

    // The first-backup job: a destination of its own, whose repository and history each round
    // starts without.
    const QString fresh = temporary.filePath(QStringLiteral("fresh"));
    const QString freshCache = temporary.filePath(QStringLiteral("fresh-cache"));
    const QString firstID = initRepository(binary, fresh, password) ? home.addDestination(QStringLiteral("first"),
                                fresh, password, QJsonObject { { QStringLiteral("sources"), QJsonArray { tree } } })
                                                                    : QString();
    if (firstID.isEmpty())
        return 1;
    // The unchanged job's records stay: its destination pruned lately and prunes nothing.
    const auto renewed = [&] {
        QDir(fresh).removeRecursively();
        const QDir history(home.history());
        for (const QString &name : history.entryList({ QStringLiteral("*.json") }, QDir::Files)) {
            QFile record(history.filePath(name));
            if (record.open(QIODevice::ReadOnly)
                && QJsonDocument::fromJson(record.readAll()).object().value(QStringLiteral("destinationID")).toString()
                    == firstID)
                record.remove();
        }
        return initRepository(binary, fresh, password);
    };
    const QStringList firstBackup { QStringLiteral("backup"), QStringLiteral("--destination"), QStringLiteral("first"),
        QStringLiteral("--inProcess") };
    const QStringList pruneCommand = forgetCommand + QStringList { QStringLiteral("--prune") };

    bool ok = true;
    Alternating runs;
    const int firstFloor = runs.addMeasured("first backup: restic backup + forget --prune", [&] {
        ok = renewed() && ok;
        QElapsedTimer timer;
        timer.start();
        ok = restic(binary, fresh, freshCache, { backupCommand, pruneCommand }) && ok;
        return double(timer.nsecsElapsed()) / 1e6;
    });
    const int firstTool = runs.addMeasured("first backup: vellmir-app cli backup --inProcess", [&] {
        ok = renewed() && ok;
        QElapsedTimer timer;
        timer.start();
        const QJsonObject run = home.cli(firstBackup).value(QStringLiteral("run")).toObject();
        ok = run.value(QStringLiteral("outcome")).toString() == QStringLiteral("complete") && ok;
        return double(timer.nsecsElapsed()) / 1e6;
    });
    const int floor = runs.add("restic backup + forget", [&] {
        ok = restic(binary, repository, cache, { backupCommand, forgetCommand }) && ok;
    });
    const int tool = runs.add("vellmir-app cli backup --inProcess", [&] { ok = complete() && ok; });
    const int otherBuild
        = other.isEmpty() ? -1 : runs.add("other build: cli backup --inProcess", [&] { ok = complete(other) && ok; });
    const int unlock = runs.add(
        "restic unlock", [&] { ok = restic(binary, repository, cache, { { QStringLiteral("unlock") } }) && ok; });
    runs.run(rounds);
    if (!ok)
        return 1;
    std::printf("unchanged backup of %d files, %d rounds; policy %s\n", count, rounds,
        qPrintable(destination.retention.arguments().join(u' ')));
    runs.printTime(firstFloor);
    runs.printTime(firstTool);
    runs.printTime(floor);
    runs.printTime(tool);
    if (otherBuild >= 0)
        runs.printTime(otherBuild, qPrintable(other));
    runs.printTime(unlock);
    runs.printRatio(firstTool, firstFloor, 1.1);
    runs.printRatio(tool, floor, 1.1);
    if (otherBuild >= 0)
        runs.printRatio(otherBuild, floor, 1.1);
    return 0;
}
