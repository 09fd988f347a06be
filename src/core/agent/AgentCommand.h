#pragma once

#include "util/TextRules.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <stop_token>

namespace vellmir {

class AgentControl;
class AgentParameters;
struct Destination;

// The name of every parameter in the table. The table and its handlers both spell a name only
// through these, so a misspelt name fails to build instead of reading as absent.
namespace param {
inline const QString destination = QStringLiteral("destination"), snapshot = QStringLiteral("snapshot"),
                     limit = QStringLiteral("limit"), path = QStringLiteral("path"), search = QStringLiteral("search"),
                     waitSeconds = QStringLiteral("waitSeconds"), inProcess = QStringLiteral("inProcess"),
                     request = QStringLiteral("request"), name = QStringLiteral("name"), kind = QStringLiteral("kind"),
                     repository = QStringLiteral("repository"), sources = QStringLiteral("sources"),
                     excludes = QStringLiteral("excludes"), schedule = QStringLiteral("schedule"),
                     password = QStringLiteral("password"), initialize = QStringLiteral("initialize"),
                     addSources = QStringLiteral("addSources"), removeSources = QStringLiteral("removeSources"),
                     addExcludes = QStringLiteral("addExcludes"), removeExcludes = QStringLiteral("removeExcludes"),
                     keepDaily = QStringLiteral("keepDaily"), keepWeekly = QStringLiteral("keepWeekly"),
                     keepMonthly = QStringLiteral("keepMonthly"), keepYearly = QStringLiteral("keepYearly"),
                     pruneAfterBackup = QStringLiteral("pruneAfterBackup"), onlyOnAC = QStringLiteral("onlyOnAC"),
                     avoidMeteredNetworks = QStringLiteral("avoidMeteredNetworks"),
                     uploadLimitKiB = QStringLiteral("uploadLimitKiB"), target = QStringLiteral("target"),
                     prune = QStringLiteral("prune");
} // namespace param

// One operation an agent can ask for. The table of them is the single description that the
// command-line tool, the MCP server and the argument checks all read: each parameter's rule
// gives its help line, its JSON Schema and the check its values pass before anything runs.
struct AgentCommand {
    enum class Tier { read, operate, change };

    struct Parameter {
        enum class Kind { string, strings, integer, boolean };

        QString name;
        Kind kind = Kind::string;
        bool required = false;
        // One sentence; where a default exists it says so.
        QString help;
        // What the getters of AgentParameters give when the parameter is absent; undefined for none.
        QJsonValue defaultValue = QJsonValue::Undefined;

        // What a value must be. Texts are bounded, hold no character `characters` refuses, and
        // match `choices` or `pattern` when given; lists hold no text twice.
        QStringList choices;
        TextRules::Use characters = TextRules::Use::text;
        // A regular expression in the common subset of ECMAScript and PCRE, searched for in the
        // text (anchor it with ^); `refusal` is the sentence for a text that does not match.
        QString pattern;
        QString refusal;
        // For a repository: the pattern, and its refusal, when the "kind" argument has a value.
        struct KindPattern {
            QString kind;
            QString pattern;
            QString refusal;
            friend bool operator==(const KindPattern &, const KindPattern &) = default;
        };
        QList<KindPattern> patternByKind;
        // A rule of the system's own that each text must pass as well, beyond what a schema
        // says: the sentence refusing `text`, or nullopt.
        std::optional<QString> (*rule)(const QString &text) = nullptr;
        qsizetype minLength = 0;
        qsizetype maxLength = 4096; // characters of a text
        qsizetype maxItems = 1000; // texts of a list
        // Credentials reach restic, never a screen: only NUL is refused in them (their
        // `characters` say so), and the command line takes them from JSON only, never as flags.
        bool secret = false;
        // Integers: the smallest and the largest value taken (by default what a JSON number
        // holds exactly).
        std::optional<qint64> minimum;
        std::optional<qint64> maximum;

        friend bool operator==(const Parameter &, const Parameter &) = default;
    };

    // Runs the command once its arguments passed the checks. `destination` is the one the
    // "destination" argument named, for commands that have one.
    using Handler = QJsonObject (*)(
        AgentControl &control, const AgentParameters &parameters, const Destination *destination, std::stop_token);

    QString name;
    Tier tier = Tier::read;
    QString summary;
    QList<Parameter> parameters; // in the order front ends show them
    Handler handler = nullptr;

    // The fifteen commands in their fixed order, built once.
    static const QList<AgentCommand> &all();
    // The first command whose name equals `name` exactly (case-sensitive, untrimmed).
    static const AgentCommand *named(const QString &name);

    // The parameter of that exact name, or nullptr.
    const Parameter *parameter(const QString &parameterName) const;
    // Whether any parameter is a secret: each front end then says how its callers pass them.
    bool takesSecrets() const;

    // The JSON Schema (Draft 2020-12) of the command's arguments, from the parameters' rules.
    QJsonObject inputSchema() const;
    // The sentence refusing the first given value that breaks its rule, in table order, or
    // nullopt when every value fits; with `only`, that parameter's value alone is looked at.
    std::optional<QString> refusal(const QJsonObject &arguments, const QString &only = {}) const;

    friend bool operator==(const AgentCommand &, const AgentCommand &) = default;
};

QString toString(AgentCommand::Tier tier);
QString toString(AgentCommand::Parameter::Kind kind);
std::optional<AgentCommand::Tier> tierFromString(const QString &raw);
std::optional<AgentCommand::Parameter::Kind> parameterKindFromString(const QString &raw);

} // namespace vellmir
