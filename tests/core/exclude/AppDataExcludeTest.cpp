#include "exclude/AppDataExclude.h"

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
    QString support(const test::TestHome &home) const
    {
        return home.path() + QStringLiteral("/Library/Application Support");
    }

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
        QTest::addColumn<QString>("folder");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("proposed");
        QTest::addColumn<bool>("measured");
        QTest::newRow("exactly the threshold") << "Models" << qint64(2'000'000'000) << true << true;
        QTest::newRow("just below") << "Models" << qint64(1'999'999'999) << false << true;
        QTest::newRow("cache in the name") << "Model Cache" << qint64(9'000'000'000) << false << false;
        QTest::newRow("CACHE in capitals") << "GPUCACHE" << qint64(9'000'000'000) << false << false;
        QTest::newRow("user data") << "User Data" << qint64(9'000'000'000) << false << false;
        QTest::newRow("databases") << "databases" << qint64(9'000'000'000) << false << false;
        QTest::newRow("Local storage is not a user-data name")
            << "Local storage" << qint64(9'000'000'000) << true << true;
    }

    void largeSecondLevelFoldersAreProposed()
    {
        QFETCH(QString, folder);
        QFETCH(qint64, size);
        QFETCH(bool, proposed);
        QFETCH(bool, measured);
        test::TestHome home;
        const QString path = support(home) + QStringLiteral("/App/") + folder;
        QVERIFY(QDir().mkpath(path));
        m_sizes.insert(path, size);
        m_sizes.insert(support(home) + QStringLiteral("/App"), 50'000'000'000);

        const QList<ExcludeCandidate> found = AppDataExclude(probes()).detect({ home.path() });
        QCOMPARE(m_measured.contains(path), measured);
        QVERIFY(!m_measured.contains(support(home) + QStringLiteral("/App"))); // the app folder itself never
        QCOMPARE(found.size(), proposed ? 1 : 0);
        if (!proposed)
            return;
        const QString pattern = QStringLiteral("~/Library/Application Support/App/") + folder;
        const ExcludeCandidate expected { pattern, pattern,
            QStringLiteral("Large data in App - review (may be models, VM images, or profile data)"), 1, size, false,
            ExcludeCandidate::Source::rule };
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

    void applicationSupportMustLieInsideASource_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("examined");
        QTest::newRow("home") << "$HOME" << true;
        QTest::newRow("library") << "$HOME/Library" << true;
        QTest::newRow("support itself") << "$HOME/Library/Application Support" << true;
        QTest::newRow("one app") << "$HOME/Library/Application Support/App" << false;
        QTest::newRow("documents") << "$HOME/Documents" << false;
        QTest::newRow("tilde") << "~" << false;
    }

    void applicationSupportMustLieInsideASource()
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

    void missingApplicationSupportGivesNothing()
    {
        test::TestHome home;
        QVERIFY(AppDataExclude().detect({ home.path() }).isEmpty());
    }
};

QTEST_GUILESS_MAIN(AppDataExcludeTest)
#include "AppDataExcludeTest.moc"
