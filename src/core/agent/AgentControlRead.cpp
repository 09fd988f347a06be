// The read commands of AgentControl (status, destination, snapshots, browse), and the lookup of
// a command and its destination that every command starts with.

#include "agent/AgentControl.h"

#include "agent/AgentCommand.h"
#include "agent/AgentParameters.h"
#include "operations/HistoryIndex.h"

#include "config/UserDefaults.h"
#include "util/ResticError.h"
#include "util/Uuid.h"
#include "util/Workers.h"

#include <QFileInfo>
#include <QJsonArray>
#include <algorithm>
#include <vector>

namespace vellmir {

namespace {

// The most entries ResticEngine::browse gives.
constexpr qsizetype browseLimit = 1000;

QString backgroundAgentText(AgentService::Status status)
{
    switch (status) {
    case AgentService::Status::notRegistered:
        return QStringLiteral("off (no destination has a schedule)");
    case AgentService::Status::enabled:
        return QStringLiteral("on");
    case AgentService::Status::notFound:
        return QStringLiteral("unavailable");
    }
    return QStringLiteral("unknown");
}

// Off while a destination has a schedule: its backups never start, so the agent is told why.
QString unregisteredText()
{
    UserDefaults defaults;
    if (const std::optional<QString> failure = defaults.stringValue(UserDefaults::schedulerRegistrationFailure))
        return QStringLiteral("off: registering the systemd user timer failed: ") + *failure;
    return QStringLiteral("off: the systemd user timer is not registered, although a destination has a schedule");
}

// The text an agent gave, written out so that nothing in it hides or reorders the message, and
// cut short when it is long.
QString shownValue(const QJsonValue &value)
{
    if (!value.isString() || value.toString().isEmpty())
        return QString();
    // Cut by characters, a lone surrogate being one: toUcs4() would make it U+FFFD, which hides
    // the byte it stands for.
    constexpr qsizetype shown = 100;
    const QString given = value.toString();
    qsizetype end = 0;
    for (qsizetype characters = 0; end < given.size() && characters < shown; ++characters)
        end += given.at(end).isHighSurrogate() && end + 1 < given.size() && given.at(end + 1).isLowSurrogate() ? 2 : 1;
    return QStringLiteral(" It was given as \"") + TextRules::visible(given.left(end))
        + (end < given.size() ? QStringLiteral("…\".") : QStringLiteral("\"."));
}

} // namespace

QJsonObject AgentControl::run(const QString &name, const QJsonObject &arguments, std::stop_token stop)
{
    const HistoryIndex::Call reading;
    const AgentCommand *command = AgentCommand::named(name);
    if (!command)
        throw AgentError::usage(
            QStringLiteral("Unknown command \"") + name + QStringLiteral("\". Run `vellmir commands` for the list."));
    const AgentParameters parameters(arguments, *command);
    // Every value is checked before anything is read or looked up, so that a malformed call
    // gets the same answer whatever the destinations are. A destination value no destination
    // could be named by is shown written out.
    if (const std::optional<QString> refused = command->refusal(arguments, param::destination))
        throw AgentError::usage(*refused + shownValue(arguments.value(param::destination)));
    parameters.check(*command);
    if (m_hooks.kept && command->tier == AgentCommand::Tier::read) {
        m_hooks.kept->load(*m_store);
    } else {
        // What another command does may change what is kept in ways no file shows at once.
        if (m_hooks.kept)
            m_hooks.kept->forget();
        m_store->reload();
    }
    std::optional<Destination> resolved;
    if (command->parameter(param::destination))
        resolved = resolve(parameters);
    return command->handler(*this, parameters, resolved ? &*resolved : nullptr, stop);
}

Destination AgentControl::resolve(const AgentParameters &parameters) const
{
    const QString key = parameters.requiredString(param::destination);
    const QList<Destination> &destinations = m_store->destinations();

    if (const std::optional<QUuid> id = parseUuid(key))
        if (std::optional<Destination> found = m_store->destination(*id))
            return *found;
    for (const Destination &destination : destinations)
        if (destination.name.compare(key, Qt::CaseInsensitive) == 0)
            return destination;
    if (key.size() >= 4) {
        const QString prefix = key.toLower();
        const Destination *match = nullptr;
        int count = 0;
        for (const Destination &destination : destinations)
            if (uuidText(destination.id).toLower().startsWith(prefix)) {
                match = &destination;
                ++count;
            }
        if (count == 1)
            return *match;
    }

    refuseUntrusted(key);
    QStringList names;
    for (const Destination &destination : destinations)
        names.append(destination.name);
    throw AgentError::notFound(QStringLiteral("No single destination matches \"") + TextRules::visible(key)
        + QStringLiteral("\". Destinations: ")
        + (names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "))) + QLatin1Char('.'));
}

namespace {

// "lastComplete" as the schedule counts it: a run dated after now does not count, and is named
// under "datedInFuture" so that the clock can be put right.
void insertLastComplete(QJsonObject &object, const QList<BackupRecord> &outlines, Date now)
{
    std::optional<Date> ahead;
    bool found = false;
    for (const BackupRecord &record : outlines) {
        if (record.isDatedAfter(now)) {
            const Date date = std::max(record.startedAt, record.finishedAt.value_or(record.startedAt));
            ahead = ahead ? std::max(*ahead, date) : date;
            continue;
        }
        if (found || record.outcome != BackupRecord::Outcome::complete)
            continue;
        found = true;
        if (record.finishedAt)
            object.insert(QStringLiteral("lastComplete"), AgentControl::formatter().string(*record.finishedAt));
    }
    if (ahead)
        object.insert(QStringLiteral("datedInFuture"),
            QStringLiteral("A backup is dated %1, in the future; it does not count for the schedule. Check the "
                           "system clock.")
                .arg(AgentControl::formatter().string(*ahead)));
}

} // namespace

QJsonObject AgentControl::status()
{
    // The scheduler is asked (systemctl) while the history is read.
    std::optional<AgentService::Status> state; // none when it could not be told
    const auto ask = [this, &state] {
        try {
            state = m_hooks.agentStatus();
        } catch (const std::exception &) {
        }
    };
    std::jthread asking = alongside(ask);

    // What the history index knows of every destination's records; only the newest of each is
    // read in full.
    QHash<QUuid, QList<BackupRecord>> history;
    const Date now = Date::now();
    std::optional<QString> unreadable;
    try {
        history = m_history.outlines(m_store->destinations(), now);
    } catch (const std::exception &error) {
        // Status answers for every destination; without the history it says why its keys are missing,
        // or a destination would read as never backed up.
        unreadable = errorDescription(error);
    }

    QJsonArray destinations;
    for (const Destination &destination : m_store->destinations()) {
        QJsonObject object {
            { QStringLiteral("id"), uuidText(destination.id) },
            { QStringLiteral("name"), destination.name },
            { QStringLiteral("kind"), toString(destination.kind) },
            { QStringLiteral("schedule"), toString(destination.schedule) },
            { QStringLiteral("sources"), destination.sources.size() },
        };
        QList<BackupRecord> outlines = history.value(destination.id);
        std::optional<QString> historyError = unreadable;
        if (!outlines.isEmpty()) {
            try {
                // A "running" record whose repository is free is finished before it is reported.
                const QList<BackupRecord> latest
                    = BackupRunner::listRecords(destination, m_history, m_engine.lockDirectory(), 1);
                if (!latest.isEmpty())
                    object.insert(QStringLiteral("latest"), json(latest.first()));
                if (std::any_of(outlines.cbegin(), outlines.cend(),
                        [](const BackupRecord &record) { return record.outcome == BackupRecord::Outcome::running; }))
                    outlines = m_history.outlines({ destination }, now).value(destination.id);
            } catch (const std::exception &error) {
                historyError = errorDescription(error);
            }
            insertLastComplete(object, outlines, now);
        }
        if (historyError)
            object.insert(QStringLiteral("historyError"), *historyError);
        destinations.append(object);
    }

    if (asking.joinable())
        asking.join();
    QString agent = QStringLiteral("unknown");
    try {
        if (state) {
            agent = backgroundAgentText(*state);
            const QList<Destination> &all = m_store->destinations();
            if (*state == AgentService::Status::notRegistered
                && std::any_of(all.begin(), all.end(),
                    [](const Destination &d) { return d.schedule != Destination::Schedule::manual; }))
                agent = unregisteredText();
            else if (*state == AgentService::Status::notRegistered && !m_store->awaitingReview().isEmpty())
                // Their schedules wait for the review too: "no schedule" would not say why.
                agent = QStringLiteral("off: destinations await review in Vellmir's window");
        }
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

    const QList<BackupRecord> records = BackupRunner::listRecords(destination, m_history, m_engine.lockDirectory(), 5);
    QJsonArray recent;
    for (qsizetype i = 0; i < records.size() && i < 5; ++i)
        recent.append(json(records.at(i)));
    object.insert(QStringLiteral("recentRuns"), recent);
    object.insert(QStringLiteral("health"), json(m_health.load(destination)));
    return object;
}

QJsonObject AgentControl::historyRuns(const Destination &destination, const AgentParameters &parameters) const
{
    const qint64 limit = parameters.integer(param::limit).value();
    const QList<BackupRecord> records
        = BackupRunner::listRecords(destination, m_history, m_engine.lockDirectory(), std::max<qint64>(limit, 0));
    const qsizetype count = std::clamp<qsizetype>(limit, 0, records.size());
    std::vector<QJsonObject> objects(static_cast<size_t>(count));
    inSlices(count, 256, [&](qsizetype first, qsizetype last) {
        for (qsizetype i = first; i < last; ++i)
            objects[size_t(i)] = json(records.at(i));
    });
    QJsonArray runs;
    for (const QJsonObject &object : objects)
        runs.append(object);
    return QJsonObject { { QStringLiteral("runs"), runs } };
}

QJsonObject AgentControl::auditEntries(const AgentParameters &parameters) const
{
    const QList<AgentAuditLog::Entry> entries = m_audit.entries(parameters.integer(param::limit).value());
    QJsonArray objects;
    for (auto it = entries.crbegin(); it != entries.crend(); ++it)
        objects.append(json(*it));
    return QJsonObject { { QStringLiteral("entries"), objects } };
}

QJsonObject AgentControl::snapshots(
    const Destination &destination, const AgentParameters &parameters, std::stop_token stop)
{
    const qint64 limit = parameters.integer(param::limit).value();
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
    const QString query = parameters.requiredString(param::snapshot);
    const QString path = snapshotPath(parameters.string(param::path).value());
    const QString search = parameters.string(param::search).value_or(QString());

    // restic finds the snapshot itself and names it first in its answer: one repository
    // opening instead of two.
    Snapshot snapshot;
    QList<SnapshotEntry> entries;
    if (resticTakesQuery(query)) {
        try {
            entries = m_engine.browse(query, path, search, false, variables, stop, &snapshot);
        } catch (const ResticError &) {
            // Most likely no single snapshot matches: the lookup says so as it always has.
            findSnapshot(query, variables, stop);
            throw;
        }
    }
    if (snapshot.id.isEmpty()) {
        snapshot = findSnapshot(query, variables, stop);
        entries = m_engine.browse(snapshot.id, path, search, false, variables, stop);
    }
    // restic lists nothing for a path the snapshot lacks, as for an empty folder: the folder
    // above tells them apart.
    if (entries.isEmpty() && path != QLatin1String("/")
        && holdsEntry(snapshot, path, QStringLiteral("dir"), variables, stop) == false)
        throw AgentError::notFound(
            QStringLiteral("Snapshot ") + snapshot.shortID + QStringLiteral(" holds no folder ") + path + u'.');
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
        { QStringLiteral("truncated"), entries.size() >= browseLimit },
        { QStringLiteral("entries"), objects },
    };
}

std::optional<bool> AgentControl::holdsEntry(const Snapshot &snapshot, const QString &path, const QString &type,
    const ResticEnvironment &environment, std::stop_token stop)
{
    const QList<SnapshotEntry> siblings
        = m_engine.browse(snapshot.id, QFileInfo(path).path(), QString(), false, environment, stop);
    if (std::any_of(siblings.cbegin(), siblings.cend(),
            [&](const SnapshotEntry &entry) { return entry.path == path && (type.isEmpty() || entry.type == type); }))
        return true;
    if (siblings.size() >= browseLimit)
        return std::nullopt;
    return false;
}

Snapshot AgentControl::findSnapshot(const QString &query, const ResticEnvironment &environment, std::stop_token stop)
{
    return matchSnapshot(query, m_engine.listSnapshots(environment, stop));
}

Snapshot AgentControl::matchSnapshot(const QString &query, const QList<Snapshot> &list)
{
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

bool AgentControl::resticTakesQuery(const QString &query)
{
    if (query == QLatin1String("latest"))
        return true;
    // restic's ids are 64 lower-case hexadecimal digits.
    return query.size() >= 8 && query.size() <= 64 && std::all_of(query.cbegin(), query.cend(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
    });
}

} // namespace vellmir
