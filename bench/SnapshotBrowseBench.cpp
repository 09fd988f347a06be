// Times a search of a large snapshot, and the restore of one file from it, the way an agent and
// the application do them, next to restic doing the same alone. Each round times, in turn:
// - "restic ls --json --recursive" alone, its output thrown away, and into `wc -l`;
// - ResticEngine::browse searching the snapshot;
// - "restic ls --recursive | grep -i TEXT" (restic's plain listing, what a person would type),
//   and `vellmir-app cli browse --search TEXT`; TEXT matches one file in every folder;
// - "restic restore --verify --include FILE", and `vellmir-app cli restore --path FILE`, of a
//   file with content, so that --verify reads something back.
// The cli runs in a home of its own with its own session bus and keyring (BenchHome.h), its
// destination on the benchmark's repository; the snapshot is named by its short id, as an agent
// names it after listing the snapshots. Needs restic, gnome-keyring-daemon and dbus-daemon.
//
//   SnapshotBrowseBench [--folders F] [--files N] [--rounds R] [--work DIR] [--search TEXT]
//
// The tree (F folders of N small files each, every one holding its own path) and its repository
// are made once in DIR and reused by later runs with the same shape.

#include "BenchHome.h"
#include "engine/ResticEngine.h"
#include "util/Error.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace vellmir;
using namespace vellmir::bench;

