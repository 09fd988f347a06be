// The agent front ends as an agent uses them, against real keyrings: what a long-running MCP
// server keeps of each call, `status` as destinations, their history and the keyring grow, the
// scheduled pass with nothing due next to `status`, a `status` call to a running server next to a
// new `cli status` process, and tool calls sent at once next to the same calls one after another.
// Needs restic, gnome-keyring-daemon, dbus-daemon and secret-tool:
//   build/bench/AgentLoadBench [memory|status|pass|warm|parallel|all] [calls] [vellmir-app]
// The last argument times another build's program (the homes are still made with this one's).
// Every home has its own session bus and keyring (BenchHome.h), so each subject pays for its own
// keyring items only, and starts sealed with agent changes allowed without approval; its
// destinations are added through one MCP server and share one local repository. History records
// are written straight into the history folder, 20 per destination unless said otherwise; the
// orphans are records of 99 destination ids that no home lists, the unrelated items 170 keyring
// items of the application's service that no destination of the home names. The server's runs
// (memory, warm, parallel) use a home like a user's: 30 destinations backing up a folder daily,
// with the scheduler's units written.
#include "BenchHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>

#include <cstdio>
#include <cstdlib>

namespace {

using vellmir::bench::Home;

const QString password = QStringLiteral("bench-repository-password");
// The program timed; empty: this build's.
QString timedApp;

// One `vellmir-app cli mcp` process, spoken to one line at a time.
class Server {
public:
    explicit Server(const Home &home)
    {
        home.start(m_process, { QStringLiteral("cli"), QStringLiteral("mcp") }, timedApp);
        m_process.waitForStarted();
        send(QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), 0 },
            { QStringLiteral("method"), QStringLiteral("initialize") } });
        reply();
    }
    ~Server()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(60000))
            m_process.kill();
    }

    // Sends a tools/call without waiting for its reply.
    void call(int id, const QString &tool, const QJsonObject &arguments = {})
    {
        send(QJsonObject { { QStringLiteral("jsonrpc"), QStringLiteral("2.0") }, { QStringLiteral("id"), id },
            { QStringLiteral("method"), QStringLiteral("tools/call") },
            { QStringLiteral("params"),
                QJsonObject { { QStringLiteral("name"), tool }, { QStringLiteral("arguments"), arguments } } } });
    }

    // The next reply line (notifications are skipped), or an empty object after a minute.
    QJsonObject reply()
    {
        for (;;) {
            while (!m_process.canReadLine())
                if (!m_process.waitForReadyRead(60000))
                    return {};
            const QJsonObject message = QJsonDocument::fromJson(m_process.readLine()).object();
            if (message.contains(QStringLiteral("id")))
                return message;
        }
    }

    // The structured content of a call's reply, or an empty object when it failed.
    QJsonObject result(int id, const QString &tool, const QJsonObject &arguments = {})
    {
        call(id, tool, arguments);
        return content(reply());
    }

    static QJsonObject content(const QJsonObject &reply)
    {
        const QJsonObject result = reply.value(QStringLiteral("result")).toObject();
        if (result.value(QStringLiteral("isError")).toBool() || result.isEmpty()) {
            std::fprintf(stderr, "call failed: %s\n", QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
            return {};
        }
        const QString text = result.value(QStringLiteral("content"))
                                 .toArray()
                                 .first()
                                 .toObject()
                                 .value(QStringLiteral("text"))
                                 .toString();
        return QJsonDocument::fromJson(text.toUtf8()).object();
    }

    // Resident memory in KiB, from /proc.
    long residentKiB() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLong();
        return -1;
    }

private:
    void send(const QJsonObject &message)
    {
        m_process.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
        m_process.waitForBytesWritten(-1);
    }

    QProcess m_process;
};

