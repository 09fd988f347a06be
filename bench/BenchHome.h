#pragma once

// A private home for the built application, as the benchmarks that drive `vellmir-app` use it:
// its own HOME and XDG folders, its own session bus and keyring (BenchKeyring.h), sealed at its
// first start with agent changes allowed without approval, so adds and restores need no answer.
#include "BenchKeyring.h"
#include "BenchTiming.h"
#include "config/Destination.h"
#include "operations/BackupHistory.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryFile>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vellmir::bench {

class Home {
public:
    // Makes the home's folders below `root`, starts its keyring and seals it with a first
    // `status`; ok() says whether all of that worked.
    explicit Home(const QString &root)
        : m_root(root)
    {
        QDir().mkpath(root + QStringLiteral("/.config/Vellmir"));
        QDir().mkpath(root + QStringLiteral("/.local/share"));
        QDir().mkpath(root + QStringLiteral("/.cache"));
        QFile defaults(root + QStringLiteral("/.config/Vellmir/Vellmir.conf"));
        if (!defaults.open(QIODevice::WriteOnly) || defaults.write("[General]\nagentChangesWithoutApproval=true\n") < 0)
            return;
        defaults.close();
        m_keyring = std::make_unique<PrivateKeyring>(homeEnvironment(root), root + QStringLiteral("/.run"));
        m_ok = m_keyring->ok() && !cli({ QStringLiteral("status") }).isEmpty();
    }

    bool ok() const { return m_ok; }
    const QString &root() const { return m_root; }
    QProcessEnvironment environment() const { return m_keyring->environment(); }
    QString history() const { return m_root + QStringLiteral("/.local/share/Vellmir/history"); }

    // Starts the application with `arguments` in this home: the built one, or `program`.
    void start(QProcess &process, const QStringList &arguments, const QString &program = {}) const
    {
        process.setProcessEnvironment(environment());
        process.start(program.isEmpty() ? QStringLiteral(VELLMIR_APP) : program, arguments);
    }

    // One scheduled pass; with nothing due it backs nothing up and ends with status 0.
    bool scheduledPass(const QString &program = {}) const
    {
        QProcess process;
        start(process, { QStringLiteral("--scheduled-run") }, program);
        if (!process.waitForFinished(600000) || process.exitCode() != 0) {
            std::fprintf(stderr, "scheduled pass failed: %s\n", process.readAllStandardError().constData());
            return false;
        }
        return true;
    }

