#include "exclude/CloudSync.h"

#include "TestSupport.h"

#include <QDir>
#include <QTest>

using namespace vellmir;

namespace {

const QString suffix
    = QStringLiteral(": sync is not an independent backup. Exclude only after reviewing your recovery plan.");

ExcludeDetectorProbes probes(QStringList ubiquitous)
{
    ExcludeDetectorProbes result = ExcludeDetectorProbes::local();
    result.measure = [](const QString &path) { return qint64(path.size()); };
    result.isUbiquitous = [ubiquitous](const QString &path) { return ubiquitous.contains(path); };
    return result;
}

// "path | reason" per candidate, with the home folder written as "~".
QStringList describe(const QList<ExcludeCandidate> &candidates, const QString &home)
{
    QStringList result;
    for (const ExcludeCandidate &candidate : candidates) {
        QString path = candidate.pattern;
        path.replace(home, QStringLiteral("~"));
        result.append(path + QStringLiteral(" | ") + candidate.reason.chopped(suffix.size()));
    }
    return result;
}

} // namespace

class CloudSyncTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void providerName_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("provider");
        test::dataRow("google", "GoogleDrive-Work", "Google Drive");
        test::dataRow("onedrive", "OneDrive-Personal", "OneDrive");
        test::dataRow("dropbox account", "Dropbox-Personal", "Dropbox");
        test::dataRow("leading dash", "-Dropbox", "Dropbox");
        test::dataRow("plain", "Box", "Box");
        test::dataRow("only dashes", "--", "--");
        test::dataRow("empty", "", "");
        test::dataRow("google without account", "GoogleDrive", "Google Drive");
        test::dataRow("other case kept", "googledrive-x", "googledrive");
    }

    void providerName()
    {
        QFETCH(QString, folder);
        QFETCH(QString, provider);
        QCOMPARE(CloudSync::providerName(folder), provider);
    }

    void phasesInOrder()
    {
        test::TestHome home;
        const QString h = home.path();
        for (const char *folder : { "Library/Mobile Documents/com~apple~CloudDocs", "Desktop", "Documents",
                 "Library/CloudStorage/Dropbox", "Dropbox", "Box Sync", "OneDrive" })
            QVERIFY(QDir().mkpath(h + u'/' + QString::fromUtf8(folder)));
        test::writeFile(h + QStringLiteral("/Library/CloudStorage/notes.txt"), "not a folder");

        const QList<ExcludeCandidate> found = CloudSync(probes({ h + QStringLiteral("/Desktop") })).detect({ h });
        QCOMPARE(describe(found, h),
            QStringList({ "~/Library/Mobile Documents/com~apple~CloudDocs | iCloud Drive", "~/Desktop | iCloud Desktop",
                "~/Library/CloudStorage/Dropbox | Dropbox", "~/Dropbox | Dropbox", "~/OneDrive | OneDrive",
                "~/Box Sync | Box" }));
        for (const ExcludeCandidate &candidate : found) {
            QCOMPARE(candidate.id, candidate.pattern);
            QVERIFY(candidate.reason.endsWith(suffix));
            QCOMPARE(candidate.instanceCount, 1);
            QCOMPARE(candidate.totalBytes, qint64(candidate.pattern.size()));
            QVERIFY(!candidate.recommended);
            QVERIFY(candidate.source == ExcludeCandidate::Source::cloud);
        }
    }

    void syncedFolderOnlyWhenTheCloudKeepsIt_data()
    {
        QTest::addColumn<bool>("ubiquitous");
        QTest::newRow("synced") << true;
        QTest::newRow("local") << false;
    }

    void syncedFolderOnlyWhenTheCloudKeepsIt()
    {
        QFETCH(bool, ubiquitous);
        test::TestHome home;
        const QString documents = home.path() + QStringLiteral("/Documents");
        QVERIFY(QDir().mkpath(documents));
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/Dropbox")));
        const QList<ExcludeCandidate> found
            = CloudSync(probes(ubiquitous ? QStringList { documents } : QStringList {})).detect({ documents });
        QCOMPARE(describe(found, home.path()),
            ubiquitous ? QStringList({ "~/Documents | iCloud Documents" }) : QStringList());
    }

    void linuxHasNoSyncedHomeFolders()
    {
        test::TestHome home;
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/Desktop")));
        QVERIFY(CloudSync().detect({ home.path() }).isEmpty());
    }

    void sourcesAreComparedLiterally()
    {
        test::TestHome home;
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/Dropbox")));
        QVERIFY(CloudSync(probes({})).detect({ QStringLiteral("~"), home.path() + u'/' }).isEmpty());
        QCOMPARE(CloudSync(probes({})).detect({ home.path() + QStringLiteral("/Dropbox") }).size(), 1);
    }
};

QTEST_GUILESS_MAIN(CloudSyncTest)
#include "CloudSyncTest.moc"
