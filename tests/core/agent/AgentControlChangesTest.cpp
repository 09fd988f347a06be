#include "AgentFixture.h"
#include "operations/Scheduler.h"

#include <QtTest>

using namespace vellmir;
using namespace vellmir::test;

namespace {
QJsonObject args(std::initializer_list<std::pair<QString, QJsonValue>> list)
{
    QJsonObject object;
    for (const auto &[key, value] : list)
        object.insert(key, value);
    return object;
}

// The registration the reconcile step talks to.
class FakeService : public AgentService {
public:
    explicit FakeService(QStringList &calls, bool refuse)
        : m_calls(calls)
        , m_refuse(refuse)
    {
    }
    Status status() override { return m_status; }
    void registerAgent() override
    {
        m_calls << QStringLiteral("register");
        if (m_refuse)
            throw Error(QStringLiteral("No user manager."));
    }
    void unregisterAgent() override { m_calls << QStringLiteral("unregister"); }

private:
    QStringList &m_calls;
    bool m_refuse;
    Status m_status = Status::notRegistered;
};

// Records each request; `onDecide` stands for what happens while the question is open.
class AskingApprover : public AgentApprover {
public:
    ApprovalDecision decide(const ChangeRequest &request, std::stop_token) override
    {
        requests.append(request);
        if (onDecide)
            onDecide();
        return decision;
    }
    ApprovalDecision decision = ApprovalDecision::denied;
    QList<ChangeRequest> requests;
    std::function<void()> onDecide;
};

struct ChangesFixture : AgentFixture {
    std::shared_ptr<AskingApprover> asker = std::make_shared<AskingApprover>();
    QStringList serviceCalls;
    bool refuseRegistration = false;
    std::unique_ptr<UserDefaults> defaults;

    ChangesFixture()
    {
        defaults = std::make_unique<UserDefaults>();
        AgentControl::Hooks hooks;
        hooks.startScheduler = [] {};
        hooks.agentStatus = [] { return AgentService::Status::notRegistered; };
        hooks.fullDiskAccess = [] { return true; };
        // The real reconcile over a fake registration.
        hooks.reconcileScheduler = [this](const QList<Destination> &destinations) {
            Scheduler scheduler(
                *defaults, [this] { return std::make_unique<FakeService>(serviceCalls, refuseRegistration); },
                QStringLiteral("1"));
            return scheduler.reconcile(destinations);
        };
        control = std::make_unique<AgentControl>(store, control->history(), credentials, engine(), control->requests(),
            control->health(), asker, control->audit(), std::move(hooks));
    }

    QList<AgentAuditLog::Entry> auditLines() const { return control->audit().entries(100); }
    QString folder(const QString &name) const
    {
        const QString path = home.path() + u'/' + name;
        QDir().mkpath(path);
        return path;
    }
    QByteArray destinationsFile() const { return readFile(store->fileURL()); }
};

} // namespace

class AgentControlChangesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addDestinationChecksBeforeAsking_data()
    {
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<QString>("message");
        const auto base = [](std::initializer_list<std::pair<QString, QJsonValue>> extra) {
            QJsonObject object
                = args({ { "name", "New" }, { "kind", "local" }, { "repository", "/srv/repo" }, { "password", "pw" } });
            for (const auto &[key, value] : extra)
                object.insert(key, value);
            return object;
        };
        QTest::newRow("kind is case-sensitive")
            << base({ { "kind", "S3" } }) << "kind must be one of backblazeB2, s3, sftp, local.";
        QTest::newRow("name taken in other case")
            << base({ { "name", " HOME " } }) << "A destination named HOME already exists.";
        QTest::newRow("blank name") << base({ { "name", "  " } }) << "name must not be empty.";
        QTest::newRow("relative folder") << base({ { "sources", "Documents" } })
                                         << "Documents must be an absolute path or start with ~.";
        QTest::newRow("missing folder") << base({ { "sources", "~/nowhere" } }) << "~/nowhere does not exist.";
        QTest::newRow("bad schedule") << base({ { "schedule", "weekly" } })
                                      << "schedule must be manual, hourly, or daily.";
        QTest::newRow("blank password") << base({ { "password", " \n" } })
                                        << "A Local disk destination needs password.";
        QTest::newRow("password not text") << base({ { "password", 5 } }) << "password must be text.";
        QTest::newRow("b2 key missing") << base({ { "kind", "backblazeB2" }, { "b2AccountID", "id" } })
                                        << "A Backblaze B2 destination needs b2AccountKey.";
        QTest::newRow("s3 id missing") << base({ { "kind", "s3" } }) << "A S3 / R2 destination needs awsAccessKeyID.";
    }

    void addDestinationChecksBeforeAsking()
    {
        QFETCH(QJsonObject, arguments);
        QFETCH(QString, message);
        ChangesFixture fx;
        fx.add(QStringLiteral("Home"));
        const std::optional<AgentError> error = fx.failure(QStringLiteral("add-destination"), arguments);
        QVERIFY(error);
        QVERIFY(error->kind() == AgentError::Kind::usage);
        QCOMPARE(error->message(), message);
        QVERIFY(fx.asker->requests.isEmpty());
        QVERIFY(fx.auditLines().isEmpty());
        QVERIFY(!fx.resticRan());
    }

    void addDestinationProbeOutcomes_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("initialize");
        QTest::addColumn<QString>("message");
        QTest::newRow("no repository") << 10 << false
                                       << "No repository exists at /srv/repo. Pass initialize to create one.";
        QTest::newRow("cannot open") << 1 << true << "Could not open the repository: Fatal: wrong password";
    }

    void addDestinationProbeOutcomes()
    {
        QFETCH(int, exitCode);
        QFETCH(bool, initialize);
        QFETCH(QString, message);
        ChangesFixture fx;
        fx.script("snapshots.exit", QByteArray::number(exitCode));
        fx.script("snapshots.stderr", "Fatal: wrong password\n");
        const std::optional<AgentError> error = fx.failure(QStringLiteral("add-destination"),
            args({ { "name", "New" }, { "kind", "local" }, { "repository", " /srv/repo " }, { "password", "pw" },
                { "initialize", initialize } }));
        QVERIFY(error);
        QVERIFY(error->kind() == AgentError::Kind::failed);
        QCOMPARE(error->message(), message);
        QVERIFY(fx.asker->requests.isEmpty());
        QVERIFY(fx.auditLines().isEmpty());
    }

    void addDestinationCreatesAfterApproval()
    {
        ChangesFixture fx;
        const QString docs = fx.folder("Documents");
        fx.script("snapshots.exit", "10");
        fx.script("record-env", "");
        fx.asker->decision = ApprovalDecision::approvedByUser;
        const QJsonObject reply = fx.run(QStringLiteral("add-destination"),
            args({ { "name", " Photos " }, { "kind", "local" }, { "repository", "/srv/repo" }, { "password", " pw " },
                { "sources", QJsonArray { "~/Documents/" } }, { "excludes", QJsonArray { ".Trash", "node_modules" } },
                { "schedule", "Daily" }, { "initialize", "yes" }, { "b2AccountKey", "ignored" } }));

        QCOMPARE(fx.asker->requests.size(), 1);
        const ChangeRequest &request = fx.asker->requests.first();
        QCOMPARE(request.command, QStringLiteral("add-destination"));
        QCOMPARE(request.title, QStringLiteral("Add the destination “Photos”?"));
        QCOMPARE(request.details,
            QStringList(
                { "Local disk: /srv/repo", "Repository: will be created", "Folders: ~/Documents", "Schedule: Daily" }));
        // "init" ran after the approval, with the trimmed password in its environment.
        QCOMPARE(fx.resticArguments().value(0), QStringLiteral("init"));
        QVERIFY(readFile(fx.fake.filePath("env")).contains("RESTIC_PASSWORD=pw\n"));

        QCOMPARE(fx.store->destinations().size(), 1);
        const Destination stored = fx.store->destinations().first();
        QCOMPARE(stored.name, QStringLiteral("Photos"));
        QCOMPARE(stored.sources, QStringList { docs });
        QCOMPARE(stored.excludes, QStringList({ ".DS_Store", ".Trash", "node_modules" }));
        QVERIFY(stored.schedule == Destination::Schedule::daily);
        QVERIFY(stored.preferences == BackupPreferences {});
        QVERIFY(stored.retention == Destination::RetentionPolicy {});
        QVERIFY(stored.credentialID != stored.id);
        QCOMPARE(
            fx.credentials.secret(CredentialRole::repoPassword, stored.credentialID), std::optional<QString>("pw"));

        QCOMPARE(reply.value("added").toObject().value("id").toString(), uuidText(stored.id));
        QCOMPARE(reply.value("approval").toString(), QStringLiteral("approved"));
        QVERIFY(!reply.contains("warning"));
        // A daily schedule registers the background agent.
        QCOMPARE(fx.serviceCalls, QStringList { "register" });

        const QList<AgentAuditLog::Entry> lines = fx.auditLines();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().summary,
            QStringLiteral("Add the destination “Photos”? | Local disk: /srv/repo | Repository: will be created | "
                           "Folders: ~/Documents | Schedule: Daily"));
        QCOMPARE(lines.first().outcome, std::optional<QString>("succeeded"));
        QVERIFY(!readFile(fx.control->audit().url()).contains("pw\""));
    }

    void addDestinationExistingRepositoryWithReconcileWarning()
    {
        ChangesFixture fx;
        fx.refuseRegistration = true;
        fx.script("snapshots.stdout", snapshotsJson({ { "a1b2c3d4e5", "2026-01-01T10:00:00Z" } }));
        fx.asker->decision = ApprovalDecision::approvedByUser;
        const QJsonObject reply = fx.run(QStringLiteral("add-destination"),
            args({ { "name", "Offsite" }, { "kind", "local" }, { "repository", "/srv/repo" }, { "password", "pw" },
                { "schedule", "hourly" } }));
        QCOMPARE(fx.asker->requests.first().details.value(1), QStringLiteral("Repository: existing, 1 snapshot(s)"));
        QCOMPARE(fx.asker->requests.first().details.value(2), QStringLiteral("Folders: none yet"));
        QCOMPARE(fx.resticArguments().value(0), QStringLiteral("snapshots")); // no init
        QVERIFY(reply.value("warning").toString().contains("No user manager."));
        QCOMPARE(fx.store->destinations().size(), 1);
    }

    void refusalsLeaveOneLineAndNoChange_data()
    {
        QTest::addColumn<int>("decision");
        QTest::addColumn<QString>("code");
        QTest::newRow("denied") << int(ApprovalDecision::denied) << "denied";
        QTest::newRow("timed out") << int(ApprovalDecision::timedOut) << "timed-out";
    }

    void refusalsLeaveOneLineAndNoChange()
    {
        QFETCH(int, decision);
        QFETCH(QString, code);
        ChangesFixture fx;
        const Destination home = fx.add(QStringLiteral("Home"));
        const QByteArray before = fx.destinationsFile();
        fx.asker->decision = static_cast<ApprovalDecision>(decision);
        const std::optional<AgentError> error
            = fx.failure(QStringLiteral("remove-destination"), args({ { "destination", "home" } }));
        QVERIFY(error);
        QCOMPARE(error->code(), code);
        QCOMPARE(fx.destinationsFile(), before);
        QVERIFY(fx.credentials.secret(CredentialRole::repoPassword, home.credentialID));
        const QList<AgentAuditLog::Entry> lines = fx.auditLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().decision == static_cast<ApprovalDecision>(decision));
        QVERIFY(!lines.first().outcome);
        QCOMPARE(lines.first().command, QStringLiteral("remove-destination"));
    }

    void removeDestinationDeletesSecretsKeepsRepository()
    {
        ChangesFixture fx;
        const Destination home = fx.add(QStringLiteral("Home"));
        fx.asker->decision = ApprovalDecision::approvedByUser;
        const QJsonObject reply = fx.run(QStringLiteral("remove-destination"), args({ { "destination", "Home" } }));
        QCOMPARE(fx.asker->requests.first().title, QStringLiteral("Remove “Home”?"));
        QCOMPARE(fx.asker->requests.first().details,
            QStringList({ "Local disk: " + home.repository,
                "Its stored credentials are deleted from the Keychain. The repository and its snapshots are not "
                "touched." }));
        QCOMPARE(reply.value("removed").toString(), QStringLiteral("Home"));
        QCOMPARE(reply.value("repositoryKept").toString(), home.repository);
        QCOMPARE(reply.value("approval").toString(), QStringLiteral("approved"));
        QVERIFY(fx.store->destinations().isEmpty());
        QVERIFY(!fx.credentials.secret(CredentialRole::repoPassword, home.credentialID));
    }

    void policyApprovesWithoutAsking()
    {
        ChangesFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.store->setChangesWithoutApproval(true);
        const QJsonObject reply = fx.run(
            QStringLiteral("update-destination"), args({ { "destination", "Home" }, { "schedule", "hourly" } }));
        QVERIFY(fx.asker->requests.isEmpty());
        QCOMPARE(reply.value("approval").toString(), QStringLiteral("approved-by-setting"));
        QCOMPARE(fx.auditLines().size(), 1);
        QVERIFY(fx.auditLines().first().decision == ApprovalDecision::approvedBySetting);
    }

    void failedChangeIsAuditedAndRethrown()
    {
        ChangesFixture fx;
        const Destination home = fx.add(QStringLiteral("Home"));
        fx.asker->decision = ApprovalDecision::approvedByUser;
        // Another window changes the destination while the question is open.
        fx.asker->onDecide = [&fx, home] {
            Destination changed = home;
            changed.repository = QStringLiteral("/elsewhere");
            fx.store->upsert(changed);
        };
        bool threw = false;
        try {
            fx.run(QStringLiteral("update-destination"), args({ { "destination", "Home" }, { "name", "Work" } }));
        } catch (const AgentError &) {
            QFAIL("the store's own error must pass through");
        } catch (const Error &error) {
            threw = true;
            QCOMPARE(error.message(), DestinationStore::conflictMessage());
        }
        QVERIFY(threw);
        const QList<AgentAuditLog::Entry> lines = fx.auditLines();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().outcome, "failed: " + DestinationStore::conflictMessage());
        QCOMPARE(fx.store->destinations().first().name, QStringLiteral("Home"));
    }

    void updateChangeLines_data()
    {
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<QStringList>("changes");
        QTest::newRow("nothing") << QJsonObject {} << QStringList {};
        QTest::newRow("same values") << args({ { "name", " Home " }, { "schedule", "MANUAL" }, { "keepDaily", 7 },
            { "pruneAfterBackup", true }, { "uploadLimitKiB", 0 }, { "avoidMeteredNetworks", true },
            { "addSources", "~/a" }, { "addExcludes", ".Trash" } })
                                     << QStringList {};
        QTest::newRow("rename in other case") << args({ { "name", "HOME" } }) << QStringList { "Name: Home → HOME" };
        QTest::newRow("folders") << args({ { "addSources", QJsonArray { "~/b", "~/a" } }, { "removeSources", "~/a" } })
                                 << QStringList { "Back up: ~/b", "Stop backing up: ~/a" };
        QTest::newRow("patterns") << args({ { "addExcludes", "*.tmp" }, { "removeExcludes", ".DS_Store" } })
                                  << QStringList { "Exclude: *.tmp", "Stop excluding: .DS_Store" };
        QTest::newRow("everything else")
            << args({ { "schedule", "Daily" }, { "keepDaily", 0 }, { "pruneAfterBackup", "no" }, { "onlyOnAC", true },
                   { "avoidMeteredNetworks", false }, { "uploadLimitKiB", "512" } })
            << QStringList { "Schedule: Manual → Daily",
                   "Retention: Keep 7 daily, 4 weekly, 12 monthly, 3 yearly → Keep 0 daily, 4 weekly, 12 monthly, 3 "
                   "yearly",
                   "Apply retention after backups: off", "Only on AC power: on", "Avoid metered networks: off",
                   "Upload limit: 512 KiB/s" };
    }

    void updateChangeLines()
    {
        QFETCH(QJsonObject, arguments);
        QFETCH(QStringList, changes);
        ChangesFixture fx;
        const QString a = fx.folder("a");
        fx.folder("b");
        Destination home = fx.add(QStringLiteral("Home"), { a });
        home.excludes = Destination::defaultExcludes();
        fx.store->upsert(home);
        const QByteArray before = fx.destinationsFile();
        fx.asker->decision = ApprovalDecision::approvedByUser;
        arguments.insert("destination", "home");

        const QJsonObject reply = fx.run(QStringLiteral("update-destination"), arguments);
        QCOMPARE(reply.value("changes").toArray().toVariantList(), QVariant(changes).toList());
        if (changes.isEmpty()) {
            QVERIFY(fx.asker->requests.isEmpty());
            QVERIFY(fx.auditLines().isEmpty());
            QCOMPARE(fx.destinationsFile(), before);
            QVERIFY(!reply.contains("approval"));
        } else {
            QCOMPARE(fx.asker->requests.size(), 1);
            QCOMPARE(fx.asker->requests.first().title, QStringLiteral("Change “Home”?"));
            QCOMPARE(fx.asker->requests.first().details, changes);
            QCOMPARE(
                reply.value("updated").toObject(), fx.control->destinationSummary(fx.store->destinations().first()));
        }
    }

    void updatePreferencesOnlyWhenConditionsChange()
    {
        ChangesFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.asker->decision = ApprovalDecision::approvedByUser;
        QVERIFY(!fx.store->destinations().first().preferences);
        fx.run(QStringLiteral("update-destination"), args({ { "destination", "Home" }, { "uploadLimitKiB", 0 } }));
        QVERIFY(!fx.store->destinations().first().preferences);
        fx.run(QStringLiteral("update-destination"), args({ { "destination", "Home" }, { "uploadLimitKiB", 512 } }));
        QCOMPARE(fx.store->destinations().first().preferences->uploadLimitKiB, 512);
        const QJsonObject reply = fx.run(
            QStringLiteral("update-destination"), args({ { "destination", "Home" }, { "uploadLimitKiB", 0 } }));
        QCOMPARE(reply.value("changes").toArray(), QJsonArray { "Upload limit: none" });
    }

    void updateRefusals_data()
    {
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("name of another") << args({ { "name", "WORK" } }) << "A destination named WORK already exists.";
        QTest::newRow("remove what is being added")
            << args({ { "addSources", "~/b" }, { "removeSources", "~/b" } }) << "~/b is not one of Home's folders.";
        QTest::newRow("unknown pattern") << args({ { "removeExcludes", "*.iso" } })
                                         << "*.iso is not one of Home's exclude patterns.";
        QTest::newRow("bad schedule") << args({ { "schedule", "often" } })
                                      << "schedule must be manual, hourly, or daily.";
        QTest::newRow("negative count") << args({ { "keepWeekly", -1 } }) << "keepWeekly cannot be negative.";
        QTest::newRow("keeps nothing") << args({ { "keepDaily", 0 }, { "keepWeekly", 0 }, { "keepMonthly", 0 },
            { "keepYearly", "0" } }) << "Retention must keep at least one snapshot.";
        QTest::newRow("negative limit") << args({ { "uploadLimitKiB", -5 } }) << "uploadLimitKiB cannot be negative.";
    }

    void updateRefusals()
    {
        QFETCH(QJsonObject, arguments);
        QFETCH(QString, message);
        ChangesFixture fx;
        fx.folder("b");
        fx.add(QStringLiteral("Home"));
        fx.add(QStringLiteral("Work"));
        const QByteArray before = fx.destinationsFile();
        arguments.insert("destination", "Home");
        const std::optional<AgentError> error = fx.failure(QStringLiteral("update-destination"), arguments);
        QVERIFY(error);
        QVERIFY(error->kind() == AgentError::Kind::usage);
        QCOMPARE(error->message(), message);
        QVERIFY(fx.asker->requests.isEmpty());
        QVERIFY(fx.auditLines().isEmpty());
        QCOMPARE(fx.destinationsFile(), before);
    }
};

QTEST_GUILESS_MAIN(AgentControlChangesTest)
#include "AgentControlChangesTest.moc"