    // One cli command: its reply, or an empty object (with the reason on stderr).
    QJsonObject cli(const QStringList &arguments, const QByteArray &input = {}, const QString &program = {}) const
    {
        QProcess process;
        start(process, QStringList { QStringLiteral("cli") } + arguments, program);
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            std::fprintf(stderr, "cli %s failed: %s%s\n", qPrintable(arguments.join(u' ')),
                process.readAllStandardOutput().constData(), process.readAllStandardError().constData());
            return {};
        }
        return QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    }

    // One cli command run to its end: its wall time in milliseconds, the peak resident memory of
    // the application's own process in KiB (restic's, a child of it, not counted) and its output;
    // nullopt when it could not start or did not end with status 0.
    struct Measured {
        double ms = 0;
        long peakKiB = 0;
        long writtenBlocks = 0; // file system outputs, in 512-byte blocks
        QByteArray output;
    };
    std::optional<Measured> measuredCli(const QStringList &arguments, const QString &program = {}) const
    {
        // GNU time reports the program's own peak memory and writes: the program's getrusage()
        // through posix_spawn would count the bench's own memory, which it shares until exec.
        QTemporaryFile report;
        const bool timed = QFile::exists(QStringLiteral("/usr/bin/time")) && report.open();
        QList<QByteArray> strings;
        if (timed)
            strings = { "/usr/bin/time", "-f", "%M %O", "-o", QFile::encodeName(report.fileName()) };
        strings += { QFile::encodeName(program.isEmpty() ? QStringLiteral(VELLMIR_APP) : program), "cli" };
        for (const QString &argument : arguments)
            strings.append(argument.toLocal8Bit());
        QList<QByteArray> variables;
        for (const QString &variable : environment().toStringList())
            variables.append(variable.toLocal8Bit());
        std::vector<char *> argv;
        std::vector<char *> envp;
        for (QByteArray &each : strings)
            argv.push_back(each.data());
        for (QByteArray &each : variables)
            envp.push_back(each.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return std::nullopt;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        QElapsedTimer timer;
        timer.start();
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        Measured measured;
        char buffer[65536];
        for (ssize_t n; spawned == 0 && (n = ::read(out[0], buffer, sizeof buffer)) != 0;)
            if (n > 0)
                measured.output.append(buffer, n);
            else if (errno != EINTR)
                break;
        ::close(out[0]);
        if (spawned != 0)
            return std::nullopt;
        int status = 0;
        struct rusage usage { };
        while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
        measured.ms = double(timer.nsecsElapsed()) / 1e6;
        measured.peakKiB = usage.ru_maxrss;
        measured.writtenBlocks = usage.ru_oublock;
        if (timed) {
            const QList<QByteArray> figures = report.readAll().trimmed().split(' ');
            if (figures.size() == 2) {
                measured.peakKiB = figures.at(0).toLong();
                measured.writtenBlocks = figures.at(1).toLong();
            }
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "cli %s failed: %s\n", qPrintable(arguments.join(u' ')), measured.output.constData());
            return std::nullopt;
        }
        return measured;
    }

    // Adds a local destination; its id, or an empty string. `extra` adds parameters (sources,
    // schedule, ...).
    QString addDestination(
        const QString &name, const QString &repository, const QString &password, const QJsonObject &extra = {}) const
    {
        QJsonObject parameters = extra;
        parameters.insert(QStringLiteral("kind"), QStringLiteral("local"));
        parameters.insert(QStringLiteral("name"), name);
        parameters.insert(QStringLiteral("repository"), repository);
        parameters.insert(QStringLiteral("password"), password);
        const QJsonObject reply
            = cli({ QStringLiteral("add-destination"), QStringLiteral("--json"), QStringLiteral("-") },
                QJsonDocument(parameters).toJson(QJsonDocument::Compact));
        return reply.value(QStringLiteral("added")).toObject().value(QStringLiteral("id")).toString();
    }

    // The settings fingerprint the destination `id` has now, for records that count for it.
    QString scope(const QString &id) const
    {
        QFile file(m_root + QStringLiteral("/.local/share/Vellmir/destinations.json"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        for (const Destination &destination : Destination::decodeFile(file.readAll()))
            if (destination.id == QUuid::fromString(id))
                return destination.backupScope();
        return {};
    }

    // Writes `count` complete hourly runs of the destination `id` into the history folder, the
    // newest finished `newestAgo` seconds before now, made with the settings `scope`: straight
    // into the folder, as records of earlier runs are found there.
    bool writeRecords(const QString &id, int count, const QString &scope, double newestAgo = 7200) const
    {
        QDir().mkpath(history());
        // Seconds since 2001-01-01, the records' own clock.
        const double now = double(QDateTime::currentSecsSinceEpoch()) - 978307200.0;
        for (int r = 0; r < count; ++r) {
            const BackupRecord record = completeRecord(id, now - newestAgo - 60 - (count - 1 - r) * 3600.0, scope);
            QFile file(history() + u'/' + record.id.toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".json"));
            if (!file.open(QIODevice::WriteOnly) || file.write(record.encoded()) < 0)
                return false;
        }
        return true;
    }

    // Records one more complete run of the destination `id`, finished now, as a backup run of the
    // application does.
    bool addRecord(const QString &id, const QString &scope) const
    {
        try {
            BackupHistory(history()).write(completeRecord(id, Date::now().seconds - 60, scope));
            return true;
        } catch (const std::exception &error) {
            std::fprintf(stderr, "could not record a run: %s\n", error.what());
            return false;
        }
    }

    // Stores `count` keyring items of the application's service that this home's settings do
    // not name: what removed destinations and other data folders leave in a user's keyring.
    bool addUnrelatedItems(int count) const
    {
        for (int i = 0; i < count; ++i) {
            QProcess store;
            store.setProcessEnvironment(environment());
            const QString account
                = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".repoPassword");
            store.start(QStringLiteral("secret-tool"),
                { QStringLiteral("store"), QStringLiteral("--label=unrelated"), QStringLiteral("service"),
                    QStringLiteral("org.vellmir.Vellmir"), QStringLiteral("account"), account });
            store.write("unrelated-secret");
            store.closeWriteChannel();
            if (!store.waitForFinished(30000) || store.exitCode() != 0) {
                std::fprintf(stderr, "secret-tool store failed: %s\n", store.readAllStandardError().constData());
                return false;
            }
        }
        return true;
    }

private:
    // A run's record of about the size a real one has (490 bytes): a full snapshot id, the
    // retention message and one issue.
    static BackupRecord completeRecord(const QString &id, double started, const QString &scope)
    {
        BackupRecord record(QUuid::fromString(id), Date { started });
        record.finishedAt = Date { started + 60 };
        record.outcome = BackupRecord::Outcome::complete;
        record.snapshotID = QStringLiteral("4f2a9c1e6b0d83a57e19c2f4d6a8b0c1e3f5a7b9d1c3e5f7a9b1c3d5e7f9a1b3");
        record.issues = { QStringLiteral("Some files could not be read and were skipped.") };
        record.maintenance = QStringLiteral("Retention applied; removed 1 snapshot(s).");
        record.accessGranted = true;
        record.bytesAdded = 123456789;
        record.scope = scope;
        record.skippedProtected = QStringList { QStringLiteral("~/.local/share/keyrings") };
        return record;
    }

    QString m_root;
    std::unique_ptr<PrivateKeyring> m_keyring;
    bool m_ok = false;
};

} // namespace vellmir::bench
