#include "operations/BackupRunner.h"
#include "FakePlatform.h"
#include "TestSupport.h"
#include "config/FileLock.h"
#include "engine/MachineIdentity.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/ResticError.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

using namespace vellmir;
using namespace std::chrono_literals;

namespace {
const QString password = QStringLiteral("pw-7a1c-not-for-argv");
const QString snapshotID = QStringLiteral("5d64010835f3f382f07c09b6df710cfc49d679f2c22feb7942b03be1b86df877");

QByteArray summaryLine(const QString &id = snapshotID)
{
    return QStringLiteral(R"({"message_type":"summary","files_new":2,"files_changed":1,"files_unmodified":3,)"
                          R"("data_added":1234,"total_bytes_processed":5678,"snapshot_id":"%1"})")
               .arg(id)
               .toUtf8()
        + '\n';
}

const QByteArray statusLine = R"({"message_type":"status","percent_done":0.5,"total_files":4,"files_done":2,)"
                              R"("total_bytes":100,"bytes_done":50,"current_files":["/src/a"]})"
                              "\n";

// One runner over the fake restic, with its own script folder, history and notifications.
struct Fixture {
    test::TestHome home;
    QTemporaryDir dir;
    std::shared_ptr<test::FakeKeepAwake> keepAwake = std::make_shared<test::FakeKeepAwake>();
    std::shared_ptr<KeepAwake> otherKeepAwake; // used instead of keepAwake when set
    std::mutex mutex;
    QList<NotificationContent> notifications;
    bool accessGranted = true;
    bool fullDiskAccessWanted = false;
    std::function<ResticEnvironment(const Destination &)> environment;
    Destination destination;

    Fixture()
    {
        QDir().mkpath(script());
        destination.id = newUuid();
        destination.credentialID = newUuid();
        destination.name = QStringLiteral("Photos");
        destination.kind = Destination::Kind::local;
        destination.repository = dir.filePath(QStringLiteral("repo"));
        destination.sources = { home.path() + QStringLiteral("/Documents"), home.path() + QStringLiteral("/Pictures") };
        destination.pruneAfterBackup = false;
        environment = [this](const Destination &) { return resticEnvironment(); };
    }

    QString script() const { return dir.filePath(QStringLiteral("script")); }
    QString historyDirectory() const { return dir.filePath(QStringLiteral("history")); }
    QString locks() const { return dir.filePath(QStringLiteral("locks")); }

    ResticEnvironment resticEnvironment() const
    {
        return { { QStringLiteral("RESTIC_REPOSITORY"), destination.repository },
            { QStringLiteral("RESTIC_PASSWORD"), password }, { QStringLiteral("FAKE_RESTIC_DIR"), script() } };
    }

    void set(const QString &name, const QByteArray &content) { test::writeFile(script() + u'/' + name, content); }

    bool resticInstalled = true;

    ResticEngine engine() const
    {
        if (!resticInstalled) // nowhere to look
            return ResticEngine(std::nullopt, locks(), QStringList {});
        return ResticEngine(test::supportPath(QStringLiteral("fake-restic")), locks());
    }

    std::unique_ptr<BackupRunner> runner()
    {
        BackupRunner::Services services;
        services.environmentProvider = [this](const Destination &d) { return environment(d); };
        services.accessCheck = [this] { return accessGranted; };
        services.fullDiskAccessWanted = [this] { return fullDiskAccessWanted; };
        services.notify = [this](const NotificationContent &content) {
            std::lock_guard guard(mutex);
            notifications.append(content);
        };
        services.keepAwake = otherKeepAwake ? otherKeepAwake : keepAwake;
        return std::make_unique<BackupRunner>(engine(), BackupHistory(historyDirectory()), services);
    }

    BackupRecord stored(const QUuid &id) const
    {
        const QString path = BackupHistory(historyDirectory()).filePath(id);
        return BackupRecord::decoded(test::readFile(path), path);
    }

    QStringList arguments() const
    {
        const QString path = script() + QStringLiteral("/args");
        if (!QFile::exists(path))
            return {};
        QStringList lines = QString::fromUtf8(test::readFile(path)).split(u'\n');
        lines.removeLast();
        return lines;
    }

    bool resticStarted() const { return QFile::exists(script() + QStringLiteral("/pid")); }

    QStringList notificationBodies()
    {
        std::lock_guard guard(mutex);
        QStringList bodies;
        for (const NotificationContent &content : notifications)
            bodies.append(content.body);
        return bodies;
    }
};

QString body(const QString &outcome)
{
    return QStringLiteral("The latest backup is ") + outcome + QStringLiteral(". Open Vellmir to review its result.");
}

// The record's issues of a finished run: the runner's, then the failure message of a failed run.
QStringList recordIssues(const BackupRunner &runner)
{
    QStringList issues = runner.issues();
    if (runner.phase() == BackupRunner::Phase::failed && runner.failureMessage())
        issues.append(*runner.failureMessage());
    return issues;
}
} // namespace

