#include "exclude/LibraryExclude.h"
#include "exclude/SmartExclude.h"

#include "TestSupport.h"

#include <QDir>
#include <QTest>

using namespace vellmir;

namespace {

// Each folder "measures" as the length of its path, so a test sees which folder was measured.
ExcludeDetectorProbes pathLengthProbes()
{
    ExcludeDetectorProbes probes = ExcludeDetectorProbes::local();
    probes.measure = [](const QString &path) { return qint64(path.size()); };
    return probes;
}

QStringList patterns(const QList<ExcludeCandidate> &candidates)
{
    QStringList result;
    for (const ExcludeCandidate &candidate : candidates)
        result.append(candidate.pattern);
    return result;
}

} // namespace

class LibraryExcludeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void homeSourceProposesExistingRowsThenAllOfLibrary()
    {
        test::TestHome home;
        for (const char *folder :
            { "Library/Metadata/CoreSpotlight", "Library/Caches", "Library/Developer/Xcode/DerivedData" })
            QVERIFY(QDir().mkpath(home.path() + u'/' + QString::fromUtf8(folder)));
        test::writeFile(home.path() + QStringLiteral("/Library/Logs"), "a file counts as existing");

        const QList<ExcludeCandidate> found = LibraryExclude(pathLengthProbes()).detect({ home.path() });
        QCOMPARE(patterns(found),
            QStringList({ "~/Library/Caches", "~/Library/Logs", "~/Library/Developer/Xcode/DerivedData",
                "~/Library/Metadata/CoreSpotlight", "~/Library" }));
        const ExcludeCandidate &caches = found[0];
        QCOMPARE(caches.id, caches.pattern);
        QCOMPARE(caches.reason, QStringLiteral("Application caches (regenerable)"));
        QCOMPARE(caches.instanceCount, 1);
        QCOMPARE(caches.totalBytes, qint64((home.path() + QStringLiteral("/Library/Caches")).size()));
        QVERIFY(caches.recommended);
        QVERIFY(caches.source == ExcludeCandidate::Source::rule);
        QCOMPARE(found[2].reason, QStringLiteral("Xcode build output; preserves Archives and simulator data"));

        const ExcludeCandidate all { QStringLiteral("~/Library"), QStringLiteral("~/Library"),
            QStringLiteral("All of Library - includes Mail, Messages, and app data (aggressive)"), 1, 0, false,
            ExcludeCandidate::Source::rule };
        QVERIFY(found.last() == all);
    }

    void realSizesComeFromTheFolderMeasurement()
    {
        test::TestHome home;
        test::writeFile(home.path() + QStringLiteral("/Library/Logs/app.log"), QByteArray(10000, 'x'));
        const QList<ExcludeCandidate> found = LibraryExclude().detect({ home.path() });
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[0].totalBytes, SmartExclude::directorySize(home.path() + QStringLiteral("/Library/Logs")));
        QVERIFY(found[0].totalBytes >= 10000);
    }

    void onlyPlacesInsideTheSources_data()
    {
        QTest::addColumn<QString>("source"); // "$HOME" stands for the home folder
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("documents") << "$HOME/Documents" << QStringList();
        QTest::newRow("tilde") << "~" << QStringList();
        QTest::newRow("trailing slash") << "$HOME/" << QStringList();
        QTest::newRow("library") << "$HOME/Library"
                                 << QStringList({ "~/Library/Caches", "~/Library/Logs", "~/Library" });
        QTest::newRow("one row") << "$HOME/Library/Logs" << QStringList({ "~/Library/Logs" });
        QTest::newRow("prefix is not a parent") << "$HOME/Lib" << QStringList();
    }

    void onlyPlacesInsideTheSources()
    {
        QFETCH(QString, source);
        QFETCH(QStringList, expected);
        test::TestHome home;
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/Library/Caches")));
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/Library/Logs")));
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/Documents")));
        source.replace(QStringLiteral("$HOME"), home.path());
        QCOMPARE(patterns(LibraryExclude(pathLengthProbes()).detect({ source })), expected);
    }

    void noLibraryNoCandidates()
    {
        test::TestHome home;
        QVERIFY(LibraryExclude().detect({ home.path() }).isEmpty());
    }
};

QTEST_GUILESS_MAIN(LibraryExcludeTest)
#include "LibraryExcludeTest.moc"
