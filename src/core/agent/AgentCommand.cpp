#include "agent/AgentCommand.h"

namespace vellmir {

namespace {

using Kind = AgentCommand::Parameter::Kind;
using Tier = AgentCommand::Tier;

AgentCommand::Parameter required(const char *name, Kind kind, const QString &help)
{
    return { QString::fromUtf8(name), kind, true, help };
}

AgentCommand::Parameter optional(const char *name, Kind kind, const QString &help)
{
    return { QString::fromUtf8(name), kind, false, help };
}

QList<AgentCommand> buildTable()
{
    const QString destinationHelp = QStringLiteral("Destination name, id, or unique id prefix.");
    const AgentCommand::Parameter destination = required("destination", Kind::string, destinationHelp);
    const AgentCommand::Parameter snapshot
        = required("snapshot", Kind::string, QStringLiteral("Snapshot id, short id, or \"latest\"."));

    return {
        { QStringLiteral("status"), Tier::read,
            QStringLiteral("Every destination with its schedule and latest result, plus the background agent and "
                           "approval setting."),
            {} },
        { QStringLiteral("destination"), Tier::read,
            QStringLiteral("One destination's full configuration (never its credentials) and recent results."),
            { destination } },
        { QStringLiteral("history"), Tier::read, QStringLiteral("Recent backup runs for a destination, newest first."),
            { destination, optional("limit", Kind::integer, QStringLiteral("Runs to return (default 10).")) } },
        { QStringLiteral("snapshots"), Tier::read,
            QStringLiteral("Snapshots in a destination's repository, newest first."),
            { destination, optional("limit", Kind::integer, QStringLiteral("Snapshots to return (default 20).")) } },
        { QStringLiteral("browse"), Tier::read, QStringLiteral("List a folder inside a snapshot, or search it."),
            { destination, snapshot,
                optional("path", Kind::string, QStringLiteral("Absolute folder inside the snapshot (default /).")),
                optional(
                    "search", Kind::string, QStringLiteral("Case-insensitive text to find anywhere below path.")) } },
        { QStringLiteral("audit"), Tier::read, QStringLiteral("Recent agent change requests and how each was decided."),
            { optional("limit", Kind::integer, QStringLiteral("Entries to return (default 20).")) } },
        { QStringLiteral("backup"), Tier::operate,
            QStringLiteral("Back up a destination now. Runs in Vellmir's background agent."),
            { destination,
                optional("waitSeconds", Kind::integer,
                    QStringLiteral("Wait up to this long for the result (default 0: return once started).")),
                optional("inProcess", Kind::boolean,
                    QStringLiteral("Run in this process instead of the background agent. Protected files are then "
                                   "read with the calling app's access, not Vellmir's.")) } },
        { QStringLiteral("backup-result"), Tier::read,
            QStringLiteral("The result of a backup started with the backup command."),
            { required("request", Kind::string, QStringLiteral("Request id the backup command returned.")) } },
        { QStringLiteral("check"), Tier::operate,
            QStringLiteral("Check repository structure and a random 5% of its data."), { destination } },
        { QStringLiteral("retention-preview"), Tier::operate,
            QStringLiteral("Count the snapshots the retention policy would remove, changing nothing."),
            { destination } },
        { QStringLiteral("add-destination"), Tier::change,
            QStringLiteral("Add a destination. Pass secrets in JSON on standard input, never as flags."),
            {
                required("name", Kind::string, QStringLiteral("Display name.")),
                required("kind", Kind::string, QStringLiteral("backblazeB2, s3, sftp, or local.")),
                required("repository", Kind::string, QStringLiteral("restic repository, e.g. b2:bucket:path.")),
                optional("sources", Kind::strings, QStringLiteral("Folders to back up (absolute or ~).")),
                optional("excludes", Kind::strings, QStringLiteral("Exclude patterns, added to the defaults.")),
                optional("schedule", Kind::string, QStringLiteral("manual, hourly, or daily (default manual).")),
                required("password", Kind::string, QStringLiteral("Repository password.")),
                optional("b2AccountID", Kind::string, QStringLiteral("Backblaze key ID (backblazeB2).")),
                optional("b2AccountKey", Kind::string, QStringLiteral("Backblaze application key (backblazeB2).")),
                optional("awsAccessKeyID", Kind::string, QStringLiteral("Access key ID (s3).")),
                optional("awsSecretAccessKey", Kind::string, QStringLiteral("Secret access key (s3).")),
                optional(
                    "initialize", Kind::boolean, QStringLiteral("Create the repository if it does not exist yet.")),
            } },
        { QStringLiteral("update-destination"), Tier::change,
            QStringLiteral("Change a destination's name, folders, excludes, schedule, retention or conditions."),
            {
                destination,
                optional("name", Kind::string, QStringLiteral("New display name.")),
                optional("addSources", Kind::strings, QStringLiteral("Folders to start backing up.")),
                optional("removeSources", Kind::strings, QStringLiteral("Folders to stop backing up.")),
                optional("addExcludes", Kind::strings, QStringLiteral("Exclude patterns to add.")),
                optional("removeExcludes", Kind::strings, QStringLiteral("Exclude patterns to remove.")),
                optional("schedule", Kind::string, QStringLiteral("manual, hourly, or daily.")),
                optional("keepDaily", Kind::integer, QStringLiteral("Daily snapshots to keep.")),
                optional("keepWeekly", Kind::integer, QStringLiteral("Weekly snapshots to keep.")),
                optional("keepMonthly", Kind::integer, QStringLiteral("Monthly snapshots to keep.")),
                optional("keepYearly", Kind::integer, QStringLiteral("Yearly snapshots to keep.")),
                optional(
                    "pruneAfterBackup", Kind::boolean, QStringLiteral("Apply retention after each complete backup.")),
                optional("onlyOnAC", Kind::boolean, QStringLiteral("Defer scheduled backups while on battery.")),
                optional("avoidMeteredNetworks", Kind::boolean,
                    QStringLiteral("Defer scheduled backups on expensive or constrained networks.")),
                optional("uploadLimitKiB", Kind::integer, QStringLiteral("Upload limit in KiB/s; 0 for none.")),
            } },
        { QStringLiteral("remove-destination"), Tier::change,
            QStringLiteral("Remove a destination and its stored credentials. Repository data is never deleted."),
            { destination } },
        { QStringLiteral("restore"), Tier::change,
            QStringLiteral("Restore a snapshot, or one path from it, into a new folder inside target. Never "
                           "overwrites existing files."),
            { destination, snapshot,
                required("target", Kind::string, QStringLiteral("Existing folder to restore into.")),
                optional("path", Kind::string,
                    QStringLiteral("Absolute path inside the snapshot to restore (default: everything).")) } },
        { QStringLiteral("apply-retention"), Tier::change,
            QStringLiteral("Remove the snapshots the retention policy no longer keeps."),
            { destination,
                optional(
                    "prune", Kind::boolean, QStringLiteral("Also delete data no snapshot uses (default true).")) } },
    };
}

} // namespace

const QList<AgentCommand> &AgentCommand::all()
{
    static const QList<AgentCommand> table = buildTable();
    return table;
}

const AgentCommand *AgentCommand::named(const QString &name)
{
    for (const AgentCommand &command : all())
        if (command.name == name)
            return &command;
    return nullptr;
}

const AgentCommand::Parameter *AgentCommand::parameter(const QString &parameterName) const
{
    for (const Parameter &candidate : parameters)
        if (candidate.name == parameterName)
            return &candidate;
    return nullptr;
}

QString toString(AgentCommand::Tier tier)
{
    switch (tier) {
    case Tier::read:
        return QStringLiteral("read");
    case Tier::operate:
        return QStringLiteral("operate");
    case Tier::change:
        break;
    }
    return QStringLiteral("change");
}

QString toString(AgentCommand::Parameter::Kind kind)
{
    switch (kind) {
    case Kind::string:
        return QStringLiteral("string");
    case Kind::strings:
        return QStringLiteral("strings");
    case Kind::integer:
        return QStringLiteral("integer");
    case Kind::boolean:
        break;
    }
    return QStringLiteral("boolean");
}

std::optional<AgentCommand::Tier> tierFromString(const QString &raw)
{
    for (Tier tier : { Tier::read, Tier::operate, Tier::change })
        if (toString(tier) == raw)
            return tier;
    return std::nullopt;
}

std::optional<AgentCommand::Parameter::Kind> parameterKindFromString(const QString &raw)
{
    for (Kind kind : { Kind::string, Kind::strings, Kind::integer, Kind::boolean })
        if (toString(kind) == raw)
            return kind;
    return std::nullopt;
}

} // namespace vellmir