Q_DECLARE_METATYPE(std::optional<QString>)

class BackupRunnerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<int>("exit");
        QTest::addColumn<bool>("wanted"); // the user backs up protected app data
        QTest::addColumn<bool>("granted");
        QTest::addColumn<bool>("prune"); // pruneAfterBackup
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QStringList>("issues");
        QTest::addColumn<int>("skipped");
        QTest::addColumn<std::optional<QString>>("failure");
        QTest::addColumn<std::optional<QString>>("pruneMessage");

        const std::optional<QString> none;
        auto text = [](const char *s) { return std::optional<QString>(QString::fromUtf8(s)); };
        const QByteArray library = QStringLiteral(
            R"({"message_type":"error","error":{"message":"open $H/Library/Mail/a: permission denied"},"item":"$H/Library/Mail/a"})"
            "\n"
            "open $H/Library/Safari/b: operation not permitted\n")
                                       .toUtf8();
        const QByteArray exit3Warning
            = R"({"message_type":"exit_error","code":3,"message":"Warning: at least one source file could not be read"})"
              "\n";
        const QString noSnapshot
            = QStringLiteral("The backup returned no snapshot ID. Its result could not be verified.");
        const QString skippedRetention
            = QStringLiteral("Retention skipped because this backup is incomplete. Existing snapshots were preserved.");

        test::dataRow("exit 0", statusLine + summaryLine(), QByteArray(), 0, false, true, false, "complete", "finished",
            QStringList {}, 0, none, none);
        test::dataRow("exit 0, a problem line", statusLine + summaryLine(),
            QByteArray("open /src/x: permission denied\n"), 0, false, true, false, "incomplete", "finished",
            QStringList { "open /src/x: permission denied" }, 0, none, none);
        // No folder is one a backup is expected to be denied: what could not be read is an issue.
        test::dataRow("exit 3, denied below Library", summaryLine(), library + exit3Warning, 3, false, true, true,
            "incomplete", "finished",
            QStringList { "open $H/Library/Mail/a: permission denied ($H/Library/Mail/a)",
                "open $H/Library/Safari/b: operation not permitted" },
            0, text("Warning: at least one source file could not be read"), std::optional<QString>(skippedRetention));
        test::dataRow("exit 3, no problem lines", summaryLine(), QByteArray(), 3, false, true, true, "incomplete",
            "finished", QStringList { "Some files could not be read and were skipped." }, 0, none,
            std::optional<QString>(skippedRetention));
        test::dataRow("exit 3, restic 0.18 unreadable files",
            test::readData(QStringLiteral("restic/backup2-unreadable-json.jsonl")),
            test::readData(QStringLiteral("restic/backup2-unreadable-json.stderr")), 3, false, true, false,
            "incomplete", "finished",
            QStringList { "openfile for readdirnames failed: open /tmp/rp/src/secret/locked-dir: permission denied "
                          "(/tmp/rp/src/secret/locked-dir)",
                "openfile for readdirnames failed: open /tmp/rp/src/secret/locked-dir: permission denied "
                "(/tmp/rp/src/secret/locked-dir)",
                "open /tmp/rp/src/secret/unreadable-new.txt: permission denied "
                "(/tmp/rp/src/secret/unreadable-new.txt)" },
            0, text("Warning: at least one source file could not be read"), none);
        QTest::newRow("exit 0, Full Disk Access wanted but not granted")
            << summaryLine() << QByteArray() << 0 << true << false << true << "incomplete"
            << "finished"
            << QStringList { "Full Disk Access could not be confirmed. Protected files may be unavailable; review "
                             "access before trusting this backup." }
            << 0 << none << std::optional<QString>(skippedRetention);
        test::dataRow("exit 0, no summary", statusLine, QByteArray("Fatal: something else\n"), 0, false, true, true,
            "failed", "failed", QStringList {}, 0, std::optional<QString>(noSnapshot), none);
        test::dataRow("exit 3, summary without snapshot id",
            QByteArray(R"({"message_type":"summary","files_new":1})"
                       "\n"),
            QByteArray(), 3, false, true, false, "failed", "failed", QStringList {}, 0,
            std::optional<QString>(noSnapshot), none);
        test::dataRow("exit 1, exit_error", statusLine,
            test::readData(QStringLiteral("restic/backup-missing-source-json.stderr")), 1, false, true, true, "failed",
            "failed", QStringList { "/tmp/rp/does-not-exist does not exist, skipping" }, 0,
            text("Fatal: all source directories/files do not exist"), none);
        test::dataRow("exit 1, only a problem line", QByteArray(), QByteArray("/gone does not exist, skipping\n"), 1,
            false, true, false, "failed", "failed", QStringList { "/gone does not exist, skipping" }, 0,
            text("/gone does not exist, skipping"), none);
        test::dataRow("exit 1, nothing said", QByteArray(), QByteArray(), 1, false, true, false, "failed", "failed",
            QStringList {}, 0, text("Backup failed (exit code 1)."), none);
        test::dataRow("exit 12, wrong password", QByteArray(), QByteArray("Fatal: wrong password or no key found\n"),
            12, false, true, false, "failed", "failed", QStringList {}, 0,
            text("Fatal: wrong password or no key found"), none);
    }

    void outcomes()
    {
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(int, exit);
        QFETCH(bool, wanted);
        QFETCH(bool, granted);
        QFETCH(bool, prune);
        QFETCH(QString, outcome);
        QFETCH(QString, phase);
        QFETCH(QStringList, issues);
        QFETCH(int, skipped);
        QFETCH(std::optional<QString>, failure);
        QFETCH(std::optional<QString>, pruneMessage);

        Fixture f;
        const QString home = f.home.path();
        f.set(QStringLiteral("backup.stdout"), out);
        f.set(QStringLiteral("backup.stderr"), QString::fromUtf8(err).replace(QStringLiteral("$H"), home).toUtf8());
        f.set(QStringLiteral("backup.exit"), QByteArray::number(exit));
        f.set(QStringLiteral("forget.stdout"), "[]\n");
        f.fullDiskAccessWanted = wanted;
        f.accessGranted = granted;
        f.destination.pruneAfterBackup = prune;
        for (QString &issue : issues)
            issue.replace(QStringLiteral("$H"), home);

        auto runner = f.runner();
        const std::optional<QUuid> id = runner->runAndWait(f.destination);
        QVERIFY(id);
        QCOMPARE(runner->recordID(), id);

        QCOMPARE(toString(runner->phase()), phase);
        QCOMPARE(runner->issues(), issues);
        QCOMPARE(runner->skippedProtected().size(), skipped);
        QCOMPARE(runner->failureMessage(), failure);
        QCOMPARE(runner->pruneMessage(), pruneMessage);
        QVERIFY(!runner->isBusy());
        QCOMPARE(runner->usingFullDiskAccess(), wanted);
        if (phase == QLatin1String("finished"))
            QCOMPARE(runner->percent(), 1.0);

        const BackupRecord record = f.stored(*id);
        QCOMPARE(toString(record.outcome), outcome);
        QCOMPARE(record.destinationID, f.destination.id);
        QVERIFY(record.finishedAt && *record.finishedAt >= record.startedAt);
        QCOMPARE(record.issues, recordIssues(*runner));
        QCOMPARE(record.accessGranted, granted);
        QCOMPARE(record.scope, std::optional<QString>(f.destination.backupScope()));
        QCOMPARE(record.maintenance, pruneMessage);
        QCOMPARE(record.snapshotID,
            runner->summary() ? std::optional<QString>(runner->summary()->snapshotID) : std::nullopt);
        QCOMPARE(record.bytesAdded, runner->summary() ? runner->summary()->dataAdded : 0);
        QCOMPARE(
            record.skippedProtected, skipped ? std::optional<QStringList>(runner->skippedProtected()) : std::nullopt);
        QCOMPARE(record.prunedAt.has_value(), pruneMessage && pruneMessage->endsWith(u"pruned."));
        // Once saved, the runner's record is the one in the file.
        QVERIFY(runner->record() == std::optional<BackupRecord>(record));

        // Retention runs only after a complete backup.
        QCOMPARE(f.arguments().value(0),
            outcome == u"complete" && prune ? QStringLiteral("forget") : QStringLiteral("backup"));

        const QStringList expectedNotifications
            = outcome == u"complete" ? QStringList {} : QStringList { body(outcome) };
        QCOMPARE(f.notificationBodies(), expectedNotifications);
        if (!expectedNotifications.isEmpty()) {
            QCOMPARE(f.notifications.first().id, BackupNotifications::backupId(f.destination.id));
            QCOMPARE(f.notifications.first().title, QStringLiteral("Photos: backup needs attention"));
        }
        QCOMPARE(f.keepAwake->held->load(), 0);
        QCOMPARE(f.keepAwake->lastReason, QStringLiteral("Finishing an encrypted backup"));
    }

    void backupArguments_data()
    {
        QTest::addColumn<int>("uploadLimit"); // -1: no preferences
        QTest::addColumn<QStringList>("limitArguments");

        QTest::newRow("no preferences") << -1 << QStringList {};
        QTest::newRow("no limit") << 0 << QStringList {};
        QTest::newRow("limit") << 512 << QStringList { "--limit-upload", "512" };
    }

    void backupArguments()
    {
        QFETCH(int, uploadLimit);
        QFETCH(QStringList, limitArguments);
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), summaryLine());
        if (uploadLimit >= 0) {
            BackupPreferences preferences;
            preferences.uploadLimitKiB = uploadLimit;
            f.destination.preferences = preferences;
        }
        f.destination.excludes = { QStringLiteral("~/Downloads"), QStringLiteral("*.tmp") };
        f.destination.sources.append(QStringLiteral("--password-file=/x"));

        f.runner()->runAndWait(f.destination);
        const QStringList expected = QStringList { "backup", "--json", "--host", MachineIdentity::hostname() }
            + limitArguments + f.destination.excludeArguments() + QStringList { "--" } + f.destination.sources;
        QCOMPARE(f.arguments(), expected);
        QVERIFY(!f.arguments().join(u' ').contains(password));
    }

    void keepsTheMachineAwakeWhileWorking()
    {
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), summaryLine());
        int heldWhileBuilding = -1;
        f.environment = [&](const Destination &) {
            heldWhileBuilding = f.keepAwake->held->load();
            return f.resticEnvironment();
        };
        f.runner()->runAndWait(f.destination);
        QCOMPARE(heldWhileBuilding, 1);
        QCOMPARE(f.keepAwake->held->load(), 0);
    }

    void failuresBeforeRestic_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("failure");

        test::dataRow("no sources", "no sources", "No folders selected to back up.");
        test::dataRow("missing secret", "environment", "The repository password is missing.");
        test::dataRow("restic missing", "no restic", "restic not found");
        QTest::newRow("repository busy") << "busy" << FileLock::busyMessage();
    }

    void failuresBeforeRestic()
    {
        QFETCH(QString, situation);
        QFETCH(QString, failure);
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), summaryLine());
        std::unique_ptr<FileLock> held;
        if (situation == u"no sources")
            f.destination.sources.clear();
        if (situation == u"environment")
            f.environment = [](const Destination &) -> ResticEnvironment {
                throw ResticError::command(QStringLiteral("The repository password is missing."));
            };
        if (situation == u"no restic")
            f.resticInstalled = false;
        if (situation == u"busy")
            held = FileLock::repository(f.destination.repository, f.locks());

        auto runner = f.runner();
        const std::optional<QUuid> id = runner->runAndWait(f.destination);
        QVERIFY(runner->phase() == BackupRunner::Phase::failed);
        QCOMPARE(runner->failureMessage(), std::optional<QString>(failure));
        QVERIFY(!f.resticStarted());
        if (situation == u"busy") {
            // Another run has the repository: this one never started, and no record of it may
            // stand in front of the other's as the latest attempt.
            QVERIFY(!id);
            QVERIFY(!QFileInfo::exists(f.historyDirectory()));
            QVERIFY(f.notificationBodies().isEmpty());
            return;
        }

        const BackupRecord record = f.stored(*id);
        QVERIFY(record.outcome == BackupRecord::Outcome::failed);
        QCOMPARE(record.issues, QStringList { failure });
        QCOMPARE(f.notificationBodies(), QStringList { body(QStringLiteral("failed")) });
    }

    void historyThatCannotBeWritten()
    {
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), summaryLine());
        test::writeFile(f.historyDirectory(), "not a folder");
        auto runner = f.runner();
        runner->runAndWait(f.destination);

        QVERIFY(runner->phase() == BackupRunner::Phase::failed);
        // The start failed and restic never ran: no backup "ended", whatever the end's write did.
        QVERIFY2(runner->failureMessage()->startsWith(u"No backup ran: its history record could not be written: "),
            qPrintable(*runner->failureMessage()));
        QVERIFY(!f.resticStarted());
        QCOMPARE(f.notificationBodies(), QStringList { body(QStringLiteral("failed")) });
        // Nothing was saved, so the runner keeps the record as the run built it.
        QVERIFY(runner->record() && !runner->record()->finishedAt);
    }

    void failureBeforeTheRecordGivesNoRecordID()
    {
        Fixture f;
        // A service that fails before the run has a record: there is no record id to hand out.
        BackupRunner::Services services;
        services.environmentProvider = f.environment;
        services.accessCheck = [] { return true; };
        services.fullDiskAccessWanted = []() -> bool { throw Error(QStringLiteral("The settings are unreadable.")); };
        services.notify = [](const NotificationContent &) {};
        services.keepAwake = f.keepAwake;
        BackupRunner failing(f.engine(), BackupHistory(f.historyDirectory()), services);

        QVERIFY(!failing.runAndWait(f.destination));
        QVERIFY(failing.phase() == BackupRunner::Phase::failed);
        QCOMPARE(failing.failureMessage(), std::optional<QString>(QStringLiteral("The settings are unreadable.")));
        QVERIFY(!f.resticStarted());
        QVERIFY(!QFileInfo::exists(f.historyDirectory()));
    }

    void startFailureIsRecordedWhenTheEndCanBeWritten()
    {
        // The folder is in the way at the start and gone by the end: the keep-awake hold is
        // let go between the two writes.
        class ClearingKeepAwake final : public KeepAwake {
        public:
            explicit ClearingKeepAwake(QString path)
                : m_path(std::move(path))
            {
            }
            std::unique_ptr<KeepAwakeHold> hold(const QString &) override { return std::make_unique<Hold>(m_path); }

        private:
            class Hold final : public KeepAwakeHold {
            public:
                explicit Hold(QString path)
                    : m_path(std::move(path))
                {
                }
                ~Hold() override { QFile::remove(m_path); }
                bool isActive() const override { return true; }

            private:
                QString m_path;
            };
            QString m_path;
        };

        Fixture f;
        test::writeFile(f.historyDirectory(), "not a folder");
        f.otherKeepAwake = std::make_shared<ClearingKeepAwake>(f.historyDirectory());
        auto runner = f.runner();

        const std::optional<QUuid> id = runner->runAndWait(f.destination);
        QVERIFY(runner->phase() == BackupRunner::Phase::failed);
        QVERIFY2(runner->failureMessage()->startsWith(u"No backup ran: its history record could not be written: "),
            qPrintable(*runner->failureMessage()));
        QVERIFY(!f.resticStarted());
        const BackupRecord record = f.stored(*id);
        QVERIFY(record.outcome == BackupRecord::Outcome::failed);
        QCOMPARE(record.issues, QStringList { *runner->failureMessage() });
        QCOMPARE(f.notificationBodies(), QStringList { body(QStringLiteral("failed")) });
    }

    void retention_data()
    {
        QTest::addColumn<QByteArray>("forgetOut");
        QTest::addColumn<QByteArray>("forgetErr");
        QTest::addColumn<int>("forgetExit");
        QTest::addColumn<QString>("history"); // "fresh", "pruned recently", "damaged" (a record that does not decode)
        QTest::addColumn<QString>("pruneMessage");
        QTest::addColumn<bool>("pruned");
        QTest::addColumn<bool>("notified");

        const QByteArray removeTwo = R"([{"host":"h","remove":[{"id":"a"},{"id":"b"}]},{"host":"h","remove":null}])";
        QTest::newRow("removes two, prunes")
            << removeTwo << QByteArray() << 0 << "fresh"
            << "Retention applied; removed 2 snapshot(s). Unused data pruned." << true << false;
        QTest::newRow("nothing to remove, no prune due") << QByteArray("[]") << QByteArray() << 0 << "pruned recently"
                                                         << "Retention applied; nothing to remove." << false << false;
        test::dataRow("forget fails", QByteArray(), QByteArray("Fatal: unable to create lock\n"), 1, "fresh",
            "Retention failed: Fatal: unable to create lock", false, true);
        QTest::newRow("damaged record set aside")
            << QByteArray("[]") << QByteArray() << 0 << "damaged"
            << "Retention applied; nothing to remove. Unused data pruned." << true << false;
    }

    void retention()
    {
        QFETCH(QByteArray, forgetOut);
        QFETCH(QByteArray, forgetErr);
        QFETCH(int, forgetExit);
        QFETCH(QString, history);
        QFETCH(QString, pruneMessage);
        QFETCH(bool, pruned);
        QFETCH(bool, notified);

        Fixture f;
        f.destination.pruneAfterBackup = true;
        f.set(QStringLiteral("backup.stdout"), summaryLine());
        f.set(QStringLiteral("forget.stdout"), forgetOut);
        f.set(QStringLiteral("forget.stderr"), forgetErr);
        f.set(QStringLiteral("forget.exit"), QByteArray::number(forgetExit));
        if (history == u"pruned recently") {
            BackupRecord earlier(f.destination.id, Date::now().addingSeconds(-60));
            earlier.outcome = BackupRecord::Outcome::complete;
            earlier.prunedAt = Date::now().addingSeconds(-60);
            earlier.scope = f.destination.backupScope();
            writeFileAtomically(BackupHistory(f.historyDirectory()).filePath(earlier.id), earlier.encoded());
        }
        if (history == u"damaged")
            test::writeFile(f.historyDirectory() + QStringLiteral("/") + uuidText(newUuid()) + QStringLiteral(".json"),
                "{not json");

        auto runner = f.runner();
        QList<BackupRunner::Phase> phases;
        QObject::connect(
            runner.get(), &BackupRunner::phaseChanged, runner.get(), [&] { phases.append(runner->phase()); });
        const std::optional<QUuid> id = runner->runAndWait(f.destination);

        QVERIFY2(runner->pruneMessage() && runner->pruneMessage()->startsWith(pruneMessage),
            qPrintable(runner->pruneMessage().value_or(QStringLiteral("<none>"))));
        if (!pruneMessage.endsWith(u' '))
            QCOMPARE(*runner->pruneMessage(), pruneMessage);
        QVERIFY(runner->phase() == BackupRunner::Phase::finished);
        QVERIFY(phases.contains(BackupRunner::Phase::pruning));
        const BackupRecord record = f.stored(*id);
        QVERIFY(record.outcome == BackupRecord::Outcome::complete);
        QCOMPARE(record.prunedAt.has_value(), pruned);
        QCOMPARE(record.maintenance, runner->pruneMessage());
        QCOMPARE(f.notificationBodies(), notified ? QStringList { body(QStringLiteral("complete")) } : QStringList {});

        const QStringList forget = f.arguments();
        QCOMPARE(forget.value(0), QStringLiteral("forget"));
        QCOMPARE(forget.contains(QStringLiteral("--prune")), history != u"pruned recently");
        QVERIFY(forget.contains(QStringLiteral("--keep-daily")));
    }

    void cancellation_data()
    {
        QTest::addColumn<QString>("when");
        test::dataRow("during the stream", "stream");
        test::dataRow("before restic starts", "start");
        // Once restic has named its snapshot the backup exists: a stop while restic still
        // removes its lock leaves the run complete, and its retention to the next run.
        test::dataRow("after the summary", "summary");
    }

    void cancellation()
    {
        QFETCH(QString, when);
        const bool saved = when == u"summary";
        Fixture f;
        f.destination.pruneAfterBackup = true;
        f.set(QStringLiteral("backup.stdout"), saved ? statusLine + summaryLine() : statusLine);
        f.set(QStringLiteral("sleep"), "30");
        f.set(QStringLiteral("term-exit"), "1"); // as restic 0.18 ends an interrupted backup

        auto runner = f.runner();
        std::stop_source stop;
        std::jthread canceller;
        if (when == u"start") {
            f.environment = [&](const Destination &) {
                stop.request_stop();
                return f.resticEnvironment();
            };
        } else if (saved) {
            connect(runner.get(), &BackupRunner::summaryChanged, this, [&] { stop.request_stop(); });
        } else {
            canceller = std::jthread([&f, &stop](std::stop_token done) {
                while (!done.stop_requested() && f.arguments().value(0) != u"backup")
                    std::this_thread::sleep_for(10ms);
                stop.request_stop();
            });
        }

        const std::optional<QUuid> id = runner->runAndWait(f.destination, stop.get_token());
        QVERIFY(runner->phase() == (saved ? BackupRunner::Phase::finished : BackupRunner::Phase::idle));
        QVERIFY(!runner->isBusy());
        QVERIFY(!runner->failureMessage());
        QVERIFY(!runner->pruneMessage());
        QCOMPARE(f.resticStarted(), when != u"start");
        QCOMPARE(f.arguments().value(0), when == u"start" ? QString() : QStringLiteral("backup"));

        const BackupRecord record = f.stored(*id);
        QVERIFY(record.outcome == (saved ? BackupRecord::Outcome::complete : BackupRecord::Outcome::cancelled));
        QCOMPARE(record.snapshotID, saved ? std::optional(snapshotID) : std::nullopt);
        QVERIFY(record.finishedAt.has_value());
        QCOMPARE(f.notificationBodies(), saved ? QStringList {} : QStringList { body(QStringLiteral("cancelled")) });
        QCOMPARE(f.keepAwake->held->load(), 0);
    }

    void cancelStopsTheRunThatRunStarted()
    {
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), statusLine);
        f.set(QStringLiteral("sleep"), "30");
        f.set(QStringLiteral("term-exit"), "1");
        auto runner = f.runner();
        runner->cancel(); // nothing running: nothing happens
        QVERIFY(runner->phase() == BackupRunner::Phase::idle);

        QSignalSpy ended(runner.get(), &BackupRunner::runEnded);
        // Whoever hears that the run is no longer busy reads its outcome, not "running".
        std::optional<BackupRecord::Outcome> heardWhenFree;
        connect(runner.get(), &BackupRunner::busyChanged, this, [&] {
            if (!runner->isBusy() && runner->recordID())
                heardWhenFree = f.stored(*runner->recordID()).outcome;
        });
        runner->run(f.destination);
        QTRY_VERIFY_WITH_TIMEOUT(f.resticStarted(), 10000);
        runner->cancel();
        QVERIFY(ended.wait(10000));
        QVERIFY(runner->phase() == BackupRunner::Phase::idle);
        QVERIFY(runner->recordID());
        QVERIFY(f.stored(*runner->recordID()).outcome == BackupRecord::Outcome::cancelled);
        QVERIFY(heardWhenFree == BackupRecord::Outcome::cancelled);

        // The next run is not cancelled by the earlier request.
        f.set(QStringLiteral("sleep"), "0");
        f.set(QStringLiteral("backup.stdout"), summaryLine());
        runner->run(f.destination);
        QVERIFY(ended.wait(10000));
        QVERIFY(runner->phase() == BackupRunner::Phase::finished);

        // Quitting cancels a run whose runner is already gone, and waits for its record.
        f.set(QStringLiteral("backup.sleep"), "30");
        f.set(QStringLiteral("backup.stdout"), statusLine);
        QFile::remove(f.script() + QStringLiteral("/args"));
        const std::optional<QUuid> finished = runner->recordID();
        runner->run(f.destination);
        // The runner hears of the new record a moment after restic may already have started.
        QTRY_VERIFY_WITH_TIMEOUT(f.arguments().value(0) == u"backup" && runner->recordID() != finished, 10000);
        const QUuid id = *runner->recordID();
        runner.reset();
        QVERIFY(BackupRunner::cancelRunsInProgress(std::chrono::seconds(30)));
        QVERIFY(f.stored(id).outcome == BackupRecord::Outcome::cancelled);
    }

    void runReportsOnTheRunnersThread()
    {
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), statusLine + statusLine + statusLine + summaryLine());
        auto runner = f.runner();

        QStringList phases;
        bool everyChangeOnOwnThread = true;
        QObject::connect(runner.get(), &BackupRunner::phaseChanged, runner.get(), [&] {
            phases.append(toString(runner->phase()));
            everyChangeOnOwnThread = everyChangeOnOwnThread && QThread::currentThread() == runner->thread();
        });
        QSignalSpy percent(runner.get(), &BackupRunner::percentChanged);
        QSignalSpy files(runner.get(), &BackupRunner::filesDoneChanged);
        QSignalSpy ended(runner.get(), &BackupRunner::runEnded);

        runner->run(f.destination);
        QVERIFY(runner->phase() == BackupRunner::Phase::scanning);
        QVERIFY(runner->isBusy());
        QVERIFY(ended.wait(10000));

        QVERIFY(everyChangeOnOwnThread);
        QCOMPARE(phases, (QStringList { "scanning", "running", "finished" }));
        // Three equal status lines: one change to 0.5, then the final 1.0.
        QCOMPARE(percent.count(), 2);
        QCOMPARE(files.count(), 1);
        QCOMPARE(runner->filesDone(), 2);
        QCOMPARE(runner->currentFile(), QStringLiteral("/src/a"));
        QCOMPARE(runner->summary()->snapshotID, snapshotID);
        QVERIFY(runner->record() && runner->record()->outcome == BackupRecord::Outcome::complete);
        QVERIFY(f.stored(*runner->recordID()).outcome == BackupRecord::Outcome::complete);
    }

    void aSecondStartWhileBusyChangesNothing()
    {
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), summaryLine());
        f.set(QStringLiteral("sleep"), "1");
        auto runner = f.runner();
        QSignalSpy ended(runner.get(), &BackupRunner::runEnded);

        runner->run(f.destination);
        QSignalSpy phase(runner.get(), &BackupRunner::phaseChanged);
        runner->run(f.destination);
        QVERIFY(!runner->runAndWait(f.destination));
        QCOMPARE(phase.count(), 0);
        QVERIFY(ended.wait(10000));
        QCOMPARE(ended.count(), 1);
        QCOMPARE(QDir(f.historyDirectory()).entryList(QDir::Files).size(), 1);
    }

    void aNewRunStartsClean()
    {
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), statusLine + summaryLine());
        f.set(QStringLiteral("backup.stderr"), "open /src/x: permission denied\n");
        auto runner = f.runner();
        const std::optional<QUuid> first = runner->runAndWait(f.destination);
        QCOMPARE(runner->issues().size(), 1);

        f.set(QStringLiteral("backup.stdout"), QByteArray());
        f.set(QStringLiteral("backup.stderr"), QByteArray());
        f.set(QStringLiteral("backup.exit"), "1");
        QSignalSpy issues(runner.get(), &BackupRunner::issuesChanged);
        const std::optional<QUuid> second = runner->runAndWait(f.destination);
        QVERIFY(first != second);
        QCOMPARE(issues.count(), 1); // emptied by the start
        QVERIFY(runner->issues().isEmpty());
        QVERIFY(!runner->summary());
        QCOMPARE(runner->filesDone(), 0);
        QCOMPARE(runner->failureMessage(), std::optional<QString>(QStringLiteral("Backup failed (exit code 1).")));
        QVERIFY(f.stored(*first).outcome == BackupRecord::Outcome::incomplete);
        QVERIFY(f.stored(*second).outcome == BackupRecord::Outcome::failed);
    }

    void aRunOutlivesItsRunner()
    {
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), statusLine + summaryLine());
        f.set(QStringLiteral("backup.exit"), "3");
        f.set(QStringLiteral("sleep"), "1");
        auto runner = f.runner();
        runner->run(f.destination);
        QTRY_VERIFY(f.resticStarted());
        runner.reset();
        QCOMPARE(BackupRunner::runsInProgress(), 1);

        // Nothing is left to receive the progress; the record and notification still come.
        QTRY_COMPARE_WITH_TIMEOUT(BackupRunner::runsInProgress(), 0, 10000);
        QCOMPARE(f.notificationBodies(), QStringList { body(QStringLiteral("incomplete")) });
        const QStringList files = QDir(f.historyDirectory()).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        const BackupRecord record = f.stored(*parseUuid(files.first().chopped(5)));
        QVERIFY(record.outcome == BackupRecord::Outcome::incomplete);
        QCOMPARE(record.snapshotID, std::optional<QString>(snapshotID));
    }

    void recordsOfDeadRunsEndAsInterrupted()
    {
        Fixture f;
        f.set(QStringLiteral("backup.stdout"), summaryLine());
        const BackupHistory history(f.historyDirectory());
        auto running = [&](const QUuid &destinationID) {
            const BackupRecord record(destinationID, Date::now().addingSeconds(-600));
            test::writeFile(history.filePath(record.id), record.encoded());
            return record.id;
        };
        const QUuid dead = running(f.destination.id);
        const QUuid otherDestination = running(newUuid());

        // While a run holds the repository, its record is live.
        {
            const auto held = FileLock::repository(f.destination.repository, f.locks());
            BackupRunner::finishInterruptedRuns(f.destination, history, f.locks());
            QVERIFY(f.stored(dead).outcome == BackupRecord::Outcome::running);
        }
        // A look for the dead run's snapshot on another thread is no live run, not even the
        // instant it has taken the lock: the card would say "running" until the look ends.
        bool seenLive = false;
        for (int round = 0; round < 300; ++round) {
            std::atomic<bool> taken = false;
            std::thread look([&] {
                const auto lock = FileLock::repository(f.destination.repository, f.locks(), QStringLiteral("a look"));
                taken = true;
            });
            while (!taken)
                seenLive = seenLive || BackupRunner::mayBeRunning(f.destination, f.locks());
            look.join();
        }
        QVERIFY(!seenLive);
        BackupRunner::finishInterruptedRuns(f.destination, history, f.locks());
        const BackupRecord finished = f.stored(dead);
        QVERIFY(finished.outcome == BackupRecord::Outcome::failed);
        QCOMPARE(finished.issues, QStringList { BackupRunner::interruptedMessage });

        // A run does the same for its destination before it starts, after asking the repository:
        // a run whose final record was never written (a full disk) but whose snapshot restic
        // saved is complete with it.
        const QUuid deadAgain = running(f.destination.id);
        BackupRecord unsaved(f.destination.id, Date::now().addingSeconds(-300));
        unsaved.scope = f.destination.backupScope();
        test::writeFile(history.filePath(unsaved.id), unsaved.encoded());
        const QString savedID = QString(64, u'a');
        auto snapshot = [&](const QString &id, double after, const QStringList &paths) {
            return QJsonObject { { QStringLiteral("id"), id }, { QStringLiteral("short_id"), id.left(8) },
                { QStringLiteral("time"), unsaved.startedAt.addingSeconds(after).iso8601() },
                { QStringLiteral("hostname"), MachineIdentity::hostname() },
                { QStringLiteral("paths"), json::fromStrings(paths) } };
        };
        const QStringList folders = f.destination.resolvedSources();
        f.set(QStringLiteral("snapshots.stdout"),
            json::compact(QJsonArray { snapshot(QString(64, u'b'), -60, folders),
                snapshot(QString(64, u'c'), 5, { folders.first() }), snapshot(savedID, 5, folders) }));
        const std::optional<QUuid> id = f.runner()->runAndWait(f.destination);
        QVERIFY(f.stored(*id).outcome == BackupRecord::Outcome::complete);
        QVERIFY(f.stored(deadAgain).outcome == BackupRecord::Outcome::failed);
        QVERIFY(f.stored(unsaved.id).outcome == BackupRecord::Outcome::complete);
        QCOMPARE(f.stored(unsaved.id).snapshotID, std::optional<QString>(savedID));
        QVERIFY(f.stored(unsaved.id).finishedAt >= unsaved.startedAt.addingSeconds(4));
        QVERIFY(f.stored(otherDestination).outcome == BackupRecord::Outcome::running);
    }
};

QTEST_GUILESS_MAIN(BackupRunnerTest)
#include "BackupRunnerTest.moc"
