#include "TestSupport.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/UserDefaults.h"
#include "util/Uuid.h"

#include <QDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

using namespace vellmir;

class UtilFilesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void atomicWriteReplacesAndLeavesNoTemporary()
    {
        test::TestHome home;
        const QString path = home.path() + QStringLiteral("/deep/folder/file.json");
        writeFileAtomically(path, "first");
        writeFileAtomically(path, "second");
        QCOMPARE(*readFileIfExists(path), QByteArray("second"));
        const QStringList entries = QDir(home.path() + QStringLiteral("/deep/folder")).entryList(QDir::Files);
        QCOMPARE(entries, QStringList { QStringLiteral("file.json") });
        QVERIFY(!readFileIfExists(home.path() + QStringLiteral("/missing.json")));
    }

    void atomicWriteFailureKeepsTheOldFile()
    {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        test::TestHome home;
        const QString dir = home.path() + QStringLiteral("/ro");
        writeFileAtomically(dir + QStringLiteral("/f.json"), "old");
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QVERIFY_THROWS_EXCEPTION(Error, writeFileAtomically(dir + QStringLiteral("/f.json"), "new"));
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(*readFileIfExists(dir + QStringLiteral("/f.json")), QByteArray("old"));
    }

    // A write cut short (a full disk; here the file size limit) says the system's reason, which
    // Qt leaves as "Unknown error", and keeps the old file.
    void atomicWriteCutShortSaysWhy()
    {
        test::TestHome home;
        const QString path = home.path() + QStringLiteral("/f.json");
        writeFileAtomically(path, "old");
        rlimit before {};
        ::getrlimit(RLIMIT_FSIZE, &before);
        rlimit limited = before;
        limited.rlim_cur = 32768;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limited);
        QString message;
        try {
            writeFileAtomically(path, QByteArray(100000, 'x'));
        } catch (const Error &error) {
            message = error.message();
        }
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, previous);
        QCOMPARE(
            message, QStringLiteral("Could not write f.json: ") + QString::fromLocal8Bit(std::strerror(EFBIG)) + u'.');
        QCOMPARE(*readFileIfExists(path), QByteArray("old"));
    }

    void atomicWriteIntoAFileInsteadOfAFolderFails()
    {
        test::TestHome home;
        test::writeFile(home.path() + QStringLiteral("/plain"), "x");
        QVERIFY_THROWS_EXCEPTION(Error, writeFileAtomically(home.path() + QStringLiteral("/plain/f.json"), "y"));
    }

    void pathsFollowTheEnvironment()
    {
        test::TestHome home;
        QCOMPARE(AppPaths::dataDirectory(), home.dataDirectory());
        QCOMPARE(AppPaths::homeDirectory(), home.path());
        qputenv("XDG_DATA_HOME", "relative/ignored");
        QCOMPARE(AppPaths::dataDirectory(), home.path() + QStringLiteral("/.local/share/Vellmir"));
    }

    void userDefaultsAreSharedThroughTheFile()
    {
        test::TestHome home;
        UserDefaults writer;
        UserDefaults reader;
        QVERIFY(!reader.contains(UserDefaults::showInDock));
        QCOMPARE(reader.boolValue(UserDefaults::showInDock, true), true);
        writer.setValue(UserDefaults::showInDock, false);
        writer.setValue(UserDefaults::schedulerRegisteredBuild, 12);
        reader.sync();
        QCOMPARE(reader.boolValue(UserDefaults::showInDock, true), false);
        QCOMPARE(reader.integerValue(UserDefaults::schedulerRegisteredBuild), qint64(12));
        writer.remove(UserDefaults::showInDock);
        reader.sync();
        QVERIFY(!reader.contains(UserDefaults::showInDock));
        QVERIFY(QFile::exists(home.path() + QStringLiteral("/.config/Vellmir/Vellmir.conf")));
    }

    void uuidTextIsUpperCaseAndParsesEitherCase()
    {
        const QUuid uuid = newUuid();
        const QString text = uuidText(uuid);
        QCOMPARE(text.size(), 36);
        QCOMPARE(text, text.toUpper());
        QCOMPARE(parseUuid(text.toLower()), uuid);
        QVERIFY(!parseUuid(QStringLiteral("{") + text + QStringLiteral("}")));
        QVERIFY(!parseUuid(QStringLiteral("xyz")));
    }
};

QTEST_GUILESS_MAIN(UtilFilesTest)
#include "UtilFilesTest.moc"
