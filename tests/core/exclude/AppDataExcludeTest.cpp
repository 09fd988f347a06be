#include "exclude/AppDataExclude.h"
#include "exclude/LibraryExclude.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace vellmir;

class AppDataExcludeTest : public QObject {
    Q_OBJECT

private:
    // Sizes by path; every measured path is recorded.
    ExcludeDetectorProbes probes()
    {
        ExcludeDetectorProbes result = ExcludeDetectorProbes::local();
        result.measure = [this](const QString &path) {
            m_measured.append(path);
            return m_sizes.value(path);
        };
        return result;
    }
    QString support(const test::TestHome &home) const { return home.path() + QStringLiteral("/.local/share"); }

    QHash<QString, qint64> m_sizes;
    QStringList m_measured;

private Q_SLOTS:
    void init()
    {
        m_sizes.clear();
        m_measured.clear();
    }

    void largeSecondLevelFoldersAreProposed_data()
    {
        QTest::addColumn<QString>("app"); // the application's own data folder, below the home
        QTest::addColumn<QString>("owner"); // how the reason names the application
        QTest::addColumn<QString>("folder");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("proposed");
        QTest::addColumn<bool>("measured");
        const QString data = QStringLiteral(".local/share/App");
        QTest::newRow("exactly the threshold") << data << "App"
                                               << "Models" << qint64(2'000'000'000) << true << true;
        QTest::newRow("just below") << data << "App"
                                    << "Models" << qint64(1'999'999'999) << false << true;
        QTest::newRow("cache in the name") << data << "App"
                                           << "Model Cache" << qint64(9'000'000'000) << false << false;
        QTest::newRow("CACHE in capitals") << data << "App"
                                           << "GPUCACHE" << qint64(9'000'000'000) << false << false;
        QTest::newRow("user data") << data << "App"
                                   << "User Data" << qint64(9'000'000'000) << false << false;
        QTest::newRow("databases") << data << "App"
                                   << "databases" << qint64(9'000'000'000) << false << false;
        QTest::newRow("Local storage is not a user-data name")
            << data << "App"
            << "Local storage" << qint64(9'000'000'000) << true << true;
        QTest::newRow("a Flatpak application's data") << ".var/app/org.App/data"
                                                      << "org.App"
                                                      << "Models" << qint64(2'000'000'000) << true << true;
    }

    void largeSecondLevelFoldersAreProposed()
    {
        QFETCH(QString, app);
        QFETCH(QString, owner);
        QFETCH(QString, folder);
        QFETCH(qint64, size);
        QFETCH(bool, proposed);
        QFETCH(bool, measured);
        test::TestHome home;
        const QString appPath = home.path() + u'/' + app;
        const QString path = appPath + u'/' + folder;
        QVERIFY(QDir().mkpath(path));
        m_sizes.insert(path, size);
        m_sizes.insert(appPath, 50'000'000'000);

        const QList<ExcludeCandidate> found = AppDataExclude(probes()).detect({ home.path() });
        QCOMPARE(m_measured.contains(path), measured);
        QVERIFY(!m_measured.contains(appPath)); // the app folder itself never
        QCOMPARE(found.size(), proposed ? 1 : 0);
        if (!proposed)
            return;
        const QString pattern = QStringLiteral("~/") + app + u'/' + folder;
        const ExcludeCandidate expected { pattern, pattern,
            QStringLiteral("Large data in ") + owner
                + QStringLiteral(" - review (may be models, VM images, or profile data)"),
            1, size, false, ExcludeCandidate::Source::rule };
        QVERIFY(found[0] == expected);
    }

    void onlyRealFoldersTwoLevelsDown()
    {
        test::TestHome home;
        const QString app = support(home) + QStringLiteral("/App");
        QVERIFY(QDir().mkpath(app + QStringLiteral("/Models/Deep")));
        QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/elsewhere")));
        test::writeFile(app + QStringLiteral("/disk.img"), "x");
        test::writeFile(support(home) + QStringLiteral("/loose-file"), "x");
        QVERIFY(QFile::link(home.path() + QStringLiteral("/elsewhere"), app + QStringLiteral("/Linked")));
        QVERIFY(QFile::link(home.path() + QStringLiteral("/elsewhere"), support(home) + QStringLiteral("/LinkedApp")));
        const QList<ExcludeCandidate> found = AppDataExclude(probes()).detect({ home.path() });
        QVERIFY(found.isEmpty());
        QCOMPARE(m_measured, QStringList({ app + QStringLiteral("/Models") }));
    }

    void dataFolderMustLieInsideASource_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("examined");
        QTest::newRow("home") << "$HOME" << true;
        QTest::newRow("above the data folder") << "$HOME/.local" << true;
        QTest::newRow("the data folder itself") << "$HOME/.local/share" << true;
        QTest::newRow("one app") << "$HOME/.local/share/App" << false;
        QTest::newRow("documents") << "$HOME/Documents" << false;
        QTest::newRow("tilde") << "~" << false;
    }

    void dataFolderMustLieInsideASource()
    {
        QFETCH(QString, source);
        QFETCH(bool, examined);
        test::TestHome home;
        const QString models = support(home) + QStringLiteral("/App/Models");
        QVERIFY(QDir().mkpath(models));
        m_sizes.insert(models, 3'000'000'000);
        source.replace(QStringLiteral("$HOME"), home.path());
        QCOMPARE(AppDataExclude(probes()).detect({ source }).size(), examined ? 1 : 0);
    }

    void emptyDataFolderGivesNothing()
    {
        test::TestHome home;
        QVERIFY(AppDataExclude().detect({ home.path() }).isEmpty());
    }

    // The home-data detector: its places in order, each only where it exists inside a source.
    void homeDataPlaces_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QStringList>("expected"); // "pattern | instances | bytes | preselected"
        QTest::newRow("home") << ""
                              << QStringList {
                                     "~/.cache | 1 | 7 | yes",
                                     "~/.local/state | 1 | 13 | yes",
                                     "~/.thumbnails | 1 | 12 | yes",
                                     "~/.var/app/*/cache | 2 | 42 | yes",
                                     "~/.local/share | 1 | 0 | no",
                                 };
        QTest::newRow("one Flatpak application")
            << "/.var/app/org.b" << QStringList { "~/.var/app/*/cache | 1 | 21 | yes" };
        QTest::newRow("documents") << "/Documents" << QStringList {};
    }

    void homeDataPlaces()
    {
        QFETCH(QString, source);
        QFETCH(QStringList, expected);
        test::TestHome home;
        qunsetenv("XDG_STATE_HOME");
        for (const char *folder : { ".local/state", ".thumbnails", ".var/app/org.a/cache", ".var/app/org.b/cache",
                 ".var/app/org.c/data", "Documents" })
            QVERIFY(QDir().mkpath(home.path() + u'/' + QString::fromUtf8(folder)));
        ExcludeDetectorProbes sizes = ExcludeDetectorProbes::local();
        sizes.measure = [&home](const QString &path) { return qint64(path.size() - home.path().size()); };

        QStringList described;
        for (const ExcludeCandidate &candidate : LibraryExclude(sizes).detect({ home.path() + source })) {
            QCOMPARE(candidate.id, candidate.pattern);
            QVERIFY(candidate.source == ExcludeCandidate::Source::rule);
            described.append(QStringLiteral("%1 | %2 | %3 | %4")
                                 .arg(candidate.pattern)
                                 .arg(candidate.instanceCount)
                                 .arg(candidate.totalBytes)
                                 .arg(candidate.recommended ? "yes" : "no"));
        }
        QCOMPARE(described, expected);
    }
};

QTEST_GUILESS_MAIN(AppDataExcludeTest)
#include "AppDataExcludeTest.moc"
