#pragma once

#include "agent/AgentCommand.h"
#include "agent/AgentError.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellmir {

// The arguments of one agent command, checked against the command's row of the table: no
// unknown names, every required name present, and (by check()) every value within its rule.
// Values keep their JSON types; a getter throws AgentError::usage naming the parameter when the
// value is not of its kind, gives the table's default for an absent one, and throws
// std::logic_error for a name the command does not have.
class AgentParameters {
public:
    // Throws AgentError::usage for the alphabetically first unknown key, then for the first
    // missing required parameter in table order. `command` must outlive the parameters.
    AgentParameters(QJsonObject values, const AgentCommand &command);

    const QJsonObject &values() const { return m_values; }

    // Throws AgentError::usage with the table's refusal of the first value that breaks its
    // rule, so that nothing runs, is queued or is shown for approval with a malformed value.
    void check(const AgentCommand &command) const;

    // The refusal of a parameter given twice, naming both values: taking either would act on
    // something the caller may not have meant. `flag`: named as the command line spells it
    // ("--name"). A secret's values are never written out, nor those of a name the command
    // lacks, which may be a misspelt secret.
    static AgentError givenTwice(const AgentCommand &command, const QString &name, const QJsonValue &first,
        const QJsonValue &second, bool flag = true);

    // A switch turned on as advice names it for either front end: "Give initialize true
    // (--initialize on the command line)".
    static QString switchedOn(const QString &name);

    // Texts typed on a command line as values of their parameters' kinds: a number as JSON
    // writes it with an optional sign, true/yes/1 and false/no/0 in any letter case, and one
    // text where a list belongs as a list of one. Anything else stays as it is for check() to refuse.
    static QJsonObject typed(const AgentCommand &command, QJsonObject arguments);

    // A text, the empty text included; absent with no default gives nullopt.
    std::optional<QString> string(const QString &name) const;
    // A non-empty text; absence fails too.
    QString requiredString(const QString &name) const;
    // A list of texts; absent gives an empty list.
    QStringList strings(const QString &name) const;
    // A whole number: an integral JSON number within 64 bits.
    std::optional<qint64> integer(const QString &name) const;
    // A JSON Boolean.
    std::optional<bool> boolean(const QString &name) const;

private:
    QJsonValue value(const QString &name) const;

    QJsonObject m_values;
    const AgentCommand *m_command;
};

} // namespace vellmir
