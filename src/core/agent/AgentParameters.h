#pragma once

#include "agent/AgentCommand.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellmir {

// The arguments of one agent command, checked against the command's row of the table: no
// unknown names, every required name present. Values stay as the front end gave them (text,
// number, Boolean, list or null); each getter converts on every call and throws
// AgentError::usage naming the parameter when the value does not fit.
class AgentParameters {
public:
    // Throws AgentError::usage for the alphabetically first unknown key, then for the first
    // missing required parameter in table order, then for a value holding a NUL character.
    AgentParameters(QJsonObject values, const AgentCommand &command);

    const QJsonObject &values() const { return m_values; }

    // Reads every given value through the getter of its kind, so that a malformed value fails
    // before anything runs rather than after a backup was queued or restic started.
    void checkKinds(const AgentCommand &command) const;

    // A text, the empty text included; absent gives nullopt.
    std::optional<QString> string(const QString &name) const;
    // A non-empty text; absence fails too.
    QString requiredString(const QString &name) const;
    // A list of texts, or one text as a list of one; absent gives an empty list.
    QStringList strings(const QString &name) const;
    // A whole number: an integral JSON number or a decimal text with an optional sign, within 64 bits.
    std::optional<qint64> integer(const QString &name) const;
    // A Boolean, or the texts true/yes/1 and false/no/0 in any letter case.
    std::optional<bool> boolean(const QString &name) const;

private:
    QJsonObject m_values;
};

} // namespace vellmir
