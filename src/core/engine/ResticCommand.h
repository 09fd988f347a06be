#pragma once

#include <QStringList>

namespace vellmir {

// One restic command line (without the program name). Options come first; positional
// arguments, which usually come from data (paths, snapshot ids, sources), always follow a
// "--", so a value such as "--password-file=x" can never be read as an option.
//
//     ResticCommand("restore").positional(snapshotId).option("--target", folder).flag("--verify")
//         -> restore --target <folder> --verify -- <snapshotId>
class ResticCommand {
public:
    // `command` is restic's command ("backup"); `subcommand` a second command word when the
    // command has them ("key", "list").
    explicit ResticCommand(const QString &command, const QString &subcommand = {});

    // A flag without a value, such as "--json".
    ResticCommand &flag(const QString &name);
    // An option followed by its value as a separate argument ("--host", name). restic takes
    // the argument after a value-taking option as its value even when it starts with "-".
    ResticCommand &option(const QString &name, const QString &value);
    // Several options at once, for prepared lists such as ResticEngine::lockRetry() or
    // exclude and keep arguments: each value directly follows its option.
    ResticCommand &options(const QStringList &arguments);
    // How long restic may wait for a lock that someone else holds on the repository, such as
    // ResticEngine::lockRetry(); placed after the other options. The engine's first attempt
    // leaves them out (see ResticEngine::stream).
    ResticCommand &lockWait(const QStringList &arguments);
    ResticCommand withoutLockWait() const;
    // Positional arguments, kept in order after the "--".
    ResticCommand &positional(const QString &value);
    ResticCommand &positionals(const QStringList &values);

    // Command words, options, then "--" and the positionals when there are any.
    QStringList arguments() const;
    const QString &command() const { return m_words.first(); }
    const QStringList &positionalArguments() const { return m_positionals; }

private:
    QStringList m_words;
    QStringList m_options;
    QStringList m_lockWait;
    QStringList m_positionals;
};

} // namespace vellmir
