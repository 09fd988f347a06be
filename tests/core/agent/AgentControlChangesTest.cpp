#include "AgentFixture.h"
#include "operations/Scheduler.h"
#include "util/LocalPath.h"

#include <QtTest>
#include <sys/stat.h>

using namespace vellmir;
using namespace vellmir::test;

namespace {
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
    QByteArray destinationsFile() const { return readFile(store->filePath()); }
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
        dataRow(
            "kind is case-sensitive", base({ { "kind", "S3" } }), "kind must be one of backblazeB2, s3, sftp, local.");
        dataRow("name taken in other case", base({ { "name", " HOME " } }), "A destination named HOME already exists.");
        dataRow("name taken in a compatibility form", base({ { "name", "\uFF28ome" } }),
            "A destination named \uFF28ome already exists.");
        dataRow("invisible character in a name", base({ { "name", "Home\u200B" } }),
            "name must not contain invisible or formatting characters, such as the U+200B it holds.");
        dataRow("byte not UTF-8 in an exclude", base({ { "excludes", QJsonArray { QString("*") + QChar(0xDCE9) } } }),
            "excludes is not valid UTF-8: it holds the byte \\xE9.");
        QTest::newRow("blank name") << base({ { "name", "  " } }) << "name must not be empty.";
        dataRow("empty exclude", base({ { "excludes", QJsonArray { "" } } }), "excludes must not be empty.");
        dataRow("relative folder", base({ { "sources", "Documents" } }),
            "sources must be an absolute path or start with ~.");
        QTest::newRow("missing folder") << base({ { "sources", "~/nowhere" } }) << "~/nowhere does not exist.";
        dataRow("bad schedule", base({ { "schedule", "weekly" } }), "schedule must be one of manual, hourly, daily.");
        QTest::newRow("blank password") << base({ { "password", " \n" } }) << "password must not be blank.";
        QTest::newRow("password not text") << base({ { "password", 5 } }) << "password must be text.";
        dataRow("b2 key missing",
            base({ { "kind", "backblazeB2" }, { "repository", "b2:bucket:p" }, { "b2AccountID", "id" } }),
            "A Backblaze B2 destination needs b2AccountKey.");
        dataRow("s3 id missing", base({ { "kind", "s3" }, { "repository", "s3:host/bucket" } }),
            "An S3 / R2 destination needs awsAccessKeyID.");
        // restic would take these from whatever folder the agent's process runs in.
        dataRow("relative local repository", base({ { "repository", "repo" } }),
            "A local repository must be an absolute path or start with ~/.");
        dataRow("option as local repository", base({ { "repository", "--password-command=sh" } }),
            "A local repository must be an absolute path or start with ~/.");
        dataRow("relative after local:", base({ { "repository", "local:repo" } }),
            "A local repository must be an absolute path or start with ~/.");
        dataRow("sftp host as an ssh option",
            base({ { "kind", "sftp" }, { "repository", "sftp:-oProxyCommand=sh:/r" } }),
            "An SFTP address cannot name a host or user that starts with \"-\": ssh would read it as an option.");
        // restic ends the user at the last of two "@"s, so the host is the option.
        dataRow("sftp host as an option after a user with @",
            base({ { "kind", "sftp" }, { "repository", "sftp:a@b@-oProxyCommand=touch x:/p" } }),
            "An SFTP address cannot name a host or user that starts with \"-\": ssh would read it as an option.");
        // Only the kind's own backend: rclone would be started with options from the address.
        dataRow("rclone for s3", base({ { "kind", "s3" }, { "repository", "rclone:--config=/x:r" } }),
            "A repository of kind s3 must start with \"s3:\".");
        dataRow("relative for s3", base({ { "kind", "s3" }, { "repository", "relrepo" } }),
            "A repository of kind s3 must start with \"s3:\".");
        dataRow("sftp for backblazeB2", base({ { "kind", "backblazeB2" }, { "repository", "sftp:h:/r" } }),
            "A repository of kind backblazeB2 must start with \"b2:\".");
        dataRow("NUL in an exclude", base({ { "excludes", QString("*") + QChar(0) + ".tmp" } }),
            "excludes must not contain line breaks, control characters or bidirectional formatting characters.");
        dataRow("NUL in a source", base({ { "sources", QJsonArray { QString("/tmp") + QChar(0) + "/etc" } } }),
            "sources must not contain line breaks, control characters or bidirectional formatting characters.");
        const QString hidden
            = "name must not contain line breaks, control characters or bidirectional formatting characters.";
        QTest::newRow("line feed in a name") << base({ { "name", "a\nb" } }) << hidden;
        QTest::newRow("right-to-left override in a name") << base({ { "name", "photos\u202Egpj.exe" } }) << hidden;
        dataRow("unclosed class", base({ { "excludes", "[" } }),
            "restic cannot use the exclude pattern [: its \"[\" is never closed.");
        dataRow("empty class", base({ { "excludes", QJsonArray { "ok", "a/[]" } } }),
            "restic cannot use the exclude pattern a/[]: \"[]\" holds no character.");
        dataRow("unfinished range", base({ { "excludes", "[a-" } }),
            "restic cannot use the exclude pattern [a-: its \"[\" is never closed.");
        dataRow("trailing backslash", base({ { "excludes", "!x\\" } }),
            "restic cannot use the exclude pattern !x\\: it ends in a \"\\\" that escapes nothing.");
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
        dataRow("no repository", 10, false,
            "No repository exists at /srv/repo. Give initialize true (--initialize on the command line) to "
            "create one.");
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
        // restic may take minutes to create a repository: every other command needs this lock.
        fx.script("init.free-lock", fx.store->lockPath().toUtf8());
        fx.asker->decision = ApprovalDecision::approvedByUser;
        const QJsonObject reply = fx.run(QStringLiteral("add-destination"),
            args({ { "name", " Photos " }, { "kind", "local" }, { "repository", "~/vault" }, { "password", " pw " },
                { "sources", QJsonArray { "~/Documents/" } }, { "excludes", QJsonArray { ".Trash-*", "node_modules" } },
                { "schedule", "daily" }, { "initialize", "yes" }, { "b2AccountKey", "ignored" } }));

