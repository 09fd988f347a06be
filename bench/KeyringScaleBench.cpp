// Times the built `vellmir-app cli` against real keyrings as destinations grow: `status` with one
// destination next to `status` with thirty (20 history records each), and the 1st
// `add-destination` next to the 30th. Needs restic, gnome-keyring-daemon and dbus-daemon:
//   build/bench/KeyringScaleBench [rounds]
// Each home has its own session bus and keyring (BenchHome.h), so a subject pays for its own
// items only. Each round times the four subjects in turn; the added destination is removed again,
// untimed, before the next round. All destinations back up to one local repository, made once.
#include "BenchHome.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

using vellmir::bench::Home;

const QString password = QStringLiteral("bench-repository-password");

qsizetype destinationCount(const Home &home)
{
    const QJsonObject reply = home.cli({ QStringLiteral("status") });
    if (reply.value(QStringLiteral("configuration")).toString() != QStringLiteral("sealed"))
        return -1;
    return reply.value(QStringLiteral("destinations")).toArray().size();
}

// Adds `count` destinations, each with 20 history records made with its settings; false when one
// failed.
bool populate(const Home &home, int count, const QString &repository)
{
    for (int i = 0; i < count; ++i) {
        const QString id = home.addDestination(QStringLiteral("destination %1").arg(i), repository, password);
        if (id.isEmpty() || !home.writeRecords(id, 20, home.scope(id)))
            return false;
    }
    return true;
}

bool removeDestination(const Home &home, const QString &name)
{
    return !home.cli({ QStringLiteral("remove-destination"), QStringLiteral("--destination"), name }).isEmpty();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const QString restic = vellmir::bench::findRestic();
    if (restic.isEmpty())
        return 1;

    QTemporaryDir temporary;
    const QString repository = temporary.filePath(QStringLiteral("repository"));
    if (!vellmir::bench::initRepository(restic, repository, password))
        return 1;

    // The status subjects, and the homes the 1st and the 30th destination are added to.
    Home one(temporary.filePath(QStringLiteral("one")));
    Home thirty(temporary.filePath(QStringLiteral("thirty")));
    Home empty(temporary.filePath(QStringLiteral("empty")));
    Home twentyNine(temporary.filePath(QStringLiteral("twenty-nine")));
    if (!one.ok() || !thirty.ok() || !empty.ok() || !twentyNine.ok() || !populate(one, 1, repository)
        || !populate(thirty, 30, repository) || !populate(twentyNine, 29, repository))
        return 1;

    bool ok = true;
    vellmir::bench::Alternating runs;
    const int statusOne = runs.add("cli status, 1 destination", [&] { ok = destinationCount(one) == 1 && ok; });
    const int statusThirty
        = runs.add("cli status, 30 destinations", [&] { ok = destinationCount(thirty) == 30 && ok; });
    // One add to `home`, timed; the added destination is removed again, untimed.
    const auto add = [&](const char *name, const Home &home) {
        return runs.add(
            name,
            [&ok, &repository, target = &home] {
                ok = !target->addDestination(QStringLiteral("added"), repository, password).isEmpty() && ok;
            },
            [&ok, target = &home] { ok = removeDestination(*target, QStringLiteral("added")) && ok; });
    };
    const int firstAdd = add("add-destination, 1st", empty);
    const int thirtiethAdd = add("add-destination, 30th", twentyNine);
    runs.run(rounds);
    if (!ok)
        return 1;

    std::printf("vellmir-app cli, each home in its own keyring, local destinations with 20 history records each, "
                "%d rounds\n",
        rounds);
    runs.printTime(statusOne);
    runs.printTime(statusThirty);
    runs.printTime(firstAdd);
    runs.printTime(thirtiethAdd);
    runs.printRatio(statusThirty, statusOne, 3);
    runs.printRatio(thirtiethAdd, firstAdd, 2);
    return 0;
}
