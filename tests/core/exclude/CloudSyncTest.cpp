#include "exclude/CloudSync.h"

#include "TestSupport.h"

#include <QDir>
#include <QTest>

using namespace vellmir;

namespace {

const QString suffix
    = QStringLiteral(": sync is not an independent backup. Exclude only after reviewing your recovery plan.");

ExcludeDetectorProbes probes()
{
    ExcludeDetectorProbes result = ExcludeDetectorProbes::local();
    result.measure = [](const QString &path) { return qint64(path.size()); };
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

    void providerFoldersInOrder()
    {
        test::TestHome home;
        const QString h = home.path();
        for (const char *folder : { "Library/Mobile Documents/com~apple~CloudDocs", "Library/CloudStorage/Dropbox",
                 "Sync", "Dropbox", "Box Sync", "OneDrive", "pCloudDrive", "MEGA", "Nextcloud", "Seafile" })
            QVERIFY(QDir().mkpath(h + u'/' + QString::fromUtf8(folder)));
        test::writeFile(h + QStringLiteral("/ownCloud"), "not a folder, still something the cloud keeps");

        const QList<ExcludeCandidate> found = CloudSync(probes()).detect({ h });
        QCOMPARE(describe(found, h),
            QStringList({ "~/Dropbox | Dropbox", "~/OneDrive | OneDrive", "~/Box Sync | Box", "~/Nextcloud | Nextcloud",
                "~/ownCloud | ownCloud", "~/MEGA | MEGA", "~/pCloudDrive | pCloud", "~/Seafile | Seafile",
                "~/Sync | Syncthing" }));
        for (const ExcludeCandidate &candidate : found) {
            QCOMPARE(candidate.id, candidate.pattern);
            QVERIFY(candidate.reason.endsWith(suffix));
            QCOMPARE(candidate.instanceCount, 1);
            QCOMPARE(candidate.totalBytes, qint64(candidate.pattern.size()));
            QVERIFY(!candidate.recommended);
            QVERIFY(candidate.source == ExcludeCandidate::Source::cloud);
        }
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
        QVERIFY(CloudSync(probes()).detect({ QStringLiteral("~"), home.path() + u'/' }).isEmpty());
        QCOMPARE(CloudSync(probes()).detect({ home.path() + QStringLiteral("/Dropbox") }).size(), 1);
    }
};

QTEST_GUILESS_MAIN(CloudSyncTest)
#include "CloudSyncTest.moc"
