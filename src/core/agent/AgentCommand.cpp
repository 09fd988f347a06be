#include "agent/AgentCommand.h"

#include "agent/AgentControl.h"
#include "exclude/ExcludeMatcher.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cmath>

namespace vellmir {

namespace {

using namespace Qt::StringLiterals;
using Kind = AgentCommand::Parameter::Kind;
using Parameter = AgentCommand::Parameter;
using Tier = AgentCommand::Tier;

// The blanks QString::trimmed() takes away, which a pattern's \s would read differently from
// one engine to the next.
const QString blank = uR"(\u0009-\u000D\u0020\u0085\u00A0\u1680\u2000-\u200A\u2028\u2029\u202F\u205F\u3000)"_s;
const QString blanks = u'[' + blank + u"]*"_s;
const QString notBlank = u"[^"_s + blank + u']';
// The integers a JSON number holds exactly, which every client reads alike.
constexpr qint64 largestInteger = 9007199254740991;

// A parameter of the table; a required text must not be empty.
Parameter parameter(const QString &name, Kind kind, const char *help, bool isRequired = false)
{
    Parameter made;
    made.name = name;
    made.kind = kind;
    made.required = isRequired;
    made.help = QString::fromUtf8(help);
    made.minLength = isRequired && kind == Kind::string ? 1 : 0;
    return made;
}

Parameter required(const QString &name, const char *help)
{
    return parameter(name, Kind::string, help, true);
}

Parameter count(const QString &name, const char *help)
{
    Parameter made = parameter(name, Kind::integer, help);
    made.minimum = 0;
    return made;
}

// The rules that recur: each changes one rule of `parameter`.
Parameter matching(Parameter parameter, const QString &pattern, const QString &refusal)
{
    parameter.pattern = pattern;
    parameter.refusal = refusal;
    return parameter;
}

// What a handler reads when the parameter is absent; the help sentence names it before its full stop,
// followed by `meaning`.
Parameter withDefault(Parameter parameter, const QJsonValue &value, const QString &meaning = {})
{
    parameter.defaultValue = value;
    parameter.help = parameter.help.chopped(1) + u" (default "_s + value.toVariant().toString() + meaning + u")."_s;
    return parameter;
}

Parameter oneOf(Parameter parameter, const QStringList &choices)
{
    parameter.choices = choices;
    return parameter;
}

Parameter secret(const QString &name, const char *help, bool isRequired = false)
{
    Parameter made = parameter(name, Kind::string, help, isRequired);
    made.secret = true;
    made.characters = TextRules::Use::secret;
    return made;
}

// A name is shown on one line wherever it appears, and must not pass for another one.
Parameter name(Parameter parameter)
{
    parameter.maxLength = 256;
    parameter.characters = TextRules::Use::name;
    return parameter;
}

// A folder may be named by bytes that are not UTF-8.
Parameter fileName(Parameter parameter)
{
    parameter.characters = TextRules::Use::fileName;
    return parameter;
}

// "~", "~/..." or an absolute path, around blanks that are trimmed.
Parameter folders(Parameter parameter)
{
    return matching(fileName(parameter), u'^' + blanks + u"(~/|/|~"_s + blanks + u"$)"_s,
        parameter.name + u" must be an absolute path or start with ~."_s);
}

// An absolute path inside a snapshot. An empty or "." step and a closing "/" mean the folder
// they stand in, as tab completion writes it (AgentControl::snapshotPath drops them); ".." is
// refused rather than read: a folder of a snapshot may be a link, through which ".." leads
// elsewhere than the folder the text names. A name in a snapshot may hold any character, a line
// break too, and bytes that are not UTF-8 as --sources takes them.
Parameter snapshotPath(const char *help)
{
    Parameter made = matching(parameter(param::path, Kind::string, help), uR"(^/(?![\s\S]*/\.\.(/|$)))"_s,
        u"The path must be an absolute path inside the snapshot, such as /home/you/Documents, with no \"..\" "
        "step."_s);
    made.characters = TextRules::Use::path;
    return made;
}

// A value no destination can hold, refused as empty rather than looked for.
Parameter nonEmpty(Parameter parameter)
{
    parameter.minLength = 1;
    return parameter;
}

// A pattern restic cannot read would fail every later backup with "invalid pattern(s)"; one it
// reads but gives up on would back up what the others leave out. An empty one leaves out nothing.
Parameter excludePatterns(const QString &name, const char *help)
{
    Parameter made = parameter(name, Kind::strings, help);
    made.minLength = 1;
    made.rule = [](const QString &pattern) -> std::optional<QString> { return ExcludeMatcher::refusal(pattern); };
    return made;
}

// Far beyond any useful wait (100 years), and small enough that the deadline cannot overflow the
// clock: a longer one is refused with the range rather than cut short without a word.
Parameter waitSeconds()
{
    Parameter made = count(param::waitSeconds, "Wait up to this long for the result.");
    made.maximum = 100LL * 365 * 24 * 3600;
    return made;
}

Parameter repository()
{
    const auto prefixed = [](const QString &kind, const QString &prefix) {
        return Parameter::KindPattern { kind, u'^' + blanks + prefix,
            u"A repository of kind "_s + kind + u" must start with \""_s + prefix + u"\"."_s };
    };
    // restic takes a relative local path from whatever folder the process runs in, and "rclone:"
    // would start rclone with whatever options the address carries: only each kind's own backend.
    Parameter parameter = required(param::repository, "restic repository, e.g. b2:bucket:path.");
    parameter.patternByKind
        = { prefixed(u"backblazeB2"_s, u"b2:"_s), prefixed(u"s3"_s, u"s3:"_s), prefixed(u"sftp"_s, u"sftp:"_s),
              { u"local"_s, u'^' + blanks + u"(/|~/|local:/)"_s,
                  u"A local repository must be an absolute path or start with ~/."_s } };
    return parameter;
}

const Parameter destinationKey = required(param::destination, "Destination name, id, or unique id prefix.");
const Parameter snapshotKey = required(param::snapshot, "Snapshot id, short id, or \"latest\".");

Parameter schedule(const char *help)
{
    return oneOf(parameter(param::schedule, Kind::string, help), { u"manual"_s, u"hourly"_s, u"daily"_s });
}

// Whether `pattern` is found in `text`; QRegularExpression spells "\uXXXX" as "\x{XXXX}".
// No pattern is about lone surrogates, which PCRE would not read at all: they are looked at as
// a replacement character.
bool found(const QString &pattern, const QString &text)
{
    static const QRegularExpression escape(uR"(\\u([0-9A-Fa-f]{4}))"_s);
    QString subject = text;
    for (qsizetype i = 0; i < subject.size(); ++i) {
        if (subject.at(i).isHighSurrogate() && i + 1 < subject.size() && subject.at(i + 1).isLowSurrogate())
            ++i;
        else if (subject.at(i).isSurrogate())
            subject[i] = QChar::ReplacementCharacter;
    }
    return QRegularExpression(
        QString(pattern).replace(escape, uR"(\x{\1})"_s), QRegularExpression::UseUnicodePropertiesOption)
        .match(subject)
        .hasMatch();
}

// Why `codePoint`, which the parameter's characters refuse, is refused.
QString characterRefusal(const Parameter &parameter, char32_t codePoint)
{
    if (parameter.characters == TextRules::Use::secret
        || (parameter.characters == TextRules::Use::path && codePoint == 0))
        return parameter.name + u" must not contain a NUL character."_s;
    // On a command line, a byte that is not UTF-8 arrives as the lone surrogate standing for it.
    if (codePoint >= 0xDC80 && codePoint <= 0xDCFF)
        return parameter.name + u" is not valid UTF-8: it holds the byte "_s
            + TextRules::visible(QString(QChar(char16_t(codePoint)))) + u'.';
    if (QChar::isSurrogate(codePoint))
        return parameter.name + u" must not contain a lone surrogate ("_s + TextRules::codePointName(codePoint)
            + u"), which is no character."_s;
    if (QChar::isNonCharacter(codePoint))
        return parameter.name + u" must not contain the noncharacter "_s + TextRules::codePointName(codePoint) + u'.';
    if (TextRules::firstRefused(QString::fromUcs4(&codePoint, 1), TextRules::Use::text))
        return parameter.name
            + u" must not contain line breaks, control characters or bidirectional formatting characters."_s;
    return parameter.name + u" must not contain invisible or formatting characters, such as the "_s
        + TextRules::codePointName(codePoint) + u" it holds."_s;
}

std::optional<QString> textRefusal(const Parameter &parameter, const QJsonValue &value, const QJsonObject &arguments)
{
    if (!value.isString())
        return parameter.name + u" must be text."_s;
    const QString text = value.toString();
    if (const std::optional<char32_t> refused = TextRules::firstRefused(text, parameter.characters))
        return characterRefusal(parameter, *refused);
    const qsizetype length = text.toUcs4().size(); // as JSON Schema counts: in characters
    if (length < parameter.minLength)
        return parameter.name + u" must not be empty."_s;
    if (length > parameter.maxLength)
        return parameter.name + u" must be at most %1 characters long."_s.arg(parameter.maxLength);
    if (!parameter.choices.isEmpty() && !parameter.choices.contains(text))
        return parameter.name + u" must be one of "_s + parameter.choices.join(u", "_s) + u'.';
    if (!parameter.pattern.isEmpty() && !found(parameter.pattern, text))
        return parameter.refusal;
    // A repository's rule depends on the "kind" given beside it.
    const QString kind = arguments.value(param::kind).toString();
    for (const Parameter::KindPattern &rule : parameter.patternByKind)
        if (rule.kind == kind && !found(rule.pattern, text))
            return rule.refusal;
    if (parameter.rule)
        return parameter.rule(text);
    return std::nullopt;
}

std::optional<QString> listRefusal(const Parameter &parameter, const QJsonValue &value, const QJsonObject &arguments)
{
    const QString notList = parameter.name + u" must be a list of text."_s;
    if (!value.isArray())
        return notList;
    const QJsonArray list = value.toArray();
    if (list.size() > parameter.maxItems)
        return parameter.name + u" may hold at most %1 values."_s.arg(parameter.maxItems);
    QSet<QString> seen;
    for (const QJsonValue &item : list) {
        if (!item.isString())
            return notList;
        if (const std::optional<QString> refusal = textRefusal(parameter, item, arguments))
            return refusal;
        if (seen.contains(item.toString()))
            return parameter.name + u" must not hold the same value twice."_s;
        seen.insert(item.toString());
    }
    return std::nullopt;
}

std::optional<QString> valueRefusal(const Parameter &parameter, const QJsonValue &value, const QJsonObject &arguments)
{
    if (parameter.kind == Kind::string)
        return textRefusal(parameter, value, arguments);
    if (parameter.kind == Kind::strings)
        return listRefusal(parameter, value, arguments);
    if (parameter.kind == Kind::boolean)
        return value.isBool() ? std::nullopt : std::optional(parameter.name + u" must be true or false."_s);
    const std::optional<qint64> number = json::toInt64(value);
    const double asDouble = value.toDouble();
    if (!number && !(value.isDouble() && std::isfinite(asDouble) && asDouble == std::floor(asDouble)))
        return parameter.name + u" must be a whole number."_s;
    // A whole number too large for a JSON number to hold exactly is refused by its range.
    const qint64 maximum = parameter.maximum.value_or(largestInteger);
    if (!number || *number > maximum || (!parameter.minimum && *number < -largestInteger))
        return parameter.name
            + u" must be a whole number from %1 to %2."_s.arg(parameter.minimum.value_or(-largestInteger)).arg(maximum);
    if (parameter.minimum && *number < *parameter.minimum)
        return parameter.name
            + (*parameter.minimum == 0 ? u" must not be negative."_s
                                       : u" must be at least %1."_s.arg(*parameter.minimum));
    return std::nullopt;
}

QJsonObject textSchema(const Parameter &parameter)
{
    QJsonObject schema { { u"type"_s, u"string"_s }, { u"maxLength"_s, parameter.maxLength },
        { u"not"_s, QJsonObject { { u"pattern"_s, TextRules::characterClass(parameter.characters) } } } };
    if (parameter.minLength > 0)
        schema.insert(u"minLength"_s, parameter.minLength);
    if (!parameter.choices.isEmpty())
        schema.insert(u"enum"_s, QJsonArray::fromStringList(parameter.choices));
    if (!parameter.pattern.isEmpty())
        schema.insert(u"pattern"_s, parameter.pattern);
    return schema;
}

QJsonObject parameterSchema(const Parameter &parameter)
{
    QJsonObject schema { { u"type"_s, u"boolean"_s } };
    if (parameter.kind == Kind::string)
        schema = textSchema(parameter);
    else if (parameter.kind == Kind::strings)
        schema = { { u"type"_s, u"array"_s }, { u"items"_s, textSchema(parameter) },
            { u"maxItems"_s, parameter.maxItems }, { u"uniqueItems"_s, true } };
    else if (parameter.kind == Kind::integer)
        schema = { { u"type"_s, u"integer"_s }, { u"minimum"_s, parameter.minimum.value_or(-largestInteger) },
            { u"maximum"_s, parameter.maximum.value_or(largestInteger) } };
    schema.insert(u"description"_s, parameter.help);
    return schema;
}

// The schema's condition that holds a repository to the pattern of the kind given beside it.
QJsonObject kindCondition(const QString &parameterName, const Parameter::KindPattern &rule)
{
    const auto with = [](const QString &key, const QJsonValue &value) { return QJsonObject { { key, value } }; };
    return { { u"if"_s,
                 QJsonObject { { u"properties"_s, with(param::kind, with(u"const"_s, rule.kind)) },
                     { u"required"_s, QJsonArray { param::kind } } } },
        { u"then"_s,
            with(u"properties"_s,
                with(parameterName, QJsonObject { { u"type"_s, u"string"_s }, { u"pattern"_s, rule.pattern } })) } };
}

// The commands that read and the ones that run an operation, in the table's order.
QList<AgentCommand> readAndOperateCommands()
{
    return {
        { u"status"_s, Tier::read,
            u"Every destination with its schedule and latest result, plus the background agent and approval setting."_s,
            {}, [](auto &c, auto &, auto, auto) { return c.status(); } },
        { u"destination"_s, Tier::read,
            u"One destination's full configuration (never its credentials) and recent results."_s, { destinationKey },
            [](auto &c, auto &, auto d, auto) { return c.destinationDetail(*d); } },
        { u"history"_s, Tier::read, u"Recent backup runs for a destination, newest first."_s,
            { destinationKey, withDefault(count(param::limit, "Runs to return."), 10) },
            [](auto &c, auto &p, auto d, auto) { return c.historyRuns(*d, p); } },
        { u"snapshots"_s, Tier::read, u"Snapshots in a destination's repository, newest first."_s,
            { destinationKey, withDefault(count(param::limit, "Snapshots to return."), 20) },
            [](auto &c, auto &p, auto d, auto stop) { return c.snapshots(*d, p, stop); } },
        { u"browse"_s, Tier::read, u"List a folder inside a snapshot, or search it."_s,
            { destinationKey, snapshotKey, withDefault(snapshotPath("Absolute folder inside the snapshot."), u"/"_s),
                parameter(param::search, Kind::string, "Case-insensitive text to find anywhere below path.") },
            [](auto &c, auto &p, auto d, auto stop) { return c.browse(*d, p, stop); } },
        { u"audit"_s, Tier::read, u"Recent agent change requests and how each was decided."_s,
            { withDefault(count(param::limit, "Entries to return."), 20) },
            [](auto &c, auto &p, auto, auto) { return c.auditEntries(p); } },
        { u"backup"_s, Tier::operate, u"Back up a destination now. Runs in Vellmir's background agent."_s,
            { destinationKey, withDefault(waitSeconds(), 0, u": return once started"_s),
                parameter(param::inProcess, Kind::boolean, "Run in this process instead of the background agent.") },
            [](auto &c, auto &p, auto d, auto stop) { return c.backup(*d, p, stop); } },
        { u"backup-result"_s, Tier::read, u"The result of a backup started with the backup command."_s,
            { matching(required(param::request, "Request id the backup command returned."),
                u"^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"_s,
                u"request must be a request id."_s) },
            [](auto &c, auto &p, auto, auto) { return c.backupResult(p); } },
        { u"check"_s, Tier::operate, u"Check repository structure and a random 5% of its data."_s, { destinationKey },
            [](auto &c, auto &, auto d, auto stop) { return c.check(*d, stop); } },
        { u"retention-preview"_s, Tier::operate,
            u"Count the snapshots the retention policy would remove, changing nothing."_s, { destinationKey },
            [](auto &c, auto &, auto d, auto stop) { return c.retentionPreview(*d, stop); } },
    };
}

QList<AgentCommand> changeCommands()
{
    QStringList kinds;
    for (Destination::Kind kind : allKinds())
        kinds.append(toString(kind));
    return {
        { u"add-destination"_s, Tier::change, u"Add a destination."_s,
            { name(matching(required(param::name, "Display name."), notBlank, u"name must not be empty."_s)),
                oneOf(required(param::kind, "backblazeB2, s3, sftp, or local."), kinds), repository(),
                folders(parameter(param::sources, Kind::strings, "Folders to back up (absolute or ~).")),
                excludePatterns(param::excludes, "Exclude patterns, added to the defaults."),
                withDefault(schedule("manual, hourly, or daily."), u"manual"_s),
                matching(
                    secret(param::password, "Repository password.", true), notBlank, u"password must not be blank."_s),
                secret(u"b2AccountID"_s, "Backblaze key ID (backblazeB2)."),
                secret(u"b2AccountKey"_s, "Backblaze application key (backblazeB2)."),
                secret(u"awsAccessKeyID"_s, "Access key ID (s3)."),
                secret(u"awsSecretAccessKey"_s, "Secret access key (s3)."),
                parameter(param::initialize, Kind::boolean, "Create the repository if it does not exist yet.") },
            [](auto &c, auto &p, auto, auto stop) { return c.addDestination(p, stop); } },
        { u"update-destination"_s, Tier::change,
            u"Change a destination's name, folders, excludes, schedule, retention or conditions."_s,
            { destinationKey,
                name(matching(
                    parameter(param::name, Kind::string, "New display name."), notBlank, u"name must not be empty."_s)),
                folders(parameter(param::addSources, Kind::strings, "Folders to start backing up.")),
                nonEmpty(fileName(parameter(param::removeSources, Kind::strings, "Folders to stop backing up."))),
                excludePatterns(param::addExcludes, "Exclude patterns to add."),
                nonEmpty(parameter(param::removeExcludes, Kind::strings, "Exclude patterns to remove.")),
                schedule("manual, hourly, or daily."), count(param::keepDaily, "Daily snapshots to keep."),
                count(param::keepWeekly, "Weekly snapshots to keep."),
                count(param::keepMonthly, "Monthly snapshots to keep."),
                count(param::keepYearly, "Yearly snapshots to keep."),
                parameter(param::pruneAfterBackup, Kind::boolean, "Apply retention after each complete backup."),
                parameter(param::onlyOnAC, Kind::boolean, "Defer scheduled backups while on battery."),
                parameter(param::avoidMeteredNetworks, Kind::boolean,
                    "Defer scheduled backups on expensive or constrained networks."),
                count(param::uploadLimitKiB, "Upload limit in KiB/s; 0 for none.") },
            [](auto &c, auto &p, auto d, auto stop) { return c.updateDestination(*d, p, stop); } },
        { u"remove-destination"_s, Tier::change,
            u"Remove a destination and its stored credentials. Repository data is never deleted."_s, { destinationKey },
            [](auto &c, auto &, auto d, auto stop) { return c.removeDestination(*d, stop); } },
        { u"restore"_s, Tier::change,
            u"Restore a snapshot, or one path from it, into a new folder inside target. Never overwrites existing "
            "files."_s,
            { destinationKey, snapshotKey, folders(required(param::target, "Existing folder to restore into.")),
                snapshotPath("Absolute path inside the snapshot to restore (default: everything).") },
            [](auto &c, auto &p, auto d, auto stop) { return c.restore(*d, p, stop); } },
        { u"apply-retention"_s, Tier::change, u"Remove the snapshots the retention policy no longer keeps."_s,
            { destinationKey,
                withDefault(parameter(param::prune, Kind::boolean, "Also delete data no snapshot uses."), true) },
            [](auto &c, auto &p, auto d, auto stop) { return c.applyRetention(*d, p, stop); } },
    };
}

// The raw values of the enumerations, in their order.
const char *const tierNames[] = { "read", "operate", "change" };
const char *const kindNames[] = { "string", "strings", "integer", "boolean" };

} // namespace

const QList<AgentCommand> &AgentCommand::all()
{
    static const QList<AgentCommand> table = readAndOperateCommands() + changeCommands();
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

bool AgentCommand::takesSecrets() const
{
    return std::any_of(parameters.begin(), parameters.end(), [](const Parameter &p) { return p.secret; });
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
            conditions.append(kindCondition(parameter.name, rule));
    }
    QJsonObject schema { { u"type"_s, u"object"_s }, { u"properties"_s, properties }, { u"required"_s, requiredNames },
        { u"additionalProperties"_s, false } };
    if (!conditions.isEmpty())
        schema.insert(u"allOf"_s, conditions);
    return schema;
}

std::optional<QString> AgentCommand::refusal(const QJsonObject &arguments, const QString &only) const
{
    for (const Parameter &parameter : parameters)
        if (arguments.contains(parameter.name) && (only.isEmpty() || parameter.name == only))
            if (std::optional<QString> refused = valueRefusal(parameter, arguments.value(parameter.name), arguments))
                return refused;
    return std::nullopt;
}

QString toString(AgentCommand::Tier tier)
{
    return QString::fromLatin1(tierNames[int(tier)]);
}

QString toString(AgentCommand::Parameter::Kind kind)
{
    return QString::fromLatin1(kindNames[int(kind)]);
}

std::optional<AgentCommand::Tier> tierFromString(const QString &raw)
{
    for (int tier = 0; tier < int(std::size(tierNames)); ++tier)
        if (raw == QLatin1String(tierNames[tier]))
            return Tier(tier);
    return std::nullopt;
}

std::optional<AgentCommand::Parameter::Kind> parameterKindFromString(const QString &raw)
{
    for (int kind = 0; kind < int(std::size(kindNames)); ++kind)
        if (raw == QLatin1String(kindNames[kind]))
            return Kind(kind);
    return std::nullopt;
}

} // namespace vellmir
