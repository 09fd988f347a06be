// The agent front ends as an agent uses them, against a real keyring: what a long-running MCP
// server keeps of each call, `status` as destinations and their history grow, and tool calls sent
// at once next to the same calls one after another. Needs the private keyring session of
// scripts/with-keyring (it writes keyring items) and restic:
//   scripts/with-keyring build/bench/AgentLoadBench [memory|status|parallel|all] [calls]
// Every home starts sealed with agent changes allowed without approval; its destinations are
// added through one MCP server and share one local repository. History records are written
// straight into the history folder, 20 per destination; the orphans are records of 99 destination
// ids that no home lists.
#include "BenchTiming.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#include <cstdio>
#include <cstdlib>

namespace {

const QString password = QStringLiteral("bench-repository-password");

struct Home {
    QString root;

    QProcessEnvironment environment() const { return vellmir::bench::homeEnvironment(root); }
    QString history() const { return root + QStringLiteral("/.local/share/Vellmir/history"); }
};

// One `vellmir-app cli mcp` process, spoken to one line at a time.
class Server {
public:
    explicit Server(const Home &home)
    {
        m_process.setProcessEnvironment(home.environment());
        m_process.start(QStringLiteral(VELLMIR_APP), { QStringLiteral("cli"), QStringLiteral("mcp") });
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

bool makeHome(const Home &home)
{
    QDir().mkpath(home.root + QStringLiteral("/.config/Vellmir"));
    QDir().mkpath(home.root + QStringLiteral("/.local/share"));
    QFile defaults(home.root + QStringLiteral("/.config/Vellmir/Vellmir.conf"));
    return defaults.open(QIODevice::WriteOnly) && defaults.write("[General]\nagentChangesWithoutApproval=true\n") > 0;
}

// Writes `records` complete runs of the destination `id` into the history folder.
bool writeRecords(const Home &home, const QString &id, int records)
{
    QDir().mkpath(home.history());
    for (int r = 0; r < records; ++r) {
        const QString recordID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        const double started = 7.9e8 + r * 3600.0;
        const QJsonObject record { { QStringLiteral("id"), recordID }, { QStringLiteral("destinationID"), id },
            { QStringLiteral("startedAt"), started }, { QStringLiteral("finishedAt"), started + 60 },
            { QStringLiteral("outcome"), QStringLiteral("complete") },
            { QStringLiteral("snapshotID"), QStringLiteral("0123456789abcdef") },
            { QStringLiteral("issues"), QJsonArray {} }, { QStringLiteral("accessGranted"), true },
            { QStringLiteral("bytesAdded"), 123456 }, { QStringLiteral("scope"), QStringLiteral("bench") } };
        QFile file(home.history() + u'/' + recordID + QStringLiteral(".json"));
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(record).toJson(QJsonDocument::Compact)) < 0)
            return false;
    }
    return true;
}

// Adds `count` destinations through one server and writes `records` history records for each;
// the ids of the destinations, or an empty list on failure.
QStringList populate(const Home &home, int count, const QString &repository, int records)
{
    QStringList ids;
    Server server(home);
    for (int i = 0; i < count; ++i) {
        const QJsonObject added = server.result(i + 1, QStringLiteral("add-destination"),
            QJsonObject { { QStringLiteral("kind"), QStringLiteral("local") },
                { QStringLiteral("name"), QStringLiteral("destination %1").arg(i) },
                { QStringLiteral("repository"), repository }, { QStringLiteral("password"), password } });
        const QString id = added.value(QStringLiteral("added")).toObject().value(QStringLiteral("id")).toString();
        if (id.isEmpty())
            return {};
        ids.append(id);
    }
    for (const QString &id : std::as_const(ids))
        if (!writeRecords(home, id, records))
            return {};
    return ids;
}

// One destination, and the records of 99 destinations that no longer exist.
QStringList populateOrphans(const Home &home, const QString &repository, int records)
{
    const QStringList ids = populate(home, 1, repository, records);
    for (int i = 1; i < 100 && !ids.isEmpty(); ++i)
        if (!writeRecords(home, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), records))
            return {};
    return ids;
}

