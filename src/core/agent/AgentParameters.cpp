#include "agent/AgentParameters.h"

#include "agent/AgentError.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <algorithm>

namespace vellmir {

namespace {

// A NUL ends the text where restic, ssh and the system read it: "*\0.tmp" would reach restic
// as "*" and exclude everything, "/src\0/etc" would back up /src.
bool holdsNul(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().contains(QChar(0));
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        return std::any_of(array.begin(), array.end(), [](const QJsonValue &element) { return holdsNul(element); });
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        return std::any_of(object.begin(), object.end(), [](const QJsonValue &element) { return holdsNul(element); });
    }
    return false;
}

} // namespace

AgentParameters::AgentParameters(QJsonObject values, const AgentCommand &command)
{
    QStringList unknown;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        if (!command.parameter(it.key()))
            unknown.append(it.key());
    if (!unknown.isEmpty()) {
        std::sort(unknown.begin(), unknown.end());
        throw AgentError::usage(
            command.name + QStringLiteral(" has no parameter \"") + unknown.first() + QStringLiteral("\"."));
    }
    // Presence only: an empty or mistyped value is the getters' to reject.
    for (const AgentCommand::Parameter &parameter : command.parameters)
        if (parameter.required && !values.contains(parameter.name))
            throw AgentError::usage(command.name + QStringLiteral(" needs ") + parameter.name + QStringLiteral("."));
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        if (holdsNul(it.value()))
            throw AgentError::usage(it.key() + QStringLiteral(" must not contain a NUL character."));
    m_values = std::move(values);
}

void AgentParameters::checkKinds(const AgentCommand &command) const
{
    for (const AgentCommand::Parameter &parameter : command.parameters) {
        switch (parameter.kind) {
        case AgentCommand::Parameter::Kind::string:
            string(parameter.name);
            break;
        case AgentCommand::Parameter::Kind::strings:
            strings(parameter.name);
            break;
        case AgentCommand::Parameter::Kind::integer:
            integer(parameter.name);
            break;
        case AgentCommand::Parameter::Kind::boolean:
            boolean(parameter.name);
            break;
        }
    }
}

std::optional<QString> AgentParameters::string(const QString &name) const
{
    if (!m_values.contains(name))
        return std::nullopt;
    const QJsonValue value = m_values.value(name);
    if (!value.isString())
        throw AgentError::usage(name + QStringLiteral(" must be text."));
    return value.toString();
}

QString AgentParameters::requiredString(const QString &name) const
{
    const std::optional<QString> value = string(name);
    if (!value || value->isEmpty())
        throw AgentError::usage(name + QStringLiteral(" must not be empty."));
    return *value;
}

QStringList AgentParameters::strings(const QString &name) const
{
    if (!m_values.contains(name))
        return {};
    const QJsonValue value = m_values.value(name);
    if (value.isString())
        return { value.toString() };
    if (!value.isArray())
        throw AgentError::usage(name + QStringLiteral(" must be a list of text."));
    QStringList list;
    for (const QJsonValue &element : value.toArray()) {
        if (!element.isString())
            throw AgentError::usage(name + QStringLiteral(" must be a list of text."));
        list.append(element.toString());
    }
    return list;
}

std::optional<qint64> AgentParameters::integer(const QString &name) const
{
    if (!m_values.contains(name))
        return std::nullopt;
    const QJsonValue value = m_values.value(name);
    if (value.isDouble()) {
        if (const std::optional<qint64> whole = json::toInt64(value))
            return whole;
    } else if (value.isString()) {
        // toLongLong alone would also take surrounding blanks; the pattern keeps to sign and digits.
        static const QRegularExpression decimal(QStringLiteral("\\A[+-]?[0-9]+\\z"));
        const QString text = value.toString();
        if (decimal.match(text).hasMatch()) {
            bool ok = false;
            const qint64 parsed = text.toLongLong(&ok, 10);
            if (ok)
                return parsed;
        }
    }
    throw AgentError::usage(name + QStringLiteral(" must be a whole number."));
}

std::optional<bool> AgentParameters::boolean(const QString &name) const
{
    if (!m_values.contains(name))
        return std::nullopt;
    const QJsonValue value = m_values.value(name);
    if (value.isBool())
        return value.toBool();
    if (value.isString()) {
        const QString text = value.toString().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("1"))
            return true;
        if (text == QLatin1String("false") || text == QLatin1String("no") || text == QLatin1String("0"))
            return false;
    }
    throw AgentError::usage(name + QStringLiteral(" must be true or false."));
}

} // namespace vellmir
