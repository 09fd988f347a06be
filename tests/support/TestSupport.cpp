#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

namespace vellmir::test {

namespace {
const char *const variables[4] = { "HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME" };
}

TestHome::TestHome()
{
    if (!m_dir.isValid())
        throw std::runtime_error("could not create a temporary home");
    const QString home = m_dir.path();
    const QString values[4] = { home, home + QStringLiteral("/.local/share"), home + QStringLiteral("/.config"),
        home + QStringLiteral("/.cache") };
    for (int i = 0; i < 4; ++i) {
        m_had[i] = qEnvironmentVariableIsSet(variables[i]);
        m_saved[i] = qgetenv(variables[i]);
        QDir().mkpath(values[i]);
        qputenv(variables[i], values[i].toUtf8());
    }
}

TestHome::~TestHome()
{
    for (int i = 0; i < 4; ++i) {
        if (m_had[i])
            qputenv(variables[i], m_saved[i]);
        else
            qunsetenv(variables[i]);
    }
}

QString TestHome::dataDirectory() const
{
    return m_dir.path() + QStringLiteral("/.local/share/Vellmir");
}

QString dataPath(const QString &relative)
{
    return QStringLiteral(VELLMIR_TEST_DATA_DIR "/") + relative;
}

QByteArray readData(const QString &relative)
{
    return readFile(dataPath(relative));
}

QString supportPath(const QString &relative)
{
    return QStringLiteral(VELLMIR_TEST_SUPPORT_DIR "/") + relative;
}

QString buildPath(const QString &relative)
{
    return QStringLiteral(VELLMIR_BUILD_DIR "/") + relative;
}

QString screenshotPath(const QString &name)
{
    return buildPath(QStringLiteral("screenshots/") + name + QStringLiteral(".png"));
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        throw std::runtime_error("could not write test file " + path.toStdString());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("could not read test file " + path.toStdString());
    return file.readAll();
}

} // namespace vellmir::test
