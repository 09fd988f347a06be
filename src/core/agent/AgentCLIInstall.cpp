#include "agent/AgentCLI.h"

#include "config/Destination.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Error.h"

#include <QCoreApplication>
#include <QDir>

namespace vellmir::AgentCLI {

QString installCommand(const QString &executable, const QString &directory)
{
    ensureDirectory(directory);
    const QString target = QDir(directory).filePath(QStringLiteral("vellmir"));
    // Single quotes keep every character literal; a quote inside closes, escapes and reopens.
    QString quoted = executable;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    quoted = QLatin1Char('\'') + quoted + QLatin1Char('\'');
    const QString script = QStringLiteral("#!/bin/sh\nexec ") + quoted + QStringLiteral(" cli \"$@\"\n");
    // A command on the PATH, readable and runnable by all: it holds no secret, only where the program is.
    writeFileAtomically(target, script.toUtf8(), 0755);
    return target;
}

QString installForCurrentUser()
{
    const QString executable = QCoreApplication::applicationFilePath();
    const QString directory = AppPaths::homeDirectory() + QStringLiteral("/.local/bin");
    try {
        const QString path = installCommand(executable, directory);
        return QStringLiteral("Installed ") + Destination::tildeForm(path) + QLatin1Char('.');
    } catch (const std::exception &error) {
        return QStringLiteral("Install failed: ") + errorDescription(error);
    }
}

} // namespace vellmir::AgentCLI