// Adds `count` destinations through one server and writes `records` history records for each,
// made with the destination's current settings and the newest two hours old, so that none is
// due; `extra` adds parameters to each add. The ids of the destinations, or an empty list.
QStringList populate(const Home &home, int count, const QString &repository, int records, const QJsonObject &extra = {})
{
    QStringList ids;
    Server server(home);
    for (int i = 0; i < count; ++i) {
        QJsonObject parameters = extra;
        parameters.insert(QStringLiteral("kind"), QStringLiteral("local"));
        parameters.insert(QStringLiteral("name"), QStringLiteral("destination %1").arg(i));
        parameters.insert(QStringLiteral("repository"), repository);
        parameters.insert(QStringLiteral("password"), password);
        const QJsonObject added = server.result(i + 1, QStringLiteral("add-destination"), parameters);
        const QString id = added.value(QStringLiteral("added")).toObject().value(QStringLiteral("id")).toString();
        if (id.isEmpty())
            return {};
        ids.append(id);
    }
    for (const QString &id : std::as_const(ids))
        if (!home.writeRecords(id, records, home.scope(id)))
            return {};
    return ids;
}

// One destination, and the records of 99 destinations that no longer exist.
QStringList populateOrphans(const Home &home, const QString &repository, int records)
{
    const QStringList ids = populate(home, 1, repository, records);
    for (int i = 1; i < 100 && !ids.isEmpty(); ++i)
        if (!home.writeRecords(
                QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), records, QStringLiteral("gone")))
            return {};
    return ids;
}

bool cliStatus(const Home &home, qsizetype expected)
{
    return home.cli({ QStringLiteral("status") }, {}, timedApp).value(QStringLiteral("destinations")).toArray().size()
        == expected;
}

int memory(const Home &home, int calls)
{
    Server server(home);
    std::printf("one MCP server, %d sequential status calls (30 scheduled destinations); resident memory:\n", calls);
    long afterHundred = 0;
    long last = 0;
    for (int i = 1; i <= calls; ++i) {
        server.call(i, QStringLiteral("status"));
        if (Server::content(server.reply()).isEmpty())
            return 1;
        if (i == 1 || i == 100 || i % 500 == 0 || i == calls) {
            last = server.residentKiB();
            if (i == 100)
                afterHundred = last;
            std::printf("  after %5d calls: %8.1f MB\n", i, double(last) / 1024);
            std::fflush(stdout);
        }
    }
    const double growth = double(last - afterHundred) / 1024;
    std::printf("  growth after the first 100: %.1f MB  (target <= 10 MB)%s\n", growth, growth <= 10 ? "" : "  MISSED");
    return 0;
}

int status(const Home &one, const Home &hundred, const Home &orphans, const Home &unrelated, int rounds)
{
    vellmir::bench::Alternating runs;
    bool ok = true;
    const int single = runs.add("cli status, 1 destination", [&] { ok = cliStatus(one, 1) && ok; });
    const int many = runs.add("cli status, 100 destinations", [&] { ok = cliStatus(hundred, 100) && ok; });
    const int orphaned
        = runs.add("cli status, 1 destination + 1,980 orphans", [&] { ok = cliStatus(orphans, 1) && ok; });
    const int crowded
        = runs.add("cli status, 1 destination + 170 keyring items", [&] { ok = cliStatus(unrelated, 1) && ok; });
    runs.run(rounds);
    if (!ok)
        return 1;
    std::printf("cli status, each home in its own keyring, 20 history records per destination, %d rounds\n", rounds);
    runs.printTime(single);
    runs.printTime(many);
    runs.printTime(orphaned);
    runs.printTime(crowded);
    runs.printRatio(many, single, 3);
    runs.printRatio(orphaned, single, 0);
    runs.printRatio(crowded, single, 1.15);
    return 0;
}

