#include "agent/AgentParameters.h"

#include "agent/AgentError.h"
#include "util/Json.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <algorithm>
#include <stdexcept>

namespace vellmir {

AgentParameters::AgentParameters(QJsonObject values, const AgentCommand &command)
    : m_command(&command)
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
    m_values = std::move(values);
}

void AgentParameters::check(const AgentCommand &command) const
{
    if (const std::optional<QString> refusal = command.refusal(m_values))
        throw AgentError::usage(*refusal);
}

namespace {

// A value as a refusal names it: a text between quotes, anything else as JSON, with nothing in
// it that hides or reorders the sentence.
QString shownValue(const QJsonValue &value)
{
    if (value.isString())
        return u'"' + TextRules::visible(value.toString()) + u'"';
    try {
        return TextRules::visible(QString::fromUtf8(json::compact(value)));
    } catch (const std::exception &) {
        return QStringLiteral("a number");
    }
}

} // namespace

AgentError AgentParameters::givenTwice(
    const AgentCommand &command, const QString &name, const QJsonValue &first, const QJsonValue &second, bool flag)
{
    const AgentCommand::Parameter *parameter = command.parameter(name);
    const bool list = parameter && parameter->kind == AgentCommand::Parameter::Kind::strings;
    const QString message = (flag ? QStringLiteral("--") : QString()) + name
        + (list ? QStringLiteral(" takes one list") : QStringLiteral(" takes one value"));
    if (!parameter || parameter->secret)
        return AgentError::usage(message + QStringLiteral(", but was given two."));
    return AgentError::usage(message + QStringLiteral(", but was given ") + shownValue(first) + QStringLiteral(" and ")
        + shownValue(second) + u'.');
}

QString AgentParameters::switchedOn(const QString &name)
{
    return QStringLiteral("Give %1 true (--%1 on the command line)").arg(name);
}

QJsonObject AgentParameters::typed(const AgentCommand &command, QJsonObject arguments)
{
    using Kind = AgentCommand::Parameter::Kind;
    // A number as JSON writes it, with the sign a command line may add: "+5", "1e3" and "3.0" are
    // 5, 1000 and 3, and the one integer rule of every number, an MCP call's too, then applies.
    // (toLongLong alone would also take surrounding blanks.)
    static const QRegularExpression decimal(QStringLiteral("\\A[+-]?[0-9]+(\\.[0-9]+)?([eE][+-]?[0-9]+)?\\z"));
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        const AgentCommand::Parameter *parameter = command.parameter(it.key());
        if (!parameter || !it.value().isString())
            continue;
        const QString text = it.value().toString();
        const QString word = text.toLower();
        bool ok = false;
        const qint64 number = text.toLongLong(&ok, 10);
        bool finite = ok;
        const double real = ok ? 0 : text.toDouble(&finite);
        if (parameter->kind == Kind::strings)
            it.value() = QJsonArray { text };
        // Beyond 64 bits: refused by range. Beyond a double ("1e-400" is no 0): left as text,
        // as JSON refuses it.
        else if (parameter->kind == Kind::integer && finite && decimal.match(text).hasMatch())
            it.value() = ok ? QJsonValue(number) : QJsonValue(real);
        else if (parameter->kind == Kind::boolean && (word == u"true" || word == u"yes" || word == u"1"))
            it.value() = true;
        else if (parameter->kind == Kind::boolean && (word == u"false" || word == u"no" || word == u"0"))
            it.value() = false;
    }
    return arguments;
}

QJsonValue AgentParameters::value(const QString &name) const
{
    const AgentCommand::Parameter *parameter = m_command->parameter(name);
    if (!parameter)
        throw std::logic_error("The handler of " + m_command->name.toStdString() + " reads a parameter it lacks.");
    return m_values.contains(name) ? m_values.value(name) : parameter->defaultValue;
}

std::optional<QString> AgentParameters::string(const QString &name) const
{
    const QJsonValue value = this->value(name);
    if (value.isUndefined())
        return std::nullopt;
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
    const QJsonValue value = this->value(name);
    if (value.isUndefined())
        return {};
    QStringList list;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array) {
        if (!element.isString())
            break;
        list.append(element.toString());
    }
    if (!value.isArray() || list.size() != array.size())
        throw AgentError::usage(name + QStringLiteral(" must be a list of text."));
    return list;
}

std::optional<qint64> AgentParameters::integer(const QString &name) const
{
    const QJsonValue value = this->value(name);
    if (value.isUndefined())
        return std::nullopt;
    if (const std::optional<qint64> whole = json::toInt64(value))
        return whole;
    throw AgentError::usage(name + QStringLiteral(" must be a whole number."));
}

std::optional<bool> AgentParameters::boolean(const QString &name) const
{
    const QJsonValue value = this->value(name);
    if (value.isUndefined())
        return std::nullopt;
    if (!value.isBool())
        throw AgentError::usage(name + QStringLiteral(" must be true or false."));
    return value.toBool();
}

} // namespace vellmir
