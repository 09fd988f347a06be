#include "FakePlatform.h"
#include "TestSupport.h"
#include "operations/BackupRunner.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <unistd.h>

using namespace vellmir;

namespace {
constexpr uid_t unprivileged = 65534;

void setMode(const QString &path, QFile::Permissions permissions)
{
    QVERIFY2(QFile::setPermissions(path, permissions), qPrintable(path));
}

const QFile::Permissions folderMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
const QFile::Permissions fileMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;

} // namespace

// Backups with the installed restic into a local repository. restic runs through a wrapper
// that takes away root's power to read every file, so that a file of mode 000 stays unreadable
// also when the tests run as root.
class BackupRunnerResticTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_repository;
    QString m_wrapper;
    const QString m_password = QStringLiteral("pw-") + uuidText(newUuid());
    std::mutex m_mutex;
    QList<NotificationContent> m_notifications;

    QString path(const QString &relative) const { return m_root->path() + u'/' + relative; }

    ResticEnvironment environment() const
    {
        return { { QStringLiteral("RESTIC_REPOSITORY"), m_repository },
            { QStringLiteral("RESTIC_PASSWORD"), m_password },
            { QStringLiteral("RESTIC_CACHE_DIR"), path(QStringLiteral("cache")) } };
    }

    ResticEngine engine() const { return ResticEngine(m_wrapper, path(QStringLiteral("locks"))); }

    std::unique_ptr<BackupRunner> runner()
    {
        BackupRunner::Services services;
        services.environmentProvider = [this](const Destination &) { return environment(); };
        services.accessCheck = [] { return true; };
        services.fullDiskAccessWanted = [] { return false; };
        services.notify = [this](const NotificationContent &content) {
            std::lock_guard guard(m_mutex);
            m_notifications.append(content);
        };
        services.keepAwake = std::make_shared<test::FakeKeepAwake>();
        return std::make_unique<BackupRunner>(engine(), BackupHistory(path(QStringLiteral("history"))), services);
    }

    Destination destination(const QString &source) const
    {
        Destination d;
        d.id = newUuid();
        d.credentialID = newUuid();
        d.name = QStringLiteral("Local");
        d.kind = Destination::Kind::local;
        d.repository = m_repository;
        d.sources = { source };
        d.pruneAfterBackup = true;
        return d;
    }

    // A folder restic may read, holding the given files.
    QString sourceFolder(const QString &name, const QStringList &files)
    {
        const QString folder = path(name);
        QDir().mkpath(folder);
        setMode(folder, folderMode);
        for (const QString &file : files) {
            test::writeFile(folder + u'/' + file, "content of " + file.toUtf8() + '\n');
            setMode(folder + u'/' + file, fileMode);
        }
        return folder;
    }

    BackupRecord stored(const QUuid &id) const
    {
        const QString file = BackupHistory(path(QStringLiteral("history"))).filePath(id);
        return BackupRecord::decoded(test::readFile(file), file);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const std::optional<QString> restic = ResticEngine().locateBinary();
        if (!restic)
            QSKIP("restic is not installed");
        m_home = std::make_unique<test::TestHome>();
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        // The unprivileged restic must be able to reach everything below the root.
        setMode(m_root->path(), folderMode);
        for (const char *folder : { "repository", "cache" }) {
            QVERIFY(QDir().mkpath(path(QString::fromUtf8(folder))));
            setMode(path(QString::fromUtf8(folder)), folderMode);
            if (::geteuid() == 0)
                QCOMPARE(
                    ::chown(QFile::encodeName(path(QString::fromUtf8(folder))).constData(), unprivileged, unprivileged),
                    0);
        }
        m_repository = path(QStringLiteral("repository/repo"));

        m_wrapper = path(QStringLiteral("restic-unprivileged"));
        test::writeFile(m_wrapper,
            QStringLiteral("#!/bin/sh\n"
                           "# Root reads every file; restic must not.\n"
                           "# Keep the command line this process got from the engine, as the system shows it.\n"
                           "cat /proc/$$/cmdline > '%3/cmdline-'$$\n"
                           "if [ \"$(id -u)\" = 0 ]; then\n"
                           "    exec setpriv --reuid=%1 --regid=%1 --clear-groups -- '%2' \"$@\"\n"
                           "fi\n"
                           "exec '%2' \"$@\"\n")
                .arg(unprivileged)
                .arg(*restic)
                .arg(path(QStringLiteral("cmdlines")))
                .toUtf8());
        QDir().mkpath(path(QStringLiteral("cmdlines")));
        setMode(m_wrapper, folderMode);

        const ResticResult init = engine().run(ResticCommand(QStringLiteral("init")), environment());
        QVERIFY2(init.exitCode == 0, qPrintable(init.stderr));
    }

    void completeBackupWithRetention()
    {
        const QString source = sourceFolder(QStringLiteral("complete"), { "a.txt", "b.txt" });
        Destination d = destination(source);
        // A chosen folder that is a link is backed up as the folder it leads to, files and all.
        const QString linked = sourceFolder(QStringLiteral("elsewhere"), { "c.txt" });
        QVERIFY(QFile::link(linked, path(QStringLiteral("linked"))));
        d.sources.append(path(QStringLiteral("linked")));
        auto runner = this->runner();

        const std::optional<QUuid> id = runner->runAndWait(d);
        QList<QByteArray> commandLines;
        const QDir recorded(path(QStringLiteral("cmdlines")));
        for (const QString &name : recorded.entryList(QDir::Files))
            commandLines.append(test::readFile(recorded.filePath(name)));

        QVERIFY2(runner->phase() == BackupRunner::Phase::finished,
            qPrintable(runner->failureMessage().value_or(toString(runner->phase()))));
        QVERIFY2(runner->issues().isEmpty(), qPrintable(runner->issues().join(u'\n')));
        const BackupRecord record = stored(*id);
        QVERIFY(record.outcome == BackupRecord::Outcome::complete);
        QVERIFY(record.snapshotID
            && QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(*record.snapshotID).hasMatch());
        QCOMPARE(record.scope, std::optional<QString>(d.backupScope()));
        QCOMPARE(runner->summary()->filesNew, 3);
        QVERIFY(record.bytesAdded > 0);
        QVERIFY2(runner->pruneMessage() && runner->pruneMessage()->startsWith(u"Retention applied; ")
                && runner->pruneMessage()->endsWith(u" Unused data pruned."),
            qPrintable(runner->pruneMessage().value_or(QString())));
        QCOMPARE(record.maintenance, runner->pruneMessage());
        QVERIFY(record.prunedAt.has_value());

        // The snapshot is in the repository.
        const ResticResult snapshots
            = engine().run(ResticCommand(QStringLiteral("snapshots")).flag(QStringLiteral("--json")), environment());
        QCOMPARE(snapshots.exitCode, 0);
        bool listed = false;
        for (const QJsonValue &snapshot : QJsonDocument::fromJson(snapshots.stdout.toUtf8()).array())
            listed = listed || snapshot.toObject().value(QStringLiteral("id")).toString() == *record.snapshotID;
        QVERIFY(listed);

        // restic saw its password only through the environment.
        bool sawBackup = false;
        for (const QByteArray &commandLine : commandLines) {
            const QList<QByteArray> arguments = commandLine.split('\0');
            // "/bin/sh", the wrapper, then restic's own arguments.
            sawBackup = sawBackup || arguments.value(2) == "backup";
            QVERIFY2(!commandLine.contains(m_password.toUtf8()), commandLine.constData());
        }
        QVERIFY2(sawBackup, "the restic child was not seen while it ran");
    }

    void lockOfAKilledResticDoesNotBlockTheNextRun()
    {
        // A restic of this computer killed while it held the repository leaves its lock there;
        // retention, which needs the repository to itself, would wait for it and then fail.
        QProcess killed;
        killed.setProgram(m_wrapper);
        killed.setArguments({ "backup", "--stdin", "--stdin-filename", "held" });
        QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
        const ResticEnvironment restic = environment();
        for (auto it = restic.begin(); it != restic.end(); ++it)
            variables.insert(it.key(), it.value());
        killed.setProcessEnvironment(variables);
        killed.start(); // waits on its standard input, which stays open
        QVERIFY(killed.waitForStarted());
        const QDir locks(m_repository + QStringLiteral("/locks"));
        QTRY_VERIFY_WITH_TIMEOUT(!locks.entryList(QDir::Files).isEmpty(), 20000);
        killed.kill();
        QVERIFY(killed.waitForFinished());
        QVERIFY(!locks.entryList(QDir::Files).isEmpty());

        const QString source = sourceFolder(QStringLiteral("after-kill"), { "c.txt" });
        auto runner = this->runner();
        const std::optional<QUuid> id = runner->runAndWait(destination(source));
        QVERIFY(stored(*id).outcome == BackupRecord::Outcome::complete);
        QVERIFY2(runner->pruneMessage() && runner->pruneMessage()->startsWith(u"Retention applied; "),
            qPrintable(runner->pruneMessage().value_or(QString())));
    }

    void unreadableFileMakesTheBackupIncomplete()
    {
        const QString source = sourceFolder(QStringLiteral("unreadable"), { "ok.txt", "locked.txt" });
        const QString locked = source + QStringLiteral("/locked.txt");
        setMode(locked, {});
        {
            std::lock_guard guard(m_mutex);
            m_notifications.clear();
        }
        const Destination d = destination(source);
        auto runner = this->runner();
        const std::optional<QUuid> id = runner->runAndWait(d);

        QVERIFY2(runner->phase() == BackupRunner::Phase::finished,
            qPrintable(runner->failureMessage().value_or(toString(runner->phase()))));
        const BackupRecord record = stored(*id);
        QVERIFY(record.outcome == BackupRecord::Outcome::incomplete);
        QVERIFY(record.snapshotID && !record.snapshotID->isEmpty());
        QVERIFY(!runner->issues().isEmpty());
        bool named = false;
        for (const QString &issue : runner->issues())
            named = named || issue.contains(locked);
        QVERIFY2(named, qPrintable(runner->issues().join(u'\n')));
        QCOMPARE(record.issues, runner->issues());
        QCOMPARE(runner->pruneMessage(),
            std::optional<QString>(QStringLiteral(
                "Retention skipped because this backup is incomplete. Existing snapshots were preserved.")));
        std::lock_guard guard(m_mutex);
        QCOMPARE(m_notifications.size(), 1);
        QCOMPARE(m_notifications.first().body,
            QStringLiteral("The latest backup is incomplete. Open Vellmir to review its result."));
    }
};

QTEST_GUILESS_MAIN(BackupRunnerResticTest)
#include "BackupRunnerResticTest.moc"