        QCOMPARE(fx.asker->requests.size(), 1);
        const ChangeRequest &request = fx.asker->requests.first();
        QCOMPARE(request.command, QStringLiteral("add-destination"));
        QCOMPARE(request.title, QStringLiteral("1 folder, 3 excludes. Add the destination “\u2068Photos\u2069”?"));
        const QString vault = fx.home.path() + QStringLiteral("/vault");
        QCOMPARE(request.details,
            QStringList({ "Local disk: \u2068" + vault + "\u2069", "Repository: will be created",
                "Exclude: \u2068~/.local/share/Trash\u2069", "Exclude: \u2068.Trash-*\u2069",
                "Exclude: \u2068node_modules\u2069", "Folders: \u2068~/Documents\u2069", "Schedule: Daily" }));
        // "init" ran after the approval, with the password exactly as given in its environment.
        QCOMPARE(fx.resticArguments().value(0), QStringLiteral("init"));
        QVERIFY(readFile(fx.fake.filePath("env")).contains("RESTIC_PASSWORD= pw \n"));

        QCOMPARE(fx.store->destinations().size(), 1);
        const Destination stored = fx.store->destinations().first();
        QCOMPARE(stored.name, QStringLiteral("Photos"));
        QCOMPARE(stored.repository, vault);
        QCOMPARE(stored.sources, QStringList { docs });
        QCOMPARE(stored.excludes, QStringList({ "~/.local/share/Trash", ".Trash-*", "node_modules" }));
        QVERIFY(stored.schedule == Destination::Schedule::daily);
        QVERIFY(stored.preferences == BackupPreferences {});
        QVERIFY(stored.retention == Destination::RetentionPolicy {});
        QVERIFY(stored.credentialID != stored.id);
        QCOMPARE(
            fx.credentials.secret(CredentialRole::repoPassword, stored.credentialID), std::optional<QString>(" pw "));