bool cliStatus(const Home &home, qsizetype expected)
{
    QProcess process;
    process.setProcessEnvironment(home.environment());
    process.start(QStringLiteral(VELLMIR_APP), { QStringLiteral("cli"), QStringLiteral("status") });
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        std::fprintf(stderr, "status failed: %s\n", process.readAllStandardError().constData());
        return false;
    }
    const QJsonObject reply = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    return reply.value(QStringLiteral("destinations")).toArray().size() == expected;
}

int memory(const Home &home, int calls)
{
    Server server(home);
    std::printf("one MCP server, %d sequential status calls (30 destinations); resident memory:\n", calls);
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

int status(const Home &one, const Home &hundred, const Home &orphans, int rounds)
{
    vellmir::bench::Alternating runs;
    bool ok = true;
    const int single = runs.add("cli status, 1 destination", [&] { ok = cliStatus(one, 1) && ok; });
    const int many = runs.add("cli status, 100 destinations", [&] { ok = cliStatus(hundred, 100) && ok; });
    const int orphaned
        = runs.add("cli status, 1 destination + 1,980 orphans", [&] { ok = cliStatus(orphans, 1) && ok; });
    runs.run(rounds);
    if (!ok)
        return 1;
    std::printf("cli status in a private keyring, 20 history records per destination, %d rounds\n", rounds);
    runs.printTime(single);
    runs.printTime(many);
    runs.printTime(orphaned);
    runs.printRatio(many, single, 3);
    runs.printRatio(orphaned, single, 0);
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
    std::printf("one MCP server, %d status calls (30 destinations), %d rounds\n", calls, rounds);
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
    if (qEnvironmentVariable("VELLMIR_TEST_KEYRING") != QStringLiteral("1")) {
        std::fprintf(stderr,
            "usage: scripts/with-keyring %s [memory|status|parallel|all] [calls]\n"
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
    // The keyring's seal key is shared by every home, so each home is a copy of one sealed empty
    // home rather than a first start of its own.
    const Home empty { temporary.filePath(QStringLiteral("empty")) };
    if (!makeHome(empty) || !cliStatus(empty, 0))
        return 1;
    const auto home = [&](const QString &name) {
        const Home made { temporary.filePath(name) };
        QProcess copy;
        copy.start(QStringLiteral("cp"), { QStringLiteral("-a"), empty.root, made.root });
        return copy.waitForFinished(-1) && copy.exitCode() == 0 ? std::optional<Home>(made) : std::nullopt;
    };

    int failures = 0;
    if (mode == QLatin1String("status") || mode == QLatin1String("all")) {
        const std::optional<Home> one = home(QStringLiteral("one"));
        const std::optional<Home> hundred = home(QStringLiteral("hundred"));
        const std::optional<Home> orphans = home(QStringLiteral("orphans"));
        if (!one || !hundred || !orphans || populate(*one, 1, repository, 20).isEmpty()
            || populate(*hundred, 100, repository, 20).isEmpty() || populateOrphans(*orphans, repository, 20).isEmpty())
            return 1;
        failures += status(*one, *hundred, *orphans, 15);
    }
    if (mode == QLatin1String("memory") || mode == QLatin1String("parallel") || mode == QLatin1String("all")) {
        const std::optional<Home> thirty = home(QStringLiteral("thirty"));
        if (!thirty || populate(*thirty, 30, repository, 20).isEmpty())
            return 1;
        if (mode != QLatin1String("parallel"))
            failures += memory(*thirty, calls);
        if (mode != QLatin1String("memory"))
            failures += parallel(*thirty, 100, 5);
    }
    return failures ? 1 : 0;
}
