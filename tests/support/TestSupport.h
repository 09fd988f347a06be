#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace vellmir::test {

// A private, empty home for one test: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and
// XDG_CACHE_HOME point inside a temporary folder until the object goes away.
class TestHome {
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome &) = delete;
    TestHome &operator=(const TestHome &) = delete;

    QString path() const { return m_dir.path(); }
    QString dataDirectory() const; // $XDG_DATA_HOME/Vellmir

private:
    QTemporaryDir m_dir;
    QByteArray m_saved[4];
    bool m_had[4] {};
};

QString dataPath(const QString &relative); // tests/data/<relative>
QByteArray readData(const QString &relative);
QString supportPath(const QString &relative); // tests/support/<relative>
QString buildPath(const QString &relative); // <build>/<relative>
QString screenshotPath(const QString &name); // <build>/screenshots/<name>.png

// One row of a data table, its values in the order of the columns.
template <typename... Values> void dataRow(const char *name, const Values &...values)
{
    (QTest::newRow(name) << ... << values);
}

void writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

} // namespace vellmir::test
