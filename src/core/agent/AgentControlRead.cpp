// The read commands of AgentControl: status, destination, snapshots, browse.

#include "agent/AgentControl.h"

#include "util/Uuid.h"

#include <QJsonArray>

namespace vellmir {

namespace {

QString backgroundAgentText(AgentService::Status status)
{
    switch (status) {
    case AgentService::Status::notRegistered:
        return QStringLiteral("off (no destination has a schedule)");
    case AgentService::Status::enabled:
        return QStringLiteral("on");
    case AgentService::Status::requiresApproval:
        return QStringLiteral("needs approval in Login Items");
    case AgentService::Status::notFound:
        return QStringLiteral("unavailable");
    }
    return QStringLiteral("unknown");
}

} // namespace

QJsonObject AgentControl::status()
{
    QJsonArray destinations;
    for (const Destination &destination : m_store->destinations()) {
        QJsonObject object {
            { QStringLiteral("id"), uuidText(destination.id) },
            { QStringLiteral("name"), destination.name },
            { QStringLiteral("kind"), toString(destination.kind) },
            { QStringLiteral("schedule"), toString(destination.schedule) },
            { QStringLiteral("sources"), destination.sources.size() },
        };
        // Status answers for every destination; an unreadable history only leaves out its keys.
        QList<BackupRecord> records;
        try {
            records = BackupRunner::listRecords(destination, m_history, m_engine.lockDirectory());
        } catch (const std::exception &) {
        }
        if (!records.isEmpty()) {
            object.insert(QStringLiteral("latest"), json(records.first()));
            for (const BackupRecord &record : records) {
                if (record.outcome != BackupRecord::Outcome::complete)
                    continue;
                if (record.finishedAt)
                    object.insert(QStringLiteral("lastComplete"), formatter().string(*record.finishedAt));
                break;
            }
        }
        destinations.append(object);
    }

    QString agent = QStringLiteral("unknown");
    try {
        agent = backgroundAgentText(m_hooks.agentStatus());
    } catch (const std::exception &) {
    }

    return QJsonObject {
        { QStringLiteral("destinations"), destinations },
        { QStringLiteral("backgroundAgent"), agent },
        { QStringLiteral("changesWithoutApproval"), m_store->policy().changesWithoutApproval },
        { QStringLiteral("configuration"),
            m_store->integrity().isValid() ? QStringLiteral("sealed") : QStringLiteral("changed-outside-vellmir") },
    };
}

QJsonObject AgentControl::destinationDetail(const Destination &destination)
{
    QJsonObject object = json(destination);
    object.remove(QStringLiteral("credentialID"));
    object.remove(QStringLiteral("lastBackup"));
    object.insert(QStringLiteral("alwaysExcluded"), QJsonArray::fromStringList(Destination::protectedExcludes()));

    const QList<BackupRecord> records = BackupRunner::listRecords(destination, m_history, m_engine.lockDirectory());
    QJsonArray recent;
    for (qsizetype i = 0; i < records.size() && i < 5; ++i)
        recent.append(json(records.at(i)));
    object.insert(QStringLiteral("recentRuns"), recent);
    object.insert(QStringLiteral("health"), json(m_health.load(destination)));
    return object;
}

QJsonObject AgentControl::snapshots(const Destination &destination, qint64 limit, std::stop_token stop)
{
    const ResticEnvironment variables = environment(destination);
    const QList<Snapshot> list = m_engine.listSnapshots(variables, stop);
    QJsonArray objects;
    for (qsizetype i = 0; i < list.size() && i < limit; ++i)
        objects.append(json(list.at(i)));
    return QJsonObject {
        { QStringLiteral("total"), list.size() },
        { QStringLiteral("snapshots"), objects },
    };
}

QJsonObject AgentControl::browse(
    const Destination &destination, const AgentParameters &parameters, std::stop_token stop)
{
    const ResticEnvironment variables = environment(destination);
    const QString query = parameters.requiredString(QStringLiteral("snapshot"));
    const Snapshot snapshot = findSnapshot(query, variables, stop);
    const QString path = parameters.string(QStringLiteral("path")).value_or(QStringLiteral("/"));
    const QString search = parameters.string(QStringLiteral("search")).value_or(QString());

    const QList<SnapshotEntry> entries = m_engine.browse(snapshot.id, path, search, false, variables, stop);
    QJsonArray objects;
    for (const SnapshotEntry &entry : entries)
        objects.append(QJsonObject {
            { QStringLiteral("path"), entry.path },
            { QStringLiteral("type"), entry.type },
            { QStringLiteral("size"), entry.size },
        });
    return QJsonObject {
        { QStringLiteral("snapshot"), snapshot.shortID },
        { QStringLiteral("path"), path },
        { QStringLiteral("truncated"), entries.size() >= 1000 },
        { QStringLiteral("entries"), objects },
    };
}

Snapshot AgentControl::findSnapshot(const QString &query, const ResticEnvironment &environment, std::stop_token stop)
{
    const QList<Snapshot> list = m_engine.listSnapshots(environment, stop);
    QList<Snapshot> matches;
    if (query == QLatin1String("latest")) {
        if (!list.isEmpty())
            matches.append(list.first());
    } else {
        for (const Snapshot &snapshot : list)
            if (snapshot.id == query || snapshot.shortID == query
                || (query.size() >= 8 && snapshot.id.startsWith(query)))
                matches.append(snapshot);
    }
    if (matches.size() != 1)
        throw AgentError::notFound(QStringLiteral("No single snapshot matches \"") + query + QStringLiteral("\"."));
    return matches.first();
}

} // namespace vellmir
