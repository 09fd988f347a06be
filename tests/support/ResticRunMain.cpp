// vellmir-test-restic-run RESTIC LOCKS COMMAND: runs "restic COMMAND" through ResticEngine as the
// application does, with FAKE_RESTIC_DIR and RESTIC_REPOSITORY from its environment, in a process
// of its own that a test can end the way a crash or `kill -9` ends the application.
#include "engine/ResticEngine.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4)
        return 2;
    vellmir::ResticEnvironment environment;
    for (const char *name : { "FAKE_RESTIC_DIR", "RESTIC_REPOSITORY" })
        if (qEnvironmentVariableIsSet(name))
            environment.insert(QString::fromLatin1(name), qEnvironmentVariable(name));
    vellmir::ResticEngine(arguments.at(1), arguments.at(2)).run(vellmir::ResticCommand(arguments.at(3)), environment);
    return 0;
}
