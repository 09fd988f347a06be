#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QString>

namespace vellmir::test {

// Holds an exclusive flock on a file from another process (util-linux's flock(1)) until
// release() or destruction. The helper shell waits on its stdin; closing it ends the hold.
class LockHolder {
public:
    static bool available() { return !QStandardPaths::findExecutable(QStringLiteral("flock")).isEmpty(); }

    // Returns once the lock is held; false when flock(1) could not take it in time.
    bool hold(const QString &path)
    {
        m_process.setProgram(QStringLiteral("flock"));
        // -o: the shell does not inherit the lock descriptor, so killing flock frees the lock.
        m_process.setArguments({ QStringLiteral("-x"), QStringLiteral("-o"), path, QStringLiteral("sh"),
            QStringLiteral("-c"), QStringLiteral("echo ready; read x") });
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(10000))
                return false;
        }
        return m_process.readLine().trimmed() == "ready";
    }

    void release()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Ends the holder the way a crash would: SIGKILL, no unlock.
    void crash()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    ~LockHolder() { release(); }

private:
    QProcess m_process;
};

} // namespace vellmir::test