namespace {

struct Setup {
    ResticEnvironment environment;
    QString snapshot;
    QString root;
};

const QString repositoryPassword = QStringLiteral("bench-password");

bool fail(const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
    return false;
}

bool prepare(const ResticEngine &engine, const QString &work, int folders, int files, Setup &setup)
{
    const QString shape = QStringLiteral("%1x%2-filled").arg(folders).arg(files);
    setup.root = work + QStringLiteral("/src-") + shape;
    setup.environment = { { QStringLiteral("RESTIC_REPOSITORY"), work + QStringLiteral("/repo-") + shape },
        { QStringLiteral("RESTIC_PASSWORD"), repositoryPassword },
        { QStringLiteral("RESTIC_CACHE_DIR"), work + QStringLiteral("/cache") } };
    if (!QFile::exists(setup.environment.value(QStringLiteral("RESTIC_REPOSITORY")) + QStringLiteral("/config"))) {
        std::printf("making %d folders of %d files and backing them up (once)...\n", folders, files);
        std::fflush(stdout);
        for (int f = 0; f < folders; ++f) {
            const QString folder = setup.root + QStringLiteral("/folder%1").arg(f);
            if (!QDir().mkpath(folder))
                return fail(QStringLiteral("cannot create ") + folder);
            for (int i = 0; i < files; ++i) {
                QFile file(folder + QStringLiteral("/file%1.txt").arg(i));
                if (!file.open(QIODevice::WriteOnly) || file.write(file.fileName().toUtf8() + '\n') <= 0)
                    return fail(QStringLiteral("cannot create ") + file.fileName());
            }
        }
        const ConnectionStatus created = engine.initialize(setup.environment);
        if (created.kind != ConnectionStatus::Kind::ok)
            return fail(created.message);
        const ResticResult result = engine.run(
            ResticCommand(QStringLiteral("backup")).flag("--quiet").positional(setup.root), setup.environment);
        if (result.exitCode != 0)
            return fail(ResticEngine::cleanError(result.stderr, result.exitCode));
    }
    const QList<Snapshot> snapshots = engine.listSnapshots(setup.environment);
    if (snapshots.isEmpty())
        return fail(QStringLiteral("the benchmark repository holds no snapshot"));
    setup.snapshot = snapshots.first().id;
    return true;
}

// Gives `process` the environment restic runs with for the snapshot's repository.
void useResticEnvironment(QProcess &process, const Setup &setup)
{
    QStringList environment;
    for (const QByteArray &entry : ResticEngine::childEnvironment(setup.environment))
        environment.append(QString::fromLocal8Bit(entry));
    process.setEnvironment(environment);
}

// "restic ls --recursive", as the engine runs it (JSON lines) or as a person types it.
QStringList lsArguments(const Setup &setup, bool json = true)
{
    ResticCommand command(QStringLiteral("ls"));
    if (json)
        command.flag("--json");
    return command.flag("--recursive").positional(setup.snapshot).positional(QStringLiteral("/")).arguments();
}

// restic alone. With `throughPipe` false its output goes to /dev/null; with true it goes through
// a pipe to `wc -l`, the cheapest reader there is: restic writes each line with its own write
// call, and a pipe makes every one of them wake a reader.
void restic(const ResticEngine &engine, const Setup &setup, bool throughPipe)
{
    QProcess process;
    useResticEnvironment(process, setup);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (throughPipe)
        process.start(QStringLiteral("/bin/sh"),
            QStringList { QStringLiteral("-c"), QStringLiteral("\"$0\" \"$@\" | wc -l"), *engine.locateBinary() }
                + lsArguments(setup));
    else
        process.start(*engine.locateBinary(), lsArguments(setup));
    process.waitForFinished(-1);
    if (process.exitCode() != 0)
        std::fprintf(stderr, "restic ls exited with %d\n", process.exitCode());
}

void browse(const ResticEngine &engine, const Setup &setup, const QString &search, qsizetype &found)
{
    try {
        found = engine.browse(setup.snapshot, QStringLiteral("/"), search, true, setup.environment).size();
    } catch (const Error &error) {
        std::fprintf(stderr, "browse failed: %s\n", qPrintable(error.message()));
    }
}

// restic alone through `sh -c`, its standard output to /dev/null; false when it failed.
bool shell(const ResticEngine &engine, const Setup &setup, const QString &script, const QStringList &arguments)
{
    QProcess process;
    useResticEnvironment(process, setup);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(
        QStringLiteral("/bin/sh"), QStringList { QStringLiteral("-c"), script, *engine.locateBinary() } + arguments);
    process.waitForFinished(-1);
    if (process.exitCode() != 0)
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(script), process.readAllStandardError().constData());
    return process.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int folders = 100;
    int files = 999;
    int rounds = 7;
    QString work = QDir::tempPath() + QStringLiteral("/vellmir-browse-bench");
    QString search = QStringLiteral("file500.");
    const QStringList arguments = app.arguments();
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == QStringLiteral("--folders"))
            folders = arguments[i + 1].toInt();
        else if (arguments[i] == QStringLiteral("--files"))
            files = arguments[i + 1].toInt();
        else if (arguments[i] == QStringLiteral("--rounds"))
            rounds = std::max(1, arguments[i + 1].toInt());
        else if (arguments[i] == QStringLiteral("--work"))
            work = arguments[i + 1];
        else if (arguments[i] == QStringLiteral("--search"))
            search = arguments[i + 1];
    }

    const ResticEngine engine(std::nullopt, work + QStringLiteral("/locks"));
    if (!engine.locateBinary()) {
        std::fprintf(stderr, "restic not found\n");
        return 1;
    }
    Setup setup;
    if (!prepare(engine, work, folders, files, setup))
        return 1;
    restic(engine, setup, false); // warms restic's cache and the page cache

    // The application's own path: a home whose one destination is this repository.
    const QString shortID = setup.snapshot.left(8);
    const QString file = setup.root + QStringLiteral("/folder%1/file%2.txt").arg(folders / 2).arg(files / 2);
    QTemporaryDir homeFolder;
    Home home(homeFolder.filePath(QStringLiteral("home")));
    if (!home.ok()
        || home.addDestination(QStringLiteral("bench"), setup.environment.value(QStringLiteral("RESTIC_REPOSITORY")),
                   repositoryPassword)
               .isEmpty())
        return 1;
    const QString targets = homeFolder.filePath(QStringLiteral("restores"));
    QDir().mkpath(targets);
    const QStringList cliBrowse { QStringLiteral("browse"), QStringLiteral("--destination"), QStringLiteral("bench"),
        QStringLiteral("--snapshot"), shortID, QStringLiteral("--search"), search };
    const QStringList cliRestore { QStringLiteral("restore"), QStringLiteral("--destination"), QStringLiteral("bench"),
        QStringLiteral("--snapshot"), shortID, QStringLiteral("--path"), file, QStringLiteral("--target"), targets };
    bool ok = !home.cli(cliBrowse).isEmpty(); // warms the home's restic cache
    const auto emptied = [&] {
        QDir(targets).removeRecursively();
        QDir().mkpath(targets);
    };

    qsizetype found = 0;
    Alternating timing;
    const int alone = timing.add("restic ls", [&] { restic(engine, setup, false); });
    const int piped = timing.add("restic ls | wc -l", [&] { restic(engine, setup, true); });
    const int searched = timing.add("ResticEngine::browse", [&] { browse(engine, setup, search, found); });
    const int grep = timing.add("restic ls | grep", [&] {
        ok = shell(engine, setup, QStringLiteral("\"$0\" \"$@\" | grep -i \"$SEARCH\" >/dev/null || true"),
                 lsArguments(setup, false))
            && ok;
    });
    const int tool = timing.add("vellmir-app cli browse --search", [&] { ok = !home.cli(cliBrowse).isEmpty() && ok; });
    const int resticRestore = timing.add(
        "restic restore --verify, one file",
        [&] {
            ok = shell(engine, setup, QStringLiteral("\"$0\" \"$@\""),
                     { QStringLiteral("restore"), QStringLiteral("--verify"), QStringLiteral("--json"),
                         QStringLiteral("--overwrite"), QStringLiteral("never"), QStringLiteral("--target"),
                         targets + QStringLiteral("/restic"), QStringLiteral("--include"), file, shortID })
                && ok;
        },
        emptied);
    const int toolRestore = timing.add(
        "vellmir-app cli restore --path, one file",
        [&] { ok = home.cli(cliRestore).value(QStringLiteral("files")).toInt() == 1 && ok; }, emptied);
    qputenv("SEARCH", search.toUtf8());
    timing.run(rounds);
    if (!ok)
        return 1;

    const qint64 nodes = qint64(folders) * (files + 1);
    std::printf(
        "snapshot: %lld nodes below the backed-up folder (%d x %d files), %d rounds\n", nodes, folders, files, rounds);
    std::printf("restic ls is \"restic ls --json --recursive\" with its output to /dev/null; the grep reads\n"
                "\"restic ls --recursive\"\n");
    timing.printTime(alone);
    timing.printTime(piped);
    timing.printTime(searched, qPrintable(QStringLiteral("search \"%1\": %2 entries").arg(search).arg(found)));
    timing.printTime(grep);
    timing.printTime(tool);
    timing.printTime(resticRestore);
    timing.printTime(toolRestore);
    timing.printRatio(searched, alone, 1.10);
    // The pipe alone costs restic some time: this ratio shows what the engine adds to it.
    timing.printRatio(searched, piped, 0);
    timing.printRatio(tool, grep, 1.15);
    timing.printRatio(toolRestore, resticRestore, 1.3);
    return 0;
}
