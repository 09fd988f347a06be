#include "agent/AgentCLI.h"

#include "config/Destination.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Error.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

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
    writeFileAtomically(target, script.toUtf8());
    const QFileDevice::Permissions mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
        | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QFile file(target);
    if (!file.setPermissions(mode))
        throw Error(QStringLiteral("Could not make %1 executable: %2.").arg(target, file.errorString()));
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
