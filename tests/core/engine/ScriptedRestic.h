#pragma once

#include "TestSupport.h"
#include "engine/ResticEngine.h"

#include <QFile>
#include <QTemporaryDir>

namespace vellmir::test {

// The fake restic of tests/support, scripted through files in a private folder: "<cmd>.stdout",
// "<cmd>.stderr", "<cmd>.exit"; it records its arguments in "args".
class ScriptedRestic {
public:
    void set(const QString &name, const QByteArray &content) { writeFile(path(name), content); }
    QString path(const QString &name) const { return m_dir.path() + u'/' + name; }
    bool ran() const { return QFile::exists(path(QStringLiteral("args"))); }
    QStringList arguments() const
    {
        QStringList lines = QString::fromUtf8(readFile(path(QStringLiteral("args")))).split(u'\n');
        lines.removeLast();
        return lines;
    }

    ResticEngine engine() const
    {
        return ResticEngine(supportPath(QStringLiteral("fake-restic")), m_dir.path() + QStringLiteral("/locks"));
    }
    ResticEnvironment environment() const
    {
        return { { QStringLiteral("FAKE_RESTIC_DIR"), m_dir.path() },
            { QStringLiteral("RESTIC_REPOSITORY"), m_dir.path() + QStringLiteral("/repo") } };
    }

private:
    QTemporaryDir m_dir;
};

} // namespace vellmir::test
