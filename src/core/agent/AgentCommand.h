#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace vellmir {

// One operation an agent can ask for. The table of them is the single description that the
// command-line tool, the MCP server and the argument checks all read; it has no behaviour.
struct AgentCommand {
    enum class Tier { read, operate, change };

    struct Parameter {
        enum class Kind { string, strings, integer, boolean };

        QString name;
        Kind kind = Kind::string;
        bool required = false;
        // One sentence; where a default exists it says so, and the handler applies it.
        QString help;

        friend bool operator==(const Parameter &, const Parameter &) = default;
    };

    QString name;
    Tier tier = Tier::read;
    QString summary;
    QList<Parameter> parameters; // in the order front ends show them

    // The fifteen commands in their fixed order, built once.
    static const QList<AgentCommand> &all();
    // The first command whose name equals `name` exactly (case-sensitive, untrimmed).
    static const AgentCommand *named(const QString &name);

    // The parameter of that exact name, or nullptr.
    const Parameter *parameter(const QString &parameterName) const;

    friend bool operator==(const AgentCommand &, const AgentCommand &) = default;
};

QString toString(AgentCommand::Tier tier);
QString toString(AgentCommand::Parameter::Kind kind);
std::optional<AgentCommand::Tier> tierFromString(const QString &raw);
std::optional<AgentCommand::Parameter::Kind> parameterKindFromString(const QString &raw);

} // namespace vellmir
