#pragma once

#include <QProcess>

namespace vellmir::test {

// How a run of the built executable ended; exitCode is -1 when it did not start, hung or crashed.
struct Finished {
    int exitCode = -1;
    QByteArray stdout;
    QByteArray stderr;
};

// Runs the built executable in its command-line mode with `input` as its standard input.
inline Finished runCli(const QStringList &arguments, const QByteArray &input = {},
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VELLMIR_APP), QStringList { QStringLiteral("cli") } + arguments);
    if (!process.waitForStarted(10000))
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
        process.readAllStandardError() };
}

} // namespace vellmir::test