// The scheduled pass with nothing due, next to `status` of the same home, for 1 and 100
// destinations with 20 records each and 100 destinations with 200 records each; the step from
// 20 to 200 records per destination has a goal of its own.
int pass(const QString &repository, const QString &sources, const QString &folder, int rounds)
{
    const QJsonObject daily { { QStringLiteral("sources"), QJsonArray { sources } },
        { QStringLiteral("schedule"), QStringLiteral("daily") } };
    Home one(folder + QStringLiteral("/pass-one"));
    Home hundred(folder + QStringLiteral("/pass-hundred"));
    Home longer(folder + QStringLiteral("/pass-hundred-long"));
    QStringList hundredIDs;
    QStringList longerIDs;
    if (!one.ok() || !hundred.ok() || !longer.ok() || populate(one, 1, repository, 20, daily).isEmpty()
        || (hundredIDs = populate(hundred, 100, repository, 20, daily)).isEmpty()
        || (longerIDs = populate(longer, 100, repository, 200, daily)).isEmpty())
        return 1;

    vellmir::bench::Alternating runs;
    bool ok = true;
    const int passOne = runs.add("pass, 1 destination", [&] { ok = one.scheduledPass(timedApp) && ok; });
    const int statusOne = runs.add("cli status, 1 destination", [&] { ok = cliStatus(one, 1) && ok; });
    const int passHundred = runs.add("pass, 100 destinations", [&] { ok = hundred.scheduledPass(timedApp) && ok; });
    const int statusHundred = runs.add("cli status, 100 destinations", [&] { ok = cliStatus(hundred, 100) && ok; });
    const int passLonger
        = runs.add("pass, 100 destinations x 200 records", [&] { ok = longer.scheduledPass(timedApp) && ok; });
    const int statusLonger
        = runs.add("cli status, 100 destinations x 200 records", [&] { ok = cliStatus(longer, 100) && ok; });
    // Right after one more record of one of the destinations, as the next pass finds the folder
    // after a backup.
    int turn = 0;
    const auto afterNewRecord = [&](const Home &home, const QStringList &ids) {
        return [&home, ids, &ok, &turn] {
            const QString &id = ids.at(turn++ % ids.size());
            ok = home.addRecord(id, home.scope(id)) && ok;
            QElapsedTimer timer;
            timer.start();
            ok = home.scheduledPass(timedApp) && ok;
            return double(timer.nsecsElapsed()) / 1e6;
        };
    };
    const int passHundredNew
        = runs.addMeasured("pass after a new record, 100 destinations", afterNewRecord(hundred, hundredIDs));
    const int passLongerNew
        = runs.addMeasured("pass after a new record, 100 x 200 records", afterNewRecord(longer, longerIDs));
    runs.run(rounds);
    if (!ok)
        return 1;
    std::printf("scheduled pass with nothing due, each home in its own keyring, %d rounds\n", rounds);
    for (int index :
        { passOne, statusOne, passHundred, statusHundred, passLonger, statusLonger, passHundredNew, passLongerNew })
        runs.printTime(index);
    runs.printRatio(passHundred, statusHundred, 1.3);
    runs.printRatio(passLonger, statusLonger, 1.3);
    runs.printRatio(passHundred, passOne, 0);
    // A history ten times longer: neither the pass nor status may decode the older records.
    runs.printRatio(passLonger, passHundred, 1.2);
    runs.printRatio(statusLonger, statusHundred, 1.2);
    runs.printRatio(passLongerNew, passHundredNew, 1.2);
    return 0;
}

// A status call to a server that has answered before, steady and right after one more record of
// one of the destinations, next to a new `cli status` process.
int warm(const Home &home, const QStringList &ids, int rounds)
{
    Server server(home);
    int id = 1;
    vellmir::bench::Alternating runs;
    bool ok = true;
    const int process = runs.add("cli status, a new process", [&] { ok = cliStatus(home, 30) && ok; });
    const int call = runs.add("status call to a running MCP server", [&] {
        server.call(id++, QStringLiteral("status"));
        ok = Server::content(server.reply()).value(QStringLiteral("destinations")).toArray().size() == 30 && ok;
    });
    const int callNew = runs.addMeasured("status call after a new record", [&] {
        const QString &destination = ids.at(id % ids.size());
        ok = home.addRecord(destination, home.scope(destination)) && ok;
        QElapsedTimer timer;
        timer.start();
        server.call(id++, QStringLiteral("status"));
        ok = Server::content(server.reply()).value(QStringLiteral("destinations")).toArray().size() == 30 && ok;
        return double(timer.nsecsElapsed()) / 1e6;
    });
    runs.run(rounds);
    if (!ok)
        return 1;
    std::printf("status with 30 scheduled destinations, %d rounds\n", rounds);
    runs.printTime(process);
    runs.printTime(call);
    runs.printTime(callNew);
    runs.printRatio(call, process, 0.5);
    runs.printRatio(callNew, process, 0.5);
    return 0;
}