        QCOMPARE(reply.value("added").toObject().value("id").toString(), uuidText(stored.id));
        QCOMPARE(reply.value("approval").toString(), QStringLiteral("approved"));
        QVERIFY(!reply.contains("warning"));
        // A daily schedule registers the background agent.
        QCOMPARE(fx.serviceCalls, QStringList { "register" });

        // The decision is on record before the change starts; its outcome follows.
        const QList<AgentAuditLog::Entry> lines = fx.auditLines();
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.first().outcome, std::optional<QString>("started"));
        QCOMPARE(lines.last().summary, lines.first().summary);
        QCOMPARE(lines.first().summary,
            "1 folder, 3 excludes. Add the destination “Photos”? | Local disk: " + vault
                + " | Repository: will be created | Exclude: ~/.local/share/Trash | Exclude: .Trash-* | "
                  "Exclude: node_modules | Folders: ~/Documents | Schedule: Daily");
        QCOMPARE(lines.last().outcome, std::optional<QString>("succeeded"));
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
        QCOMPARE(fx.asker->requests.first().details.value(4), QStringLiteral("Folders: none yet"));
        QCOMPARE(fx.resticArguments().value(0), QStringLiteral("snapshots")); // no init
        QVERIFY(reply.value("warning").toString().contains("No user manager."));
        QCOMPARE(fx.store->destinations().size(), 1);
    }

    // Another agent takes the name in other letter case while this one waits for approval: the
    // write itself refuses, so no two destinations answer to one name.
    void nameTakenWhileAskingIsRefused_data()
    {
        QTest::addColumn<bool>("rename");
        QTest::addColumn<bool>("create"); // the add would create the repository
        QTest::newRow("add") << false << false;
        QTest::newRow("add, creating no repository") << false << true;
        QTest::newRow("rename") << true << false;
    }

    void nameTakenWhileAskingIsRefused()
    {
        QFETCH(bool, rename);
        QFETCH(bool, create);
        ChangesFixture fx;
        fx.script("snapshots.stdout", snapshotsJson({ { "a1b2c3d4e5", "2026-01-01T10:00:00Z" } }));
        if (create)
            fx.script("snapshots.exit", "10");
        fx.asker->decision = ApprovalDecision::approvedByUser;
        fx.add(QStringLiteral("Home"));
        fx.asker->onDecide = [&] {
            DestinationStore other(fx.store->filePath(), fx.credentials, fx.keys);
            Destination taken = fx.store->destinations().first();
            taken.id = newUuid();
            taken.name = QStringLiteral("SAME");
            other.upsert(taken);
        };
        const std::optional<AgentError> error = rename
            ? fx.failure(QStringLiteral("update-destination"), args({ { "destination", "Home" }, { "name", "Same" } }))
            : fx.failure(QStringLiteral("add-destination"),
                args({ { "name", "Same" }, { "kind", "local" }, { "repository", "/srv/repo" }, { "password", "pw" },
                    { "initialize", create } }));
        QVERIFY(error);
        QCOMPARE(error->message(), QStringLiteral("A destination named Same already exists."));
        QVERIFY(!fx.resticArguments().contains(QStringLiteral("init")));
        fx.store->reload();
        QStringList names;
        for (const Destination &d : fx.store->destinations())
            names.append(d.name);
        QCOMPARE(names, QStringList({ "Home", "SAME" }));
    }

    void refusalsLeaveOneLineAndNoChange_data()
    {
        QTest::addColumn<int>("decision"); // -1: no desktop session to ask on
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        dataRow(
            "denied", int(ApprovalDecision::denied), "denied", "The change was denied in Vellmir's approval dialog.");
        dataRow("timed out", int(ApprovalDecision::timedOut), "timed-out",
            "Nobody answered the approval request within 5 minutes, so the change was not "
            "made.");
        dataRow("nobody to ask", -1, "not-asked",
            "No approval dialog can be shown without a desktop session, so the change "
            "was not made. To be asked, run vellmir with DISPLAY or WAYLAND_DISPLAY "
            "set to the desktop's display (for the MCP server, in the \"env\" its "
            "client starts it with), or allow changes without approval in Vellmir's "
            "settings.");
    }

    void refusalsLeaveOneLineAndNoChange()
    {
        QFETCH(int, decision);
        QFETCH(QString, code);
        QFETCH(QString, message);
        ChangesFixture fx;
        const Destination home = fx.add(QStringLiteral("Home"));
        const QByteArray before = fx.destinationsFile();
        if (decision < 0) {
            fx.control = std::make_unique<AgentControl>(fx.store, fx.control->history(), fx.credentials, fx.engine(),
                fx.control->requests(), fx.control->health(), std::make_shared<DialogApprover>(), fx.control->audit());
            decision = int(ApprovalDecision::timedOut);
        }
        fx.asker->decision = static_cast<ApprovalDecision>(decision);
        const std::optional<AgentError> error
            = fx.failure(QStringLiteral("remove-destination"), args({ { "destination", "home" } }));
        QVERIFY(error);
        QCOMPARE(error->code(), code);
        QCOMPARE(error->message(), message);
        QCOMPARE(fx.destinationsFile(), before);
        QVERIFY(fx.credentials.secret(CredentialRole::repoPassword, home.credentialID));
        const QList<AgentAuditLog::Entry> lines = fx.auditLines();
        QCOMPARE(lines.size(), 1);
        // The line says what happened, with the agent's own sentence for why.
        QVERIFY(lines.first().decision
            == (fx.control->approver().unanswered() ? ApprovalDecision::notAsked
                                                    : static_cast<ApprovalDecision>(decision)));
        QVERIFY(!lines.first().outcome);
        QCOMPARE(lines.first().reason, std::optional(message));
        QCOMPARE(lines.first().command, QStringLiteral("remove-destination"));
    }

    void removeDestinationDeletesSecretsKeepsRepository()
    {
        ChangesFixture fx;
        const Destination home = fx.add(QStringLiteral("Home"));
        fx.asker->decision = ApprovalDecision::approvedByUser;
        const QJsonObject reply = fx.run(QStringLiteral("remove-destination"), args({ { "destination", "Home" } }));
        QCOMPARE(fx.asker->requests.first().title, QStringLiteral("Remove “\u2068Home\u2069”?"));
        QCOMPARE(fx.asker->requests.first().details,
            QStringList({ "Local disk: \u2068" + home.repository + "\u2069",
                "Its stored credentials are deleted from the keyring. The repository and its snapshots are not "
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
        QCOMPARE(fx.auditLines().size(), 2);
        QVERIFY(fx.auditLines().last().decision == ApprovalDecision::approvedBySetting);
    }

    // The update saved is the one the user allowed: against a destination that changed while the
    // question was open, it is saved only where it makes exactly the lines that were shown.
    void updateAfterAConcurrentChange_data()
    {
        QTest::addColumn<QString>("meanwhile"); // what another writer does while the question is open
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<QString>("error"); // empty: the update is saved
        const QString changed = "“Home” changed while the approval question was open, so this update was not made: "
                                "it would no longer make exactly the change that was allowed. Read the destination "
                                "again and retry.";
        QTest::newRow("other field changed") << "move" << args({ { "name", "Work" } }) << "";
        dataRow("removed", "remove", args({ { "name", "Work" } }),
            "“Home” was removed while this update waited, so it was not made.");
        dataRow("a folder it holds again removed", "dropKeys",
            args({ { "addSources", "~/keys" }, { "schedule", "daily" } }), changed);
        dataRow(
            "renamed, its old name given", "rename", args({ { "name", "Home" }, { "schedule", "daily" } }), changed);
        // Allowed by the setting, no question was ever open.
        dataRow("a folder it holds again removed, nothing asked", "dropKeys, unasked",
            args({ { "addSources", "~/keys" }, { "schedule", "daily" } }),
            "“Home” was changed by another update while this one was being saved, so this one was not made: it would "
            "no longer make exactly the change that was asked for. Read the destination again and retry.");
    }
    void updateAfterAConcurrentChange()
    {
        QFETCH(QString, meanwhile);
        QFETCH(QJsonObject, arguments);
        QFETCH(QString, error);
        ChangesFixture fx;
        const Destination home = fx.add(QStringLiteral("Home"), { fx.folder("docs"), fx.folder("keys") });
        fx.asker->decision = ApprovalDecision::approvedByUser;
        Destination other = home;
        const auto changeMeanwhile = [&] {
            DestinationStore store(fx.store->filePath(), fx.credentials, fx.keys);
            if (meanwhile == "remove")
                return store.remove(home, fx.credentials), void();
            if (meanwhile == "move")
                other.repository = QStringLiteral("/elsewhere");
            else if (meanwhile.startsWith("dropKeys"))
                other.sources.removeLast();
            else
                other.name = QStringLiteral("Other");
            store.upsert(other);
        };
        arguments.insert("destination", "Home");
        if (meanwhile.endsWith(", unasked")) {
            // The other writer comes between the command's reading and its write.
            fx.store->setChangesWithoutApproval(true);
            changeMeanwhile();
            const AgentCommand &command = *AgentCommand::named(QStringLiteral("update-destination"));
            try {
                fx.control->updateDestination(
                    home, AgentParameters(fx.typed("update-destination", arguments), command));
                QFAIL("the update was saved");
            } catch (const AgentError &failure) {
                QCOMPARE(failure.message(), error);
            }
            QVERIFY(fx.asker->requests.isEmpty());
            return;
        }
        fx.asker->onDecide = changeMeanwhile;
        if (!error.isEmpty()) {
            const std::optional<AgentError> failure = fx.failure(QStringLiteral("update-destination"), arguments);
            QVERIFY(failure && failure->kind() == AgentError::Kind::failed);
            QCOMPARE(failure->message(), error);
            QCOMPARE(fx.auditLines().last().outcome, "failed: " + error);
            // The other writer's change stands, and nothing of this one.
            fx.store->reload();
            QCOMPARE(
                fx.store->destinations(), meanwhile == "remove" ? QList<Destination> {} : QList<Destination> { other });
            return;
        }
        const QJsonObject reply = fx.run(QStringLiteral("update-destination"), arguments);
        QCOMPARE(reply.value("changes").toArray(), QJsonArray { "Name: Home → Work" });
        const Destination stored = fx.store->destinations().first();
        QCOMPARE(stored.name, QStringLiteral("Work"));
        QCOMPARE(stored.repository, QStringLiteral("/elsewhere"));
        QCOMPARE(fx.auditLines().last().outcome, std::optional<QString>("succeeded"));
    }

    // Every write would be refused, so nothing is asked, probed or created first.
    void outsideChangeRefusesBeforeAskingOrCreating_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<bool>("whileAsking"); // the change happens while the question is open
        const QJsonObject add = args({ { "name", "New" }, { "kind", "local" }, { "repository", "/srv/repo" },
            { "password", "pw" }, { "initialize", true } });
        QTest::newRow("add") << "add-destination" << add << false;
        QTest::newRow("add, before creating the repository") << "add-destination" << add << true;
        dataRow("update", "update-destination", args({ { "destination", "Home" }, { "name", "Work" } }), false);
        dataRow("update, the store's own refusal", "update-destination",
            args({ { "destination", "Home" }, { "name", "Work" } }), true);
        QTest::newRow("remove") << "remove-destination" << args({ { "destination", "Home" } }) << false;
    }
    void outsideChangeRefusesBeforeAskingOrCreating()
    {
        QFETCH(QString, command);
        QFETCH(QJsonObject, arguments);
        QFETCH(bool, whileAsking);
        ChangesFixture fx;
        fx.add(QStringLiteral("Home"));
        fx.script("snapshots.exit", "10");
        fx.asker->decision = ApprovalDecision::approvedByUser;
        const auto changeOutside
            = [&fx] { writeFile(fx.store->filePath(), fx.destinationsFile().replace("Home", "Hack")); };
        if (whileAsking)
            fx.asker->onDecide = changeOutside;
        else
            changeOutside();
        try {
            fx.run(command, arguments);
            QFAIL("the change went ahead");
        } catch (const Error &error) {
            QCOMPARE(error.message(), DestinationStore::outsideChangeMessage());
            QCOMPARE(AgentError::code(error), QStringLiteral("failed"));
        }
        QCOMPARE(fx.asker->requests.size(), whileAsking ? 1 : 0);
        QCOMPARE(fx.auditLines().size(), whileAsking ? 2 : 0);
        QVERIFY(!fx.resticArguments().contains(QStringLiteral("init")));
        if (!whileAsking)
            QVERIFY(!fx.resticRan());
    }

    void updateChangeLines_data()
    {
        // The lines as asked, each value isolated; the reply has them without the isolates.
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("counts"); // after the question in the title
        const auto v = [](const QString &value) { return u'\u2068' + value + u'\u2069'; };
        QTest::newRow("nothing") << QJsonObject {} << QStringList {} << QString();
        dataRow("same values",
            args({ { "name", " Home " }, { "schedule", "manual" }, { "keepDaily", 7 }, { "pruneAfterBackup", true },
                { "uploadLimitKiB", 0 }, { "avoidMeteredNetworks", true }, { "addSources", "~/a" },
                { "addExcludes", ".Trash-*" } }),
            QStringList {}, QString());
        dataRow("rename in other case", args({ { "name", "HOME" } }),
            QStringList { "Name: " + v("Home") + " → " + v("HOME") }, "Name changed.");
        // What narrows the backup comes before what widens it, whatever the order of the arguments.
        dataRow("folders", args({ { "addSources", QJsonArray { "~/b", "~/a" } }, { "removeSources", "~/a" } }),
            QStringList { "Stop backing up: " + v("~/a"), "Back up: " + v("~/b") },
            "1 folder removed, 1 folder added.");
        dataRow("one folder spelled three ways",
            args({ { "addSources", QJsonArray { "~/b", "~/b/", "~/./b" } },
                { "removeSources", QJsonArray { "~/a/", "~/a" } } }),
            QStringList { "Stop backing up: " + v("~/a"), "Back up: " + v("~/b") },
            "1 folder removed, 1 folder added.");
        dataRow("patterns", args({ { "addExcludes", "*.tmp" }, { "removeExcludes", ".Trash-*" } }),
            QStringList { "Exclude: " + v("*.tmp"), "Stop excluding: " + v(".Trash-*") },
            "1 exclude added, 1 exclude removed.");
        dataRow("narrowing first",
            args({ { "addSources", "~/b" }, { "name", "Work" }, { "removeSources", "~/a" }, { "addExcludes", "*" } }),
            QStringList { "Stop backing up: " + v("~/a"), "Exclude: " + v("*"),
                "Name: " + v("Home") + " → " + v("Work"), "Back up: " + v("~/b") },
            "1 folder removed, 1 exclude added (“\u2068*\u2069” leaves out whole folders), name changed, 1 folder "
            "added.");
        // Each pair reads apart, whatever the characters that make the two look alike.
        dataRow("look-alike folders",
            args({ { "removeSources", QJsonArray { "~/Vidéos", "~/Documents" } },
                { "addSources", QJsonArray { "~/Vide\u0301os", "~/D\u043Ecuments" } } }),
            QStringList { "Stop backing up: " + v("~/Vid⟨U+00E9 Latin⟩os"),
                "Stop backing up: " + v("~/D⟨U+006F Latin⟩cuments"), "Back up: " + v("~/Vid⟨U+0065 Latin⟩⟨U+0301⟩os"),
                "Back up: " + v("~/D⟨U+043E Cyrillic⟩cuments") + " (mixes Latin and Cyrillic)" },
            "2 folders removed, 2 folders added.");
        dataRow("look-alike name", args({ { "name", "\u041D\u043Eme" } }),
            QStringList { "Name: " + v("⟨U+0048 Latin⟩⟨U+006F Latin⟩me") + " → "
                + v("⟨U+041D Cyrillic⟩⟨U+043E Cyrillic⟩me") + " (mixes Cyrillic and Latin)" },
            "Name changed.");
        dataRow("look-alike patterns", args({ { "addExcludes", "*.j\u0440g" }, { "removeExcludes", "*.jpg" } }),
            QStringList { "Exclude: " + v("*.j⟨U+0440 Cyrillic⟩g") + " (mixes Latin and Cyrillic)",
                "Stop excluding: " + v("*.j⟨U+0070 Latin⟩g") },
            "1 exclude added, 1 exclude removed.");
        // A twin of a folder already backed up is named beside it, whichever request added either.
        dataRow("look-alike of a folder kept", args({ { "addSources", "~/\uFF30\uFF49\uFF43\uFF53" } }),
            QStringList { "Back up: " + v("~/⟨U+FF30 Latin⟩⟨U+FF49 Latin⟩⟨U+FF43 Latin⟩⟨U+FF53 Latin⟩")
                + " (looks the same as " + v("~/⟨U+0050 Latin⟩⟨U+0069 Latin⟩⟨U+0063 Latin⟩⟨U+0073 Latin⟩")
                + ", already backed up)" },
            "1 folder added.");
        dataRow("removal that leaves a look-alike", args({ { "removeSources", "~/Music" } }),
            QStringList { "Stop backing up: " + v("~/⟨U+004D Latin⟩usic") + " (" + v("~/⟨U+039C Greek⟩usic")
                + ", which looks the same, is still backed up)" },
            "1 folder removed.");
        // A byte that is not UTF-8 shows as "\xE9", as those four characters typed do.
        dataRow("folder with a byte beside its spelling",
            args({ { "removeSources", "~/Vid" + QString(QChar(0xDCE9)) + "os" }, { "addSources", "~/Vid\\xE9os" } }),
            QStringList { "Stop backing up: " + v("~/Vid\\xE9os"),
                "Back up: " + v("~/Vid⟨U+005C⟩⟨U+0078 Latin⟩⟨U+0045 Latin⟩⟨U+0039⟩os") },
            "1 folder removed, 1 folder added.");
        // One that leaves out a whole folder comes first, however many come before it.
        dataRow("whole folders left out first", args({ { "addExcludes", QJsonArray { "*.tmp", "~/a", "*" } } }),
            QStringList { "Exclude: " + v("~/a"), "Exclude: " + v("*"), "Exclude: " + v("*.tmp") },
            "3 excludes added (“\u2068~/a\u2069” and 1 more leave out whole folders).");
        // A folder left out whole is named, whichever way: restic's name for a linked source, a
        // folder added below an excluded name, every item inside a folder.
        dataRow("target of a linked folder", args({ { "addExcludes", "p" } }), QStringList { "Exclude: " + v("p") },
            "1 exclude added (“\u2068p\u2069” leaves out whole folders).");
        dataRow("folder added below an excluded name", args({ { "addSources", "~/proj/node_modules" } }),
            QStringList {
                "Left out whole by the excludes: " + v("~/proj/node_modules"), "Back up: " + v("~/proj/node_modules") },
            "“\u2068~/proj/node_modules\u2069” left out whole, 1 folder added.");
        dataRow("everything inside a folder", args({ { "addExcludes", "~/Documents/*" } }),
            QStringList { "Exclude: " + v("~/Documents/*") },
            "1 exclude added (“\u2068~/Documents/*\u2069” leaves out whole folders).");
        dataRow("everything else",
            args({ { "schedule", "daily" }, { "keepDaily", 0 }, { "pruneAfterBackup", "no" }, { "onlyOnAC", true },
                { "avoidMeteredNetworks", false }, { "uploadLimitKiB", "512" } }),
            QStringList {
                "Retention: Keep 7 daily, 4 weekly, 12 monthly, 3 yearly → Keep 0 daily, 4 weekly, 12 monthly, 3 "
                "yearly",
                "Schedule: Manual → Daily", "Apply retention after backups: off", "Only on AC power: on",
                "Avoid metered networks: off", "Upload limit: 512 KiB/s" },
            "Retention shortened, schedule changed, 4 other settings changed.");
    }

    void updateChangeLines()
    {
        QFETCH(QJsonObject, arguments);
        QFETCH(QStringList, changes);
        QFETCH(QString, counts);
        ChangesFixture fx;
        const QString a = fx.folder("a");
        fx.folder("b");
        fx.folder("Vide\u0301os");
        fx.folder("D\u043Ecuments");
        fx.folder("Vid\\xE9os");
        const QString byte = fx.home.path() + "/Vid" + QChar(0xDCE9) + "os";
        QCOMPARE(::mkdir(LocalPath::encode(byte).constData(), 0700), 0);
        writeFile(fx.folder("proj/node_modules") + "/m.js", "m");
        const QString projects = fx.home.path() + "/Projects";
        writeFile(fx.folder("data/p") + "/f", "f");
        QVERIFY(QFile::link(fx.home.path() + "/data/p", projects));
        const QString documents = fx.folder("Documents");
        writeFile(documents + "/letter.txt", "l");
        fx.folder("\uFF30\uFF49\uFF43\uFF53");
        Destination home = fx.add(QStringLiteral("Home"),
            { a, fx.folder("Vidéos"), documents, byte, projects, fx.folder("Pics"), fx.folder("Music"),
                fx.folder("\u039Cusic") });
        home.excludes = Destination::defaultExcludes() + QStringList { "*.jpg", "node_modules" };
        fx.store->upsert(home);
        const QByteArray before = fx.destinationsFile();
        fx.asker->decision = ApprovalDecision::approvedByUser;
        arguments.insert("destination", "home");

        const QJsonObject reply = fx.run(QStringLiteral("update-destination"), arguments);
        QStringList plain;
        for (const QString &line : std::as_const(changes))
            plain.append(QString(line).remove(u'\u2068').remove(u'\u2069'));
        QCOMPARE(reply.value("changes").toArray().toVariantList(), QVariant(plain).toList());
        if (changes.isEmpty()) {
            QVERIFY(fx.asker->requests.isEmpty());
            QVERIFY(fx.auditLines().isEmpty());
            QCOMPARE(fx.destinationsFile(), before);
            QVERIFY(!reply.contains("approval"));
        } else {
            QCOMPARE(fx.asker->requests.size(), 1);
            QCOMPARE(fx.asker->requests.first().title, counts + " Change “\u2068Home\u2069”?");
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
        QTest::newRow("empty name") << args({ { "name", " " } }) << "name must not be empty.";
        dataRow("empty exclude", args({ { "addExcludes", QJsonArray { "" } } }), "addExcludes must not be empty.");
        dataRow(
            "empty removal", args({ { "removeExcludes", QJsonArray { "" } } }), "removeExcludes must not be empty.");
        dataRow("remove what is being added", args({ { "addSources", "~/b" }, { "removeSources", "~/b" } }),
            "~/b is not one of Home's folders.");
        dataRow(
            "unknown pattern", args({ { "removeExcludes", "*.iso" } }), "*.iso is not one of Home's exclude patterns.");
        dataRow("bad schedule", args({ { "schedule", "often" } }), "schedule must be one of manual, hourly, daily.");
        QTest::newRow("negative count") << args({ { "keepWeekly", -1 } }) << "keepWeekly must not be negative.";
        dataRow("keeps nothing",
            args({ { "keepDaily", 0 }, { "keepWeekly", 0 }, { "keepMonthly", 0 }, { "keepYearly", "0" } }),
            "Retention must keep at least one snapshot.");
        QTest::newRow("negative limit") << args({ { "uploadLimitKiB", -5 } }) << "uploadLimitKiB must not be negative.";
        dataRow("malformed pattern", args({ { "addExcludes", "x[a-]" } }),
            "restic cannot use the exclude pattern x[a-]: a \"-\" in \"[...]\" must "
            "stand between two characters.");
        dataRow("name that looks like another", args({ { "name", "WOR\u039A" } }),
            "W⟨U+004F Latin⟩⟨U+0052 Latin⟩⟨U+039A Greek⟩ looks the same as W⟨U+006F Latin⟩⟨U+0072 Latin⟩⟨U+006B "
            "Latin⟩, the name of another destination, so the two could be taken for each other.");
        dataRow("control character in the name", args({ { "name", "Ho\tme" } }),
            "name must not contain line breaks, control characters or bidirectional formatting characters.");
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
