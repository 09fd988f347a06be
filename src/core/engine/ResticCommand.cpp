#include "engine/ResticCommand.h"

namespace vellmir {

ResticCommand::ResticCommand(const QString &command, const QString &subcommand)
    : m_words { command }
{
    if (!subcommand.isEmpty())
        m_words.append(subcommand);
}

ResticCommand &ResticCommand::flag(const QString &name)
{
    m_options.append(name);
    return *this;
}

ResticCommand &ResticCommand::option(const QString &name, const QString &value)
{
    m_options.append(name);
    m_options.append(value);
    return *this;
}

ResticCommand &ResticCommand::options(const QStringList &arguments)
{
    m_options.append(arguments);
    return *this;
}

ResticCommand &ResticCommand::lockWait(const QStringList &arguments)
{
    m_lockWait = arguments;
    return *this;
}

ResticCommand ResticCommand::withoutLockWait() const
{
    ResticCommand copy = *this;
    copy.m_lockWait.clear();
    return copy;
}

ResticCommand &ResticCommand::positional(const QString &value)
{
    m_positionals.append(value);
    return *this;
}

ResticCommand &ResticCommand::positionals(const QStringList &values)
{
    m_positionals.append(values);
    return *this;
}

QStringList ResticCommand::arguments() const
{
    QStringList result = m_words;
    result.append(m_options);
    result.append(m_lockWait);
    if (!m_positionals.isEmpty()) {
        result.append(QStringLiteral("--"));
        result.append(m_positionals);
    }
    return result;
}

} // namespace vellmir
