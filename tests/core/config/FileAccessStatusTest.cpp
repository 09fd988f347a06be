#include "config/FileAccessStatus.h"
#include "TestSupport.h"
#include "config/FullDiskAccessPreference.h"
#include "config/UserDefaults.h"

#include <QDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vellmir;

namespace {
void makeFile(const QString &home, const QString &relative)
{
    test::writeFile(home + u'/' + relative, "x");
}

void makeFolder(const QString &home, const QString &relative)
{
    QVERIFY(QDir().mkpath(home + u'/' + relative));
}
} // namespace

class FileAccessStatusTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void linuxAnswerIsGranted() { QVERIFY(FileAccessStatus::isGranted()); }

    void probeFindsAnyReadableLocation_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<bool>("granted");

        QTest::newRow("fresh account") << QStringList {} << QStringList {} << false;
        QTest::newRow("mail folder only") << QStringList {} << QStringList { QStringLiteral("Library/Mail") } << true;
        QTest::newRow("mail as a file") << QStringList { QStringLiteral("Library/Mail") } << QStringList {} << true;
        QTest::newRow("first probe") << QStringList { QStringLiteral("Library/Safari/Bookmarks.plist") }
                                     << QStringList {} << true;
        QTest::newRow("last probe") << QStringList { QStringLiteral("Library/Cookies/Cookies.binarycookies") }
                                    << QStringList {} << true;
        QTest::newRow("privacy database")
            << QStringList { QStringLiteral("Library/Application Support/com.apple.TCC/TCC.db") } << QStringList {}
            << true;
        // A folder where a file is expected can still be listed.
        QTest::newRow("folder at a file's path")
            << QStringList {} << QStringList { QStringLiteral("Library/Messages/chat.db") } << true;
        // Only the registration list names the address book; it is no proof of access.
        QTest::newRow("address book only")
            << QStringList {} << QStringList { QStringLiteral("Library/Application Support/AddressBook") } << false;
        QTest::newRow("parent folders only")
            << QStringList {} << QStringList { QStringLiteral("Library/Safari"), QStringLiteral("Library/Messages") }
            << false;
    }

    void probeFindsAnyReadableLocation()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, folders);
        QFETCH(bool, granted);
        QTemporaryDir home;
        for (const QString &file : files)
            makeFile(home.path(), file);
        for (const QString &folder : folders)
            makeFolder(home.path(), folder);
        QCOMPARE(FileAccessStatus::isGranted(home.path()), granted);
    }

    void danglingLinkIsNotReadable()
    {
        QTemporaryDir home;
        makeFolder(home.path(), QStringLiteral("Library/Safari"));
        QVERIFY(QFile::link(
            home.filePath(QStringLiteral("missing")), home.filePath(QStringLiteral("Library/Safari/History.db"))));
        QVERIFY(!FileAccessStatus::isGranted(home.path()));
    }

    void unreadableLocationsAreNotGranted()
    {
        if (::geteuid() == 0)
            QSKIP("root reads every file");
        QTemporaryDir home;
        makeFile(home.path(), QStringLiteral("Library/Messages/chat.db"));
        makeFolder(home.path(), QStringLiteral("Library/Mail"));
        QVERIFY(
            ::chmod(QFile::encodeName(home.filePath(QStringLiteral("Library/Messages/chat.db"))).constData(), 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(home.filePath(QStringLiteral("Library/Mail"))).constData(), 0) == 0);
        QVERIFY(!FileAccessStatus::isGranted(home.path()));
        ::chmod(QFile::encodeName(home.filePath(QStringLiteral("Library/Mail"))).constData(), 0700);
    }

    void listsKeepTheirOrder()
    {
        QCOMPARE(FileAccessStatus::probePaths().size(), 7);
        QCOMPARE(FileAccessStatus::probePaths().first(), QStringLiteral("Library/Safari/Bookmarks.plist"));
        QCOMPARE(FileAccessStatus::probePaths().last(), QStringLiteral("Library/Cookies/Cookies.binarycookies"));
        QCOMPARE(FileAccessStatus::registrationPaths(),
            QStringList({ QStringLiteral("Library/Application Support/com.apple.TCC/TCC.db"),
                QStringLiteral("Library/Safari/Bookmarks.plist"), QStringLiteral("Library/Mail"),
                QStringLiteral("Library/Messages/chat.db"),
                QStringLiteral("Library/Application Support/AddressBook") }));
    }

    void registrationCompletesSilently()
    {
        QTemporaryDir empty;
        FileAccessStatus::registerByProbing(empty.path());

        // Present data is read and left as it was; a FIFO must not stall the probe.
        QTemporaryDir home;
        makeFile(home.path(), QStringLiteral("Library/Safari/Bookmarks.plist"));
        makeFolder(home.path(), QStringLiteral("Library/Mail"));
        makeFolder(home.path(), QStringLiteral("Library/Messages"));
        const QByteArray fifo = QFile::encodeName(home.filePath(QStringLiteral("Library/Messages/chat.db")));
        QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
        FileAccessStatus::registerByProbing(home.path());
        QCOMPARE(test::readFile(home.filePath(QStringLiteral("Library/Safari/Bookmarks.plist"))), QByteArray("x"));
    }

    void firstReadingStoresTheGrantState_data()
    {
        QTest::addColumn<bool>("granted");
        QTest::newRow("granted") << true;
        QTest::newRow("not granted") << false;
    }

    void firstReadingStoresTheGrantState()
    {
        QFETCH(bool, granted);
        test::TestHome home;
        UserDefaults defaults;
        int probes = 0;
        auto probe = [&] {
            ++probes;
            return granted;
        };
        QCOMPARE(FullDiskAccessPreference::wanted(defaults, probe), granted);
        QCOMPARE(probes, 1);
        // Stored for every process, and later readings ignore the grant state.
        QCOMPARE(UserDefaults().boolValue(UserDefaults::useFullDiskAccess, !granted), granted);
        auto opposite = [&] {
            ++probes;
            return !granted;
        };
        QCOMPARE(FullDiskAccessPreference::wanted(defaults, opposite), granted);
        QCOMPARE(probes, 1);
    }

    void storedChoiceWins()
    {
        test::TestHome home;
        UserDefaults defaults;
        defaults.setValue(UserDefaults::useFullDiskAccess, false);
        QVERIFY(!FullDiskAccessPreference::wanted(defaults));
        defaults.setValue(UserDefaults::useFullDiskAccess, true);
        QVERIFY(FullDiskAccessPreference::wanted(defaults, [] { return false; }));
    }

    void linuxFirstReadingTurnsTheChoiceOn()
    {
        test::TestHome home;
        UserDefaults defaults;
        QVERIFY(FullDiskAccessPreference::wanted(defaults));
        QVERIFY(defaults.contains(UserDefaults::useFullDiskAccess));
    }
};

QTEST_GUILESS_MAIN(FileAccessStatusTest)
#include "FileAccessStatusTest.moc"
