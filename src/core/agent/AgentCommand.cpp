#include "agent/AgentCommand.h"

#include "agent/AgentControl.h"
#include "agent/AgentParameters.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

namespace vellmir {

namespace {

using Kind = AgentCommand::Parameter::Kind;
using Parameter = AgentCommand::Parameter;
using Tier = AgentCommand::Tier;

// Characters no text an agent gives may hold: NUL, which ends a text where restic and the system
// read it; line breaks and other controls, which forge or hide lines where the text is shown; and
// the bidirectional formatting characters, which make it read as another text.
const QString hiddenCharacters
    = QStringLiteral(R"([\u0000-\u001F\u007F-\u009F\u061C\u200E\u200F\u2028\u2029\u202A-\u202E\u2066-\u2069])");
const QString nulCharacter = QStringLiteral(R"([\u0000])");
// The integers a JSON number holds exactly, which every client reads alike.
constexpr qint64 largestInteger = 9007199254740991;

Parameter optional(const char *name, Kind kind, const QString &help)
{
    Parameter parameter;
    parameter.name = QString::fromUtf8(name);
    parameter.kind = kind;
    parameter.help = help;
    return parameter;
}

Parameter required(const char *name, Kind kind, const QString &help)
{
    Parameter parameter = optional(name, kind, help);
    parameter.required = true;
    if (kind == Kind::string)
        parameter.minLength = 1;
    return parameter;
}

Parameter count(const char *name, const QString &help)
{
    Parameter parameter = optional(name, Kind::integer, help);
    parameter.minimum = 0;
    return parameter;
}

Parameter matching(Parameter parameter, const QString &pattern, const QString &refusal)
{
    parameter.pattern = pattern;
    parameter.refusal = refusal;
    return parameter;
}

Parameter oneOf(Parameter parameter, const QStringList &choices)
{
    parameter.choices = choices;
    return parameter;
}

Parameter secret(Parameter parameter)
{
    parameter.secret = true;
    return parameter;
}

// A name is shown on one line wherever it appears.
Parameter name(Parameter parameter)
{
    parameter.maxLength = 256;
    return parameter;
}

// "~", "~/..." or an absolute path, around blanks that are trimmed.
Parameter folders(Parameter parameter)
{
    return matching(parameter, QStringLiteral(R"(^\s*(~/|/|~\s*$))"),
        parameter.name + QStringLiteral(" must be an absolute path or start with ~."));
}

// An absolute path as restic lists it: no "." or ".." step, no empty one.
Parameter snapshotPath(Parameter parameter)
{
    return matching(parameter, QStringLiteral(R"(^(?!.*//)(?!.*/\.\.?(/|$))(?!.+/$)/)"),
        QStringLiteral("The path must be an absolute path inside the snapshot, such as /home/you/Documents."));
}

Parameter repository(Parameter parameter)
{
    const auto prefixed = [](const char *kind, const char *prefix) {
        return Parameter::KindPattern { QString::fromLatin1(kind),
            QStringLiteral(R"(^\s*)") + QString::fromLatin1(prefix),
            QStringLiteral("A repository of kind ") + QString::fromLatin1(kind) + QStringLiteral(" must start with \"")
                + QString::fromLatin1(prefix) + QStringLiteral("\".") };
    };
    // restic takes a relative local path from whatever folder the process runs in, and "rclone:"
    // would start rclone with whatever options the address carries: only each kind's own backend.
    parameter.patternByKind = { prefixed("backblazeB2", "b2:"), prefixed("s3", "s3:"), prefixed("sftp", "sftp:"),
        { QStringLiteral("local"), QStringLiteral(R"(^\s*(/|~/|local:/))"),
            QStringLiteral("A local repository must be an absolute path or start with ~/.") } };
    return parameter;
}

// The pattern for QRegularExpression, which spells "\uXXXX" as "\x{XXXX}".
QRegularExpression compiled(const QString &pattern)
{
    static const QRegularExpression escape(QStringLiteral(R"(\\u([0-9A-Fa-f]{4}))"));
    return QRegularExpression(
        QString(pattern).replace(escape, QStringLiteral(R"(\x{\1})")), QRegularExpression::UseUnicodePropertiesOption);
}

bool found(const QString &pattern, const QString &text)
{
    return compiled(pattern).match(text).hasMatch();
}

// The value's kind of kind-dependent rule, when "kind" is given and known.
const Parameter::KindPattern *kindPattern(const Parameter &parameter, const QJsonObject &arguments)
{
    const QString kind = arguments.value(QLatin1String("kind")).toString();
    for (const Parameter::KindPattern &each : parameter.patternByKind)
        if (each.kind == kind)
            return &each;
    return nullptr;
}

std::optional<QString> textRefusal(const Parameter &parameter, const QJsonValue &value, const QJsonObject &arguments)
{
    if (!value.isString())
        return parameter.name + QStringLiteral(" must be text.");
    const QString text = value.toString();
    if (found(parameter.secret ? nulCharacter : hiddenCharacters, text))
        return parameter.name
            + (parameter.secret
                    ? QStringLiteral(" must not contain a NUL character.")
                    : QStringLiteral(
                        " must not contain line breaks, control characters or bidirectional formatting characters."));
    const qsizetype length = text.toUcs4().size(); // as JSON Schema counts: in characters
    if (length < parameter.minLength)
        return parameter.name + QStringLiteral(" must not be empty.");
    if (length > parameter.maxLength)
        return parameter.name + QStringLiteral(" must be at most %1 characters long.").arg(parameter.maxLength);
    if (!parameter.choices.isEmpty() && !parameter.choices.contains(text))
        return parameter.name + QStringLiteral(" must be one of ") + parameter.choices.join(QStringLiteral(", "))
            + u'.';
    if (!parameter.pattern.isEmpty() && !found(parameter.pattern, text))
        return parameter.refusal;
    if (const Parameter::KindPattern *rule = kindPattern(parameter, arguments); rule && !found(rule->pattern, text))
        return rule->refusal;
    return std::nullopt;
}

std::optional<QString> valueRefusal(const Parameter &parameter, const QJsonValue &value, const QJsonObject &arguments)
{
    switch (parameter.kind) {
    case Kind::string:
        return textRefusal(parameter, value, arguments);
    case Kind::strings: {
        const QString notList = parameter.name + QStringLiteral(" must be a list of text.");
        if (!value.isArray())
            return notList;
        const QJsonArray list = value.toArray();
        if (list.size() > parameter.maxItems)
            return parameter.name + QStringLiteral(" may hold at most %1 values.").arg(parameter.maxItems);
        QSet<QString> seen;
        for (const QJsonValue &item : list) {
            if (!item.isString())
                return notList;
            if (const std::optional<QString> refusal = textRefusal(parameter, item, arguments))
                return refusal;
            if (seen.contains(item.toString()))
                return parameter.name + QStringLiteral(" must not hold the same value twice.");
            seen.insert(item.toString());
        }
        return std::nullopt;
    }
    case Kind::integer: {
        const std::optional<qint64> number = json::toInt64(value);
        if (!number || *number > largestInteger || *number < -largestInteger)
            return parameter.name + QStringLiteral(" must be a whole number.");
        if (parameter.minimum && *number < *parameter.minimum)
            return parameter.name + QStringLiteral(" must not be negative.");
        return std::nullopt;
    }
    case Kind::boolean:
        break;
    }
    if (!value.isBool())
        return parameter.name + QStringLiteral(" must be true or false.");
    return std::nullopt;
}

QJsonObject textSchema(const Parameter &parameter)
{
    QJsonObject schema { { QStringLiteral("type"), QStringLiteral("string") },
        { QStringLiteral("maxLength"), parameter.maxLength },
        { QStringLiteral("not"),
            QJsonObject { { QStringLiteral("pattern"), parameter.secret ? nulCharacter : hiddenCharacters } } } };
    if (parameter.minLength > 0)
        schema.insert(QStringLiteral("minLength"), parameter.minLength);
    if (!parameter.choices.isEmpty())
        schema.insert(QStringLiteral("enum"), QJsonArray::fromStringList(parameter.choices));
    if (!parameter.pattern.isEmpty())
        schema.insert(QStringLiteral("pattern"), parameter.pattern);
    return schema;
}

QJsonObject parameterSchema(const Parameter &parameter)
{
    QJsonObject schema;
    switch (parameter.kind) {
    case Kind::string:
        schema = textSchema(parameter);
        break;
    case Kind::strings:
        schema = QJsonObject { { QStringLiteral("type"), QStringLiteral("array") },
            { QStringLiteral("items"), textSchema(parameter) }, { QStringLiteral("maxItems"), parameter.maxItems },
            { QStringLiteral("uniqueItems"), true } };
        break;
    case Kind::integer:
        schema = QJsonObject { { QStringLiteral("type"), QStringLiteral("integer") },
            { QStringLiteral("minimum"), parameter.minimum.value_or(-largestInteger) },
            { QStringLiteral("maximum"), largestInteger } };
        break;
    case Kind::boolean:
        schema = QJsonObject { { QStringLiteral("type"), QStringLiteral("boolean") } };
        break;
    }
    schema.insert(QStringLiteral("description"), parameter.help);
    return schema;
}

qint64 limit(const AgentParameters &parameters, qint64 fallback)
{
    return parameters.integer(QStringLiteral("limit")).value_or(fallback);
}

QList<AgentCommand> buildTable()
{
    const QString destinationHelp = QStringLiteral("Destination name, id, or unique id prefix.");
    const Parameter destinationKey = required("destination", Kind::string, destinationHelp);
    const Parameter snapshot
        = required("snapshot", Kind::string, QStringLiteral("Snapshot id, short id, or \"latest\"."));
    const QStringList schedules { QStringLiteral("manual"), QStringLiteral("hourly"), QStringLiteral("daily") };
    QStringList kinds;
    for (Destination::Kind kind : allKinds())
        kinds.append(toString(kind));

    return {
        { QStringLiteral("status"), Tier::read,
            QStringLiteral("Every destination with its schedule and latest result, plus the background agent and "
                           "approval setting."),
            {}, [](auto &c, auto &, auto, auto) { return c.status(); } },
        { QStringLiteral("destination"), Tier::read,
            QStringLiteral("One destination's full configuration (never its credentials) and recent results."),
            { destinationKey }, [](auto &c, auto &, auto d, auto) { return c.destinationDetail(*d); } },
        { QStringLiteral("history"), Tier::read, QStringLiteral("Recent backup runs for a destination, newest first."),
            { destinationKey, count("limit", QStringLiteral("Runs to return (default 10).")) },
            [](auto &c, auto &p, auto d, auto) { return c.historyRuns(*d, limit(p, 10)); } },
        { QStringLiteral("snapshots"), Tier::read,
            QStringLiteral("Snapshots in a destination's repository, newest first."),
            { destinationKey, count("limit", QStringLiteral("Snapshots to return (default 20).")) },
            [](auto &c, auto &p, auto d, auto stop) { return c.snapshots(*d, limit(p, 20), stop); } },
        { QStringLiteral("browse"), Tier::read, QStringLiteral("List a folder inside a snapshot, or search it."),
            { destinationKey, snapshot,
                snapshotPath(
                    optional("path", Kind::string, QStringLiteral("Absolute folder inside the snapshot (default /)."))),
                optional(
                    "search", Kind::string, QStringLiteral("Case-insensitive text to find anywhere below path.")) },
            [](auto &c, auto &p, auto d, auto stop) { return c.browse(*d, p, stop); } },
        { QStringLiteral("audit"), Tier::read, QStringLiteral("Recent agent change requests and how each was decided."),
            { count("limit", QStringLiteral("Entries to return (default 20).")) },
            [](auto &c, auto &p, auto, auto) { return c.auditEntries(limit(p, 20)); } },
        { QStringLiteral("backup"), Tier::operate,
            QStringLiteral("Back up a destination now. Runs in Vellmir's background agent."),
            { destinationKey,
                optional("waitSeconds", Kind::integer,
                    QStringLiteral("Wait up to this long for the result (default 0: return once started).")),
                optional("inProcess", Kind::boolean,
                    QStringLiteral("Run in this process instead of the background agent. Protected files are then "
                                   "read with the calling app's access, not Vellmir's.")) },
            [](auto &c, auto &p, auto d, auto stop) { return c.backup(*d, p, stop); } },
        { QStringLiteral("backup-result"), Tier::read,
            QStringLiteral("The result of a backup started with the backup command."),
            { matching(required("request", Kind::string, QStringLiteral("Request id the backup command returned.")),
                QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"),
                QStringLiteral("request must be a request id.")) },
            [](auto &c, auto &p, auto, auto) { return c.backupResult(p); } },
        { QStringLiteral("check"), Tier::operate,
            QStringLiteral("Check repository structure and a random 5% of its data."), { destinationKey },
            [](auto &c, auto &, auto d, auto stop) { return c.check(*d, stop); } },
        { QStringLiteral("retention-preview"), Tier::operate,
            QStringLiteral("Count the snapshots the retention policy would remove, changing nothing."),
            { destinationKey }, [](auto &c, auto &, auto d, auto stop) { return c.retentionPreview(*d, stop); } },
        { QStringLiteral("add-destination"), Tier::change,
            QStringLiteral("Add a destination. Pass secrets in JSON on standard input, never as flags."),
            {
                name(matching(required("name", Kind::string, QStringLiteral("Display name.")), QStringLiteral(R"(\S)"),
                    QStringLiteral("name must not be empty."))),
                oneOf(required("kind", Kind::string, QStringLiteral("backblazeB2, s3, sftp, or local.")), kinds),
                repository(
                    required("repository", Kind::string, QStringLiteral("restic repository, e.g. b2:bucket:path."))),
                folders(optional("sources", Kind::strings, QStringLiteral("Folders to back up (absolute or ~)."))),
                optional("excludes", Kind::strings, QStringLiteral("Exclude patterns, added to the defaults.")),
                oneOf(optional("schedule", Kind::string, QStringLiteral("manual, hourly, or daily (default manual).")),
                    schedules),
                secret(matching(required("password", Kind::string, QStringLiteral("Repository password.")),
                    QStringLiteral(R"(\S)"), QStringLiteral("password must not be blank."))),
                secret(optional("b2AccountID", Kind::string, QStringLiteral("Backblaze key ID (backblazeB2)."))),
                secret(
                    optional("b2AccountKey", Kind::string, QStringLiteral("Backblaze application key (backblazeB2)."))),
                secret(optional("awsAccessKeyID", Kind::string, QStringLiteral("Access key ID (s3)."))),
                secret(optional("awsSecretAccessKey", Kind::string, QStringLiteral("Secret access key (s3)."))),
                optional(
                    "initialize", Kind::boolean, QStringLiteral("Create the repository if it does not exist yet.")),
            },
            [](auto &c, auto &p, auto, auto stop) { return c.addDestination(p, stop); } },
        { QStringLiteral("update-destination"), Tier::change,
            QStringLiteral("Change a destination's name, folders, excludes, schedule, retention or conditions."),
            {
                destinationKey,
                name(optional("name", Kind::string, QStringLiteral("New display name."))),
                folders(optional("addSources", Kind::strings, QStringLiteral("Folders to start backing up."))),
                optional("removeSources", Kind::strings, QStringLiteral("Folders to stop backing up.")),
                optional("addExcludes", Kind::strings, QStringLiteral("Exclude patterns to add.")),
                optional("removeExcludes", Kind::strings, QStringLiteral("Exclude patterns to remove.")),
                oneOf(optional("schedule", Kind::string, QStringLiteral("manual, hourly, or daily.")), schedules),
                count("keepDaily", QStringLiteral("Daily snapshots to keep.")),
                count("keepWeekly", QStringLiteral("Weekly snapshots to keep.")),
                count("keepMonthly", QStringLiteral("Monthly snapshots to keep.")),
                count("keepYearly", QStringLiteral("Yearly snapshots to keep.")),
                optional(
                    "pruneAfterBackup", Kind::boolean, QStringLiteral("Apply retention after each complete backup.")),
                optional("onlyOnAC", Kind::boolean, QStringLiteral("Defer scheduled backups while on battery.")),
                optional("avoidMeteredNetworks", Kind::boolean,
                    QStringLiteral("Defer scheduled backups on expensive or constrained networks.")),
                count("uploadLimitKiB", QStringLiteral("Upload limit in KiB/s; 0 for none.")),
            },
            [](auto &c, auto &p, auto d, auto stop) { return c.updateDestination(*d, p, stop); } },
        { QStringLiteral("remove-destination"), Tier::change,
            QStringLiteral("Remove a destination and its stored credentials. Repository data is never deleted."),
            { destinationKey }, [](auto &c, auto &, auto d, auto stop) { return c.removeDestination(*d, stop); } },
        { QStringLiteral("restore"), Tier::change,
            QStringLiteral("Restore a snapshot, or one path from it, into a new folder inside target. Never "
                           "overwrites existing files."),
            { destinationKey, snapshot,
                folders(required("target", Kind::string, QStringLiteral("Existing folder to restore into."))),
                snapshotPath(optional("path", Kind::string,
                    QStringLiteral("Absolute path inside the snapshot to restore (default: everything)."))) },
            [](auto &c, auto &p, auto d, auto stop) { return c.restore(*d, p, stop); } },
        { QStringLiteral("apply-retention"), Tier::change,
            QStringLiteral("Remove the snapshots the retention policy no longer keeps."),
            { destinationKey,
                optional("prune", Kind::boolean, QStringLiteral("Also delete data no snapshot uses (default true).")) },
            [](auto &c, auto &p, auto d, auto stop) {
                return c.applyRetention(*d, p.boolean(QStringLiteral("prune")).value_or(true), stop);
            } },
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

QJsonObject AgentCommand::inputSchema() const
{
    QJsonObject properties;
    QJsonArray requiredNames;
    QJsonArray conditions;
    for (const Parameter &parameter : parameters) {
        properties.insert(parameter.name, parameterSchema(parameter));
        if (parameter.required)
            requiredNames.append(parameter.name);
        for (const Parameter::KindPattern &rule : parameter.patternByKind)
            conditions.append(QJsonObject {
                { QStringLiteral("if"),
                    QJsonObject { { QStringLiteral("properties"),
                                      QJsonObject { { QStringLiteral("kind"),
                                          QJsonObject { { QStringLiteral("const"), rule.kind } } } } },
                        { QStringLiteral("required"), QJsonArray { QStringLiteral("kind") } } } },
                { QStringLiteral("then"),
                    QJsonObject { { QStringLiteral("properties"),
                        QJsonObject {
                            { parameter.name, QJsonObject { { QStringLiteral("pattern"), rule.pattern } } } } } } },
            });
    }
    QJsonObject schema { { QStringLiteral("type"), QStringLiteral("object") },
        { QStringLiteral("properties"), properties }, { QStringLiteral("required"), requiredNames },
        { QStringLiteral("additionalProperties"), false } };
    if (!conditions.isEmpty())
        schema.insert(QStringLiteral("allOf"), conditions);
    return schema;
}

std::optional<QString> AgentCommand::refusal(const QJsonObject &arguments) const
{
    for (const Parameter &parameter : parameters)
        if (arguments.contains(parameter.name))
            if (std::optional<QString> refused = valueRefusal(parameter, arguments.value(parameter.name), arguments))
                return refused;
    return std::nullopt;
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
