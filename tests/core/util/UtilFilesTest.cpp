#include "../exclude/ExcludeTree.h"
#include "TestSupport.h"
#include "config/UserDefaults.h"
#include "util/AppPaths.h"
#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/ShutdownSignals.h"
#include "util/Uuid.h"

#include <QDir>
#include <QSettings>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // The settings file is ours too, whatever class reads and writes it.
    void ownFilesAreNeitherFollowedNorWaitedOn_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("settings");
        test::dataRow("link to a user's file", QStringLiteral("link"), false);
        test::dataRow("FIFO", QStringLiteral("fifo"), false);
        test::dataRow("file beyond the bound", QStringLiteral("large"), false);
        test::dataRow("a cache's spare: link to a user's file", QStringLiteral("spare link"), false);
        test::dataRow("a cache's spare: another name of a user's file", QStringLiteral("spare hard link"), false);
        test::dataRow("a cache's spare: longer than what is written over it", QStringLiteral("spare longer"), false);
        test::dataRow("settings: link to a user's file", QStringLiteral("link"), true);
        test::dataRow("settings: FIFO", QStringLiteral("fifo"), true);
        test::dataRow("settings: file beyond the bound", QStringLiteral("large"), true);
    }

    void ownFilesAreNeitherFollowedNorWaitedOn()
    {
        QFETCH(QString, kind);
        QFETCH(bool, settings);
        test::TestHome home;
        const QString path = settings ? UserDefaults::defaultFilePath() : home.path() + QStringLiteral("/f.json");
        const QString users = home.path() + QStringLiteral("/notes.txt");
        test::writeFile(users, "[General]\nuseFullDiskAccess=false\n");
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        const qint64 bound = settings ? FileBound::settings : 4096;
        const bool spare = kind.startsWith(QLatin1String("spare"));
        const QString at = spare ? path + QStringLiteral(".~spare") : path;
        if (kind == QLatin1String("spare hard link"))
            QCOMPARE(::link(users.toUtf8().constData(), at.toUtf8().constData()), 0);
        else if (kind.endsWith(QLatin1String("link")))
            QVERIFY(QFile::link(users, at));
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(path.toUtf8().constData(), 0600), 0);
        else {
            test::writeFile(path, {});
            QVERIFY(QFile(path).resize(bound + 1)); // sparse: costs no disk
        }
        if (settings) {
            UserDefaults defaults;
            QVERIFY(!defaults.contains(UserDefaults::useFullDiskAccess));
            defaults.setValue(UserDefaults::useFullDiskAccess, true);
            QCOMPARE(UserDefaults().boolValue(UserDefaults::useFullDiskAccess, false), true);
            struct stat info { };
            QCOMPARE(::lstat(path.toUtf8().constData(), &info), 0);
            QVERIFY(S_ISREG(info.st_mode));
            QCOMPARE(info.st_mode & 0777, 0600u);
        } else if (spare) {
            // Each write goes over the copy the one before replaced, the last one over a spare of
            // its own.
            const bool shrinking = kind.endsWith(QLatin1String("longer"));
            const QList<QByteArray> contents = shrinking
                ? QList<QByteArray> { QByteArray("old and long"), QByteArray("ours"), QByteArray("ou") }
                : QList<QByteArray> { QByteArray("old"), QByteArray("ours"), QByteArray("ours again") };
            for (const QByteArray &content : contents)
                writeFileAtomically(path, content, 0600, Kept::cache);
            QCOMPARE(*readFileIfExists(path, bound), contents.at(2));
            QCOMPARE(*readFileIfExists(path + QStringLiteral(".~spare"), bound), contents.at(1));
        } else {
            QVERIFY_THROWS_EXCEPTION(UnfitFileError, readFileIfExists(path, bound));
            writeFileAtomically(path, "ours");
            QCOMPARE(*readFileIfExists(path, bound), QByteArray("ours"));
        }
        QCOMPARE(test::readFile(users), QByteArray("[General]\nuseFullDiskAccess=false\n"));
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
        QVERIFY(!reader.contains(UserDefaults::useFullDiskAccess));
        QCOMPARE(reader.boolValue(UserDefaults::useFullDiskAccess, true), true);
        writer.setValue(UserDefaults::useFullDiskAccess, false);
        writer.setValue(UserDefaults::schedulerRegisteredBuild, 12);
        // A holder that lives long (the window's) reads what others wrote since.
        QCOMPARE(reader.boolValue(UserDefaults::useFullDiskAccess, true), false);
        QCOMPARE(reader.integerValue(UserDefaults::schedulerRegisteredBuild), qint64(12));
        writer.remove(UserDefaults::useFullDiskAccess);
        reader.sync();
        QVERIFY(!reader.contains(UserDefaults::useFullDiskAccess));
        QVERIFY(QFile::exists(home.path() + QStringLiteral("/.config/Vellmir/Vellmir.conf")));

        // The file keeps QSettings' format both ways: what it wrote reads back, and it reads
        // what is written here.
        const QString sentence = QStringLiteral("@No user manager, \"sorry\";\n\tline two=ü ");
        {
            QSettings qt(UserDefaults::defaultFilePath(), QSettings::IniFormat);
            qt.setValue(UserDefaults::schedulerRegistrationFailure, sentence);
            qt.setValue(QStringLiteral("group/with space"), QStringLiteral(" x,y "));
        }
        reader.sync();
        QCOMPARE(reader.stringValue(UserDefaults::schedulerRegistrationFailure), sentence);
        QCOMPARE(reader.stringValue(QStringLiteral("group/with space")), QStringLiteral(" x,y "));
        QCOMPARE(reader.boolValue(UserDefaults::schedulerRegisteredBuild, false), true);
        writer.setValue(QStringLiteral("note"), sentence + QStringLiteral("1"));
        // ";" alone starts a comment, and a character beyond U+FFFF is one, not two halves.
        const QString farHome = QStringLiteral("/home/\U0001D518ser; see");
        writer.setValue(QStringLiteral("home"), farHome);
        {
            QSettings qt(UserDefaults::defaultFilePath(), QSettings::IniFormat);
            QCOMPARE(qt.value(QStringLiteral("note")).toString(), sentence + QStringLiteral("1"));
            QCOMPARE(qt.value(UserDefaults::schedulerRegistrationFailure).toString(), sentence);
            QCOMPARE(qt.value(QStringLiteral("group/with space")).toString(), QStringLiteral(" x,y "));
            QCOMPARE(qt.value(UserDefaults::schedulerRegisteredBuild).toInt(), 12);
            QCOMPARE(qt.value(QStringLiteral("home")).toString(), farHome);
        }

        // A file that cannot be read is not replaced by the one key changed: every other
        // setting in it would be lost.
        const QString path = UserDefaults::defaultFilePath();
        const QByteArray before = test::readFile(path);
        QVERIFY(QFile::setPermissions(path, {}));
        {
            const test::WithoutReadOverride unprivileged;
            const int fd = ::open(path.toUtf8().constData(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                ::close(fd);
                QSKIP("this user reads any file");
            }
            writer.setValue(UserDefaults::useFullDiskAccess, true);
        }
        QCOMPARE(test::readFile(path), before);
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

    void aSecondStopSignalOfAnyKindEndsTheProcess_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::newRow("SIGINT, SIGINT") << SIGINT << SIGINT;
        QTest::newRow("SIGINT, SIGTERM") << SIGINT << SIGTERM;
        QTest::newRow("SIGTERM, SIGINT") << SIGTERM << SIGINT;
        QTest::newRow("SIGHUP, SIGTERM") << SIGHUP << SIGTERM;
    }

    void aSecondStopSignalOfAnyKindEndsTheProcess()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        // In a process of its own, which the second signal is to end.
        const pid_t child = ::fork();
        if (child == 0) {
            const std::stop_token stop = ShutdownSignals::install();
            ::kill(::getpid(), first);
            for (int i = 0; i < 500 && !stop.stop_requested(); ++i)
                ::usleep(10000);
            ::kill(::getpid(), second);
            ::usleep(500000);
            ::_exit(stop.stop_requested() ? 0 : 1);
        }
        QVERIFY(child > 0);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status), "the second signal was swallowed");
        QCOMPARE(WTERMSIG(status), second);
    }
};

QTEST_GUILESS_MAIN(UtilFilesTest)
#include "UtilFilesTest.moc"
