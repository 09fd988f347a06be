#include "agent/AgentCLI.h"
#include "TestSupport.h"
#include "util/Error.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>
#include <sys/stat.h>

using namespace vellmir;

class AgentCLITest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void installWritesQuotedTwoLineScript_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << QStringLiteral("bin") << QStringLiteral("'%1/bin/app'");
        QTest::newRow("spaces") << QStringLiteral("my apps") << QStringLiteral("'%1/my apps/app'");
        QTest::newRow("apostrophe") << QStringLiteral("Jo's apps") << QStringLiteral("'%1/Jo'\\''s apps/app'");
    }

    void installWritesQuotedTwoLineScript()
    {
        QFETCH(QString, folder);
        QFETCH(QString, quoted);
        test::TestHome home;
        // A stand-in executable that echoes its arguments one per line.
        const QString executable = home.path() + QLatin1Char('/') + folder + QStringLiteral("/app");
        test::writeFile(executable, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done\n");
        QFile::setPermissions(executable, QFile::permissions(executable) | QFileDevice::ExeOwner);

        const QString directory = home.path() + QStringLiteral("/.local/bin");
        const QString path = AgentCLI::installCommand(executable, directory);
        QCOMPARE(path, directory + QStringLiteral("/vellmir"));
        const QString expected
            = QStringLiteral("#!/bin/sh\nexec ") + quoted.arg(home.path()) + QStringLiteral(" cli \"$@\"\n");
        QCOMPARE(QString::fromUtf8(test::readFile(path)), expected);

        QProcess process;
        process.start(
            path, { QStringLiteral("a b"), QStringLiteral("it's"), QStringLiteral("\"q\" $HOME"), QString() });
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), QStringLiteral("cli\na b\nit's\n\"q\" $HOME\n\n"));
    }

    void installSetsModeAndReplaces()
    {
        test::TestHome home;
        // Neither the folder nor its parent exists yet.
        const QString directory = home.path() + QStringLiteral("/other/.local/bin");
        const mode_t previous = ::umask(077);
        const QString first = AgentCLI::installCommand(QStringLiteral("/old/app"), directory);
        ::chmod(first.toLocal8Bit().constData(), 0600);
        const QString second = AgentCLI::installCommand(QStringLiteral("/new/app"), directory);
        ::umask(previous);
        QCOMPARE(second, first);
        QVERIFY(test::readFile(second).contains("'/new/app'"));
        struct stat info { };
        QCOMPARE(::stat(second.toLocal8Bit().constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0755));
        QCOMPARE(QDir(directory).entryList(QDir::Files | QDir::Hidden), QStringList { QStringLiteral("vellmir") });
    }

    void installFailsWhenFolderIsAFile()
    {
        test::TestHome home;
        const QString blocker = home.path() + QStringLiteral("/blocker");
        test::writeFile(blocker, "not a folder");
        QVERIFY_THROWS_EXCEPTION(
            Error, AgentCLI::installCommand(QStringLiteral("/app"), blocker + QStringLiteral("/bin")));
    }

    void installForCurrentUserReportsTildePath()
    {
        test::TestHome home;
        QCOMPARE(AgentCLI::installForCurrentUser(), QStringLiteral("Installed ~/.local/bin/vellmir."));
        // A folder where the script should go cannot be replaced by a file.
        const QString target = home.path() + QStringLiteral("/.local/bin/vellmir");
        QVERIFY(QFile::remove(target));
        QVERIFY(QDir().mkpath(target + QStringLiteral("/inside")));
        QVERIFY(AgentCLI::installForCurrentUser().startsWith(QStringLiteral("Install failed: ")));
    }
};

QTEST_GUILESS_MAIN(AgentCLITest)
#include "AgentCLITest.moc"