int parallel(const Home &home, int calls, int rounds)
{
    Server server(home);
    int id = 1;
    vellmir::bench::Alternating runs;
    bool ok = true;
    const int sequential = runs.add("status calls one after another", [&] {
        for (int i = 0; i < calls; ++i) {
            server.call(id++, QStringLiteral("status"));
            ok = !Server::content(server.reply()).isEmpty() && ok;
        }
    });
    const int together = runs.add("status calls sent at once", [&] {
        for (int i = 0; i < calls; ++i)
            server.call(id++, QStringLiteral("status"));
        for (int i = 0; i < calls; ++i)
            ok = !Server::content(server.reply()).isEmpty() && ok;
    });
    runs.run(rounds);
    if (!ok)
        return 1;
    std::printf("one MCP server, %d status calls (30 scheduled destinations), %d rounds\n", calls, rounds);
    runs.printTime(sequential);
    runs.printTime(together);
    runs.printRatio(together, sequential, 0);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("all");
    const int calls = argc > 2 ? std::max(100, std::atoi(argv[2])) : 3000;
    if (argc > 3)
        timedApp = QString::fromLocal8Bit(argv[3]);
    const QString restic = vellmir::bench::findRestic();
    if (restic.isEmpty())
        return 1;

    QTemporaryDir temporary;
    const QString repository = temporary.filePath(QStringLiteral("repository"));
    if (!vellmir::bench::initRepository(restic, repository, password))
        return 1;

    int failures = 0;
    if (mode == QLatin1String("status") || mode == QLatin1String("all")) {
        Home one(temporary.filePath(QStringLiteral("one")));
        Home hundred(temporary.filePath(QStringLiteral("hundred")));
        Home orphans(temporary.filePath(QStringLiteral("orphans")));
        Home unrelated(temporary.filePath(QStringLiteral("unrelated")));
        if (!one.ok() || !hundred.ok() || !orphans.ok() || !unrelated.ok() || populate(one, 1, repository, 20).isEmpty()
            || populate(hundred, 100, repository, 20).isEmpty() || populateOrphans(orphans, repository, 20).isEmpty()
            || populate(unrelated, 1, repository, 20).isEmpty() || !unrelated.addUnrelatedItems(170))
            return 1;
        failures += status(one, hundred, orphans, unrelated, 15);
    }
    if (mode == QLatin1String("pass") || mode == QLatin1String("all")) {
        const QString sources = temporary.filePath(QStringLiteral("sources"));
        QDir().mkpath(sources);
        failures += pass(repository, sources, temporary.path(), 11);
    }
    const QStringList served { QStringLiteral("memory"), QStringLiteral("warm"), QStringLiteral("parallel") };
    if (served.contains(mode) || mode == QLatin1String("all")) {
        const QString sources = temporary.filePath(QStringLiteral("documents"));
        if (!vellmir::bench::writeTree(
                sources, 200, QStringLiteral("project"), [](int part) { return QStringLiteral("part%1").arg(part); },
                QStringLiteral(".txt")))
            return 1;
        const QJsonObject daily { { QStringLiteral("sources"), QJsonArray { sources } },
            { QStringLiteral("schedule"), QStringLiteral("daily") } };
        Home thirty(temporary.filePath(QStringLiteral("thirty")));
        const QStringList thirtyIDs = thirty.ok() ? populate(thirty, 30, repository, 20, daily) : QStringList();
        if (thirtyIDs.isEmpty())
            return 1;
        if (mode == QLatin1String("memory") || mode == QLatin1String("all"))
            failures += memory(thirty, calls);
        if (mode == QLatin1String("warm") || mode == QLatin1String("all"))
            failures += warm(thirty, thirtyIDs, 21);
        if (mode == QLatin1String("parallel") || mode == QLatin1String("all"))
            failures += parallel(thirty, 100, 5);
    }
    return failures ? 1 : 0;
}
