#pragma once

// One AgentControl over real stores in a private home: the destinations file sealed with an
// in-memory key, secrets in memory, restic replaced by the scripted fake, systemctl by its fake.

#include "FakePlatform.h"
#include "MemorySealKeyStore.h"
#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "agent/AgentControl.h"
#include "agent/AgentParameters.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace vellmir::test {

class ScriptedApprover : public AgentApprover {
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
    std::function<void()> onDecide; // what happens while the question is open
};

struct AgentFixture {
    TestHome home;
    QTemporaryDir fake; // the fake restic's script and the fake systemctl
    std::shared_ptr<MemorySecretStorage> secrets = std::make_shared<MemorySecretStorage>();
    std::shared_ptr<MemorySealKeyStore> keys = std::make_shared<MemorySealKeyStore>();
    CredentialsStore credentials { secrets };
    std::shared_ptr<DestinationStore> store;
    std::shared_ptr<ScriptedApprover> approver = std::make_shared<ScriptedApprover>();
    AgentService::Status agentStatus = AgentService::Status::notRegistered;
    int agentAsked = 0; // how often the control asked for agentStatus
    QStringList kicks;
    std::optional<QString> kickFailure;
    std::unique_ptr<AgentControl> control;

    AgentFixture()
    {
        qputenv("FAKE_RESTIC_DIR", QFile::encodeName(fake.path()));
        store = std::make_shared<DestinationStore>(
            home.dataDirectory() + QStringLiteral("/destinations.json"), credentials, keys);
        store->reload();
        build();
    }
    ~AgentFixture() { qunsetenv("FAKE_RESTIC_DIR"); }

    // (Re)makes the control over the fixture's stores, keeping `kept` between commands.
    void build(std::shared_ptr<AgentKeptState> kept = nullptr)
    {
        AgentControl::Hooks hooks;
        hooks.kept = std::move(kept);
        hooks.startScheduler = [this] {
            kicks.append(QStringLiteral("kick"));
            if (kickFailure)
                throw Error(*kickFailure);
        };
        hooks.reconcileScheduler = [](const QList<Destination> &) { return std::optional<QString>(); };
        hooks.agentStatus = [this] {
            ++agentAsked;
            return agentStatus;
        };
        hooks.runnerServices.accessCheck = [] { return true; };
        hooks.runnerServices.fullDiskAccessWanted = [] { return false; };
        hooks.runnerServices.notify = [](const NotificationContent &) {};
        hooks.runnerServices.keepAwake = std::make_shared<FakeKeepAwake>();
        hooks.fullDiskAccess = [] { return true; };
        control
            = std::make_unique<AgentControl>(store, BackupHistory(home.dataDirectory() + QStringLiteral("/history")),
                credentials, engine(), BackupRequests(home.dataDirectory() + QStringLiteral("/requests")),
                RepositoryHealthStore(home.dataDirectory() + QStringLiteral("/health"), credentials), approver,
                AgentAuditLog(home.dataDirectory() + QStringLiteral("/agent-audit.jsonl")), std::move(hooks));
    }

    ResticEngine engine() const
    {
        return ResticEngine(supportPath(QStringLiteral("fake-restic")), home.path() + QStringLiteral("/locks"));
    }

    // A local destination with its password stored, added to the store.
    Destination add(
        const QString &name, QStringList sources = {}, std::optional<QUuid> id = std::nullopt, bool withPassword = true)
    {
        Destination d;
        d.id = id.value_or(newUuid());
        d.credentialID = newUuid();
        d.name = name;
        d.kind = Destination::Kind::local;
        d.repository = home.path() + QStringLiteral("/repo-") + name;
        d.sources = std::move(sources);
        if (withPassword)
            credentials.setSecret(QStringLiteral("pw"), CredentialRole::repoPassword, d.credentialID);
        store->upsert(d);
        return d;
    }

    // Writes one record into the history folder as the runner would.
    BackupRecord record(const Destination &d, double startedAt, BackupRecord::Outcome outcome,
        std::optional<double> finishedAt = std::nullopt)
    {
        BackupRecord r(d.id, Date { startedAt });
        r.outcome = outcome;
        if (finishedAt)
            r.finishedAt = Date { *finishedAt };
        const BackupHistory history = control->history();
        QDir().mkpath(history.directory());
        writeFile(history.filePath(r.id), r.encoded());
        return r;
    }

    void script(const QString &name, const QByteArray &content) const { writeFile(fake.filePath(name), content); }
    QStringList resticArguments() const
    {
        const QString path = fake.filePath(QStringLiteral("args"));
        if (!QFile::exists(path))
            return {};
        return QString::fromUtf8(readFile(path)).split(u'\n', Qt::SkipEmptyParts);
    }
    bool resticRan() const { return QFile::exists(fake.filePath(QStringLiteral("pid"))); }

    // Arguments given as texts, as on a command line.
    static QJsonObject typed(const QString &name, const QJsonObject &arguments)
    {
        const AgentCommand *command = AgentCommand::named(name);
        return command ? AgentParameters::typed(*command, arguments) : arguments;
    }

    QJsonObject run(const QString &name, const QJsonObject &arguments = {}, std::stop_token stop = {})
    {
        return control->run(name, typed(name, arguments), stop);
    }

    // The AgentError (kind and message) the command ends with.
    std::optional<AgentError> failure(const QString &name, const QJsonObject &arguments = {})
    {
        try {
            control->run(name, typed(name, arguments));
        } catch (const AgentError &error) {
            return error;
        }
        return std::nullopt;
    }
};

// A command's arguments, written inline.
inline QJsonObject args(std::initializer_list<QPair<QString, QJsonValue>> list)
{
    return QJsonObject(list);
}

// A snapshots listing as restic prints it, newest last as restic orders it.
inline QByteArray snapshotsJson(const QList<QPair<QString, QString>> &idsAndTimes)
{
    QJsonArray list;
    for (const auto &[id, time] : idsAndTimes)
        list.append(QJsonObject { { "id", id }, { "short_id", id.left(8) }, { "time", time }, { "hostname", "host" },
            { "paths", QJsonArray { "/src" } }, { "summary", QJsonObject { { "total_bytes_processed", 1234 } } } });
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

} // namespace vellmir::test
