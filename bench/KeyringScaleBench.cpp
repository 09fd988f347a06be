// Times the built `vellmir-app cli` against a real keyring as destinations grow: `status` with one
// destination next to `status` with thirty, and the 1st `add-destination` next to the 30th.
// Needs the private keyring session of scripts/with-keyring (it writes keyring items) and restic:
//   scripts/with-keyring build/bench/KeyringScaleBench [rounds]
// Every home is a copy of one sealed, empty home whose policy lets agents change settings
// without approval (migrated from the old user default on its first run), so adds and removals
// need no answer. All destinations back up to one local repository, made once.
#include "BenchTiming.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

const QString password = QStringLiteral("bench-repository-password");

struct Home {
    QString root;

    QProcessEnvironment environment() const { return vellmir::bench::homeEnvironment(root); }
};

// Runs one cli command in `home`; the reply, or an empty object (with the reason on stderr).
QJsonObject cli(const Home &home, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.setProcessEnvironment(home.environment());
    process.start(QStringLiteral(VELLMIR_APP), QStringList { QStringLiteral("cli") } + arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "cli %s failed: %s%s\n", qPrintable(arguments.join(u' ')),
            process.readAllStandardOutput().constData(), process.readAllStandardError().constData());
        return {};
    }
    return QJsonDocument::fromJson(process.readAllStandardOutput()).object();
}

bool addDestination(const Home &home, const QString &name, const QString &repository)
{
    const QByteArray input = QJsonDocument(QJsonObject { { QStringLiteral("password"), password } }).toJson();
    return !cli(home,
        { QStringLiteral("add-destination"), QStringLiteral("--kind"), QStringLiteral("local"),
            QStringLiteral("--name"), name, QStringLiteral("--repository"), repository, QStringLiteral("--json"),
            QStringLiteral("-") },
        input)
                .isEmpty();
}

bool removeDestination(const Home &home, const QString &name)
{
    return !cli(home, { QStringLiteral("remove-destination"), QStringLiteral("--destination"), name }).isEmpty();
}

qsizetype destinationCount(const Home &home)
{
    const QJsonObject reply = cli(home, { QStringLiteral("status") });
    if (reply.value(QStringLiteral("configuration")).toString() != QStringLiteral("sealed"))
        return -1;
    return reply.value(QStringLiteral("destinations")).toArray().size();
}

bool copyTree(const QString &from, const QString &to)
{
    QProcess copy;
    copy.start(QStringLiteral("cp"), { QStringLiteral("-a"), from, to });
    return copy.waitForFinished(-1) && copy.exitCode() == 0;
}

struct Figures {
    QList<double> times;
    double median() const { return vellmir::bench::median(times); }
    void print(const char *label) const
    {
        const auto [low, high] = std::minmax_element(times.cbegin(), times.cend());
        std::printf("  %-34s %8.1f ms  (min %.1f, max %.1f)\n", label, median(), *low, *high);
    }
};

double timed(const std::function<bool()> &work, bool &ok)
{
    QElapsedTimer clock;
    clock.start();
    ok = work() && ok;
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (qEnvironmentVariable("VELLMIR_TEST_KEYRING") != QStringLiteral("1")) {
        std::fprintf(stderr,
            "usage: scripts/with-keyring %s [rounds]\n"
            "It writes keyring items, so it runs only in the throwaway keyring of scripts/with-keyring.\n",
            argv[0]);
        return 2;
    }
    const QString restic = QStandardPaths::findExecutable(QStringLiteral("restic"));
    if (restic.isEmpty()) {
        std::fprintf(stderr, "restic is missing\n");
        return 1;
    }

    QTemporaryDir temporary;
    const QString repository = temporary.filePath(QStringLiteral("repository"));
    if (!vellmir::bench::initRepository(restic, repository, password))
        return 1;

    // The sealed empty home every other home starts from.
    const Home empty { temporary.filePath(QStringLiteral("empty")) };
    QDir().mkpath(empty.root + QStringLiteral("/.config/Vellmir"));
    QDir().mkpath(empty.root + QStringLiteral("/.local/share"));
    {
        QFile defaults(empty.root + QStringLiteral("/.config/Vellmir/Vellmir.conf"));
        if (!defaults.open(QIODevice::WriteOnly) || defaults.write("[General]\nagentChangesWithoutApproval=true\n") < 0)
            return 1;
    }
    if (destinationCount(empty) != 0)
        return 1;
    const auto homeFromEmpty = [&](const QString &name) {
        const Home home { temporary.filePath(name) };
        return copyTree(empty.root, home.root) ? std::optional<Home>(home) : std::nullopt;
    };

    // Each side is timed while the keyring holds only its own home's items, as a user's keyring
    // would: first one destination (its 1st add goes into a fresh copy of the empty home, removed
    // again untimed), then thirty (the 30th add into the home of 29, removed again untimed).
    // Within a side, adds and status calls alternate.
    bool ok = true;
    Figures firstAdd, thirtiethAdd, statusOne, statusThirty;
    const std::optional<Home> one = homeFromEmpty(QStringLiteral("one"));
    if (!one || !addDestination(*one, QStringLiteral("only"), repository))
        return 1;
    for (int round = 0; round < rounds && ok; ++round) {
        const std::optional<Home> fresh = homeFromEmpty(QStringLiteral("fresh-%1").arg(round));
        if (!fresh)
            return 1;
        firstAdd.times.append(timed([&] { return addDestination(*fresh, QStringLiteral("first"), repository); }, ok));
        for (int i = 0; i < 2; ++i)
            statusOne.times.append(timed([&] { return destinationCount(*one) == 1; }, ok));
        ok = removeDestination(*fresh, QStringLiteral("first")) && ok;
    }

    const std::optional<Home> thirty = homeFromEmpty(QStringLiteral("thirty"));
    if (!ok || !thirty || !removeDestination(*one, QStringLiteral("only")))
        return 1;
    for (int i = 1; i < 30; ++i)
        if (!addDestination(*thirty, QStringLiteral("destination %1").arg(i), repository))
            return 1;
    for (int round = 0; round < rounds && ok; ++round) {
        thirtiethAdd.times.append(
            timed([&] { return addDestination(*thirty, QStringLiteral("thirtieth"), repository); }, ok));
        for (int i = 0; i < 2; ++i)
            statusThirty.times.append(timed([&] { return destinationCount(*thirty) == 30; }, ok));
        ok = removeDestination(*thirty, QStringLiteral("thirtieth")) && ok;
    }
    if (!ok)
        return 1;

    std::printf("vellmir-app cli in a private keyring, local destinations, median of %d (adds) and %d (status)\n",
        rounds, rounds * 2);
    statusOne.print("status, 1 destination:");
    statusThirty.print("status, 30 destinations:");
    std::printf("  %-34s %8.2fx  (target <= 3x)\n", "30 destinations / 1:", statusThirty.median() / statusOne.median());
    firstAdd.print("add-destination, 1st:");
    thirtiethAdd.print("add-destination, 30th:");
    std::printf("  %-34s %8.2fx  (target <= 2x)\n", "30th add / 1st:", thirtiethAdd.median() / firstAdd.median());
    return 0;
}
