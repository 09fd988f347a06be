#include "engine/MachineIdentity.h"

#include <QSysInfo>
#include <QtTest>

#include <unistd.h>

using namespace vellmir;

using OptionalName = std::optional<QByteArray>;
Q_DECLARE_METATYPE(OptionalName)

class MachineIdentityTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void names_data()
    {
        QTest::addColumn<OptionalName>("systemName");
        QTest::addColumn<QString>("networkName");
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QStringList>("known");
        const auto name = [](const char *text) { return OptionalName(QByteArray(text)); };
        QTest::newRow("local suffix") << name("studio.local") << "studio.local"
                                      << "studio" << QStringList { "studio", "studio.local" };
        QTest::newRow("short name") << name("studio") << "studio"
                                    << "studio" << QStringList { "studio" };
        QTest::newRow("gethostname fails") << OptionalName() << "studio.example.org"
                                           << "studio.example.org" << QStringList { "studio.example.org" };
        QTest::newRow("leading dot") << name(".local") << "box"
                                     << "local" << QStringList { "local", "box" };
        QTest::newRow("only the first split") << name("a..b.c") << "a.b.c"
                                              << "a" << QStringList { "a", "a.b.c" };
        QTest::newRow("dots only kept") << name("...") << "box"
                                        << "..." << QStringList { "...", "box" };
        QTest::newRow("empty name") << name("") << "box.lan"
                                    << "box.lan" << QStringList { "box.lan" };
        QTest::newRow("case differs") << name("Studio") << "studio"
                                      << "Studio" << QStringList { "Studio", "studio" };
        QTest::newRow("utf-8") << name("caf\xc3\xa9.lan") << "caf\u00e9"
                               << "caf\u00e9" << QStringList { "caf\u00e9" };
    }

    void names()
    {
        QFETCH(OptionalName, systemName);
        QFETCH(QString, networkName);
        QFETCH(QString, hostname);
        QFETCH(QStringList, known);
        const QString shortName = MachineIdentity::shortHostname(systemName, networkName);
        QCOMPARE(shortName, hostname);
        QCOMPARE(MachineIdentity::knownHostnames(shortName, networkName), known);
    }

    void thisMachine()
    {
        char buffer[257] = {};
        QCOMPARE(::gethostname(buffer, sizeof buffer), 0);
        const QString expected = MachineIdentity::shortHostname(QByteArray(buffer), QSysInfo::machineHostName());
        QCOMPARE(MachineIdentity::hostname(), expected);
        QVERIFY(!expected.isEmpty());
        QVERIFY(!expected.contains(u'.'));
        const QStringList known = MachineIdentity::knownHostnames();
        QCOMPARE(known.first(), expected);
        QVERIFY(known.size() == 1 || (known.size() == 2 && known[1] == QSysInfo::machineHostName()));
    }
};

QTEST_GUILESS_MAIN(MachineIdentityTest)
#include "MachineIdentityTest.moc"
