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
#include <sys/stat.h>

using namespace vellmir;

class UtilFilesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void atomicWriteReplacesAndLeavesNoTemporary()
    {
        test::TestHome home;
        const QString path = home.path() + QStringLiteral("/deep/folder/file.json");
        // Private whatever the umask: the folders made on the way and the file.
        const mode_t umask = ::umask(022);
        writeFileAtomically(path, "first");
        writeFileAtomically(path, "second");
        ::umask(umask);
        QCOMPARE(*readFileIfExists(path), QByteArray("second"));
        const QStringList entries = QDir(home.path() + QStringLiteral("/deep/folder")).entryList(QDir::Files);
        QCOMPARE(entries, QStringList { QStringLiteral("file.json") });
        QVERIFY(!readFileIfExists(home.path() + QStringLiteral("/missing.json")));
        for (const QString &made :
            { home.path() + QStringLiteral("/deep"), home.path() + QStringLiteral("/deep/folder"), path }) {
            struct stat info { };
            QCOMPARE(::stat(made.toUtf8().constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, made == path ? 0600u : 0700u);
        }
    }

    // What may stand where a file of ours should be: it is read as unfit at once (never waited
    // on, never followed, never read whole), and a write replaces it, leaving any target alone.
    void ownFilesAreNeitherFollowedNorWaitedOn_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link to a user's file") << QStringLiteral("link");
        QTest::newRow("FIFO") << QStringLiteral("fifo");
        QTest::newRow("file beyond the bound") << QStringLiteral("large");
    }

    void ownFilesAreNeitherFollowedNorWaitedOn()
    {
        QFETCH(QString, kind);
        test::TestHome home;
        const QString path = home.path() + QStringLiteral("/f.json");
        const QString users = home.path() + QStringLiteral("/notes.txt");
        test::writeFile(users, "the user's own");
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(users, path));
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(path.toUtf8().constData(), 0600), 0);
        else
            test::writeFile(path, QByteArray(4097, 'x'));
        QVERIFY_THROWS_EXCEPTION(UnfitFileError, readFileIfExists(path, 4096));
        writeFileAtomically(path, "ours");
        QCOMPARE(*readFileIfExists(path, 4096), QByteArray("ours"));
        QCOMPARE(test::readFile(users), QByteArray("the user's own"));
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
