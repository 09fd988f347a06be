#include "ResticRepositoryFixture.h"
#include "TestSupport.h"
#include "engine/ResticEngine.h"
#include "operations/RestoreRunner.h"

#include <QDir>
#include <QDirIterator>
#include <QtTest>

using namespace vellmir;
using Phase = RestoreRunner::Phase;

// Restores with the installed restic from one local repository shared by every case.
class RestoreRunnerResticTest : public QObject, test::ResticRepositoryFixture {
    Q_OBJECT

    std::unique_ptr<RestoreRunner> runner() const
    {
        return std::make_unique<RestoreRunner>(engine(), m_credentials, RepositoryHealthStore(m_credentials));
    }
    // Every file below `folder`, relative to it, with its bytes.
    static QMap<QString, QByteArray> files(const QString &folder)
    {
        QMap<QString, QByteArray> result;
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            result.insert(file.mid(folder.size()), test::readFile(file));
        }
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ResticEngine().locateBinary())
            QSKIP("restic is not installed");
        QByteArray binary(300000, '\0');
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = char(i * 7919 % 251);
        QString error;
        QVERIFY2(makeRepository({ { QStringLiteral("/docs/notes [draft]*.txt"), "notes\n" },
                                    { QStringLiteral("/docs/readme.txt"), "read me\n" },
                                    { QStringLiteral("/photos/a.bin"), binary } },
                     error),
            qPrintable(error));
    }

    void restoresAreByteIdenticalAndRecorded_data()
    {
        QTest::addColumn<QString>("include"); // relative to the source; empty: whole snapshot
        QTest::newRow("whole snapshot") << QString();
        QTest::newRow("one file") << QStringLiteral("/docs/notes [draft]*.txt");
        QTest::newRow("one folder") << QStringLiteral("/photos");
    }
    void restoresAreByteIdenticalAndRecorded()
    {
        QFETCH(QString, include);
        const std::optional<QString> selection = include.isEmpty() ? std::nullopt : std::optional(m_source + include);
        const qsizetype before
            = QDir(path(QStringLiteral("target"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();

        auto restore = runner();
        restore->run(m_snapshot, m_destination, path(QStringLiteral("target")), selection);
        QTRY_VERIFY_WITH_TIMEOUT(restore->phase() != Phase::running, 60000);
        QVERIFY2(restore->phase() == Phase::finished, qPrintable(restore->failureMessage().value_or(QString())));
        QVERIFY(!restore->failureMessage());
        QCOMPARE(restore->percent(), 1.0);
        QVERIFY(restore->summary() && restore->summary()->filesRestored > 0);

        // A new sibling folder each time, holding the source's path below it.
        QCOMPARE(QDir(path(QStringLiteral("target"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), before + 1);
        const QString folder = *restore->restoredPath();
        QVERIFY(QFileInfo(folder).fileName().startsWith(RestoreRunner::folderPrefix()));
        QMap<QString, QByteArray> expected = files(m_source);
        if (!include.isEmpty()) {
            for (auto it = expected.begin(); it != expected.end();)
                it = it.key().startsWith(include) ? std::next(it) : expected.erase(it);
        }
        QCOMPARE(files(folder + m_source), expected);
        // The files written, not the folders restic recreated on the way to them.
        QCOMPARE(restore->summary()->filesRestored, expected.size());

        const RepositoryHealth health = RepositoryHealthStore(m_credentials).load(m_destination);
        QCOMPARE(health.restoredSnapshot, m_snapshot.id);
        QCOMPARE(health.restoredSelection, selection.value_or(QStringLiteral("Whole snapshot")));
    }

    void pathNotInTheSnapshotFailsAndLeavesNothing()
    {
        const RepositoryHealth before = RepositoryHealthStore(m_credentials).load(m_destination);
        const QStringList folders = QDir(path(QStringLiteral("target"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        const QString missing = m_source + QStringLiteral("/docs/missing.txt");
        auto restore = runner();
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("target")), missing);
        QVERIFY(restore->phase() == Phase::failed);
        QCOMPARE(restore->failureMessage(),
            QStringLiteral("Nothing in snapshot %1 matches %2.").arg(m_snapshot.shortID, missing));
        QCOMPARE(QDir(path(QStringLiteral("target"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot), folders);
        QVERIFY(RepositoryHealthStore(m_credentials).load(m_destination) == before);
    }

    void targetInsideTheRepositoryIsRefused()
    {
        auto restore = runner();
        restore->execute(m_snapshot, m_destination, path(QStringLiteral("repo/snapshots")));
        QVERIFY(restore->phase() == Phase::failed);
        QCOMPARE(restore->failureMessage(), QStringLiteral("Choose a restore folder outside the backup repository."));
        QVERIFY(
            QDir(path(QStringLiteral("repo/snapshots"))).entryList({ RestoreRunner::folderPrefix() + u'*' }).isEmpty());
    }
};

QTEST_GUILESS_MAIN(RestoreRunnerResticTest)
#include "RestoreRunnerResticTest.moc"
