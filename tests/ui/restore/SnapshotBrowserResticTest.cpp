#include "ResticRepositoryFixture.h"
#include "TestSupport.h"
#include "restore/SnapshotBrowserModel.h"

#include <QDir>
#include <QtTest>

using namespace vellmir;
using Phase = RestoreRunner::Phase;

// The snapshot browser with the installed restic, on one local repository shared by every case.
class SnapshotBrowserResticTest : public QObject, test::ResticRepositoryFixture {
    Q_OBJECT

    RestoreServices services() const { return { engine(), m_credentials, RepositoryHealthStore(m_credentials) }; }
    std::unique_ptr<SnapshotBrowserModel> browser() const
    {
        auto model = std::make_unique<SnapshotBrowserModel>(
            m_destination, QList<Snapshot> { m_snapshot }, m_snapshot, services());
        model->setTargetPath(path(QStringLiteral("target")));
        return model;
    }
    static QStringList paths(const QList<SnapshotEntry> &entries)
    {
        QStringList result;
        for (const SnapshotEntry &entry : entries)
            result.append(entry.path);
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ResticEngine().locateBinary())
            QSKIP("restic is not installed");
        QString error;
        QVERIFY2(makeRepository({ { QStringLiteral("/docs/notes [draft]*.txt"), "notes\n" },
                                    { QStringLiteral("/docs/notes x.txt"), "other\n" },
                                    { QStringLiteral("/docs/deep/plan.txt"), "plan\n" } },
                     error),
            qPrintable(error));
    }

    void listsAFolderAndSearchesBelowIt()
    {
        auto model = browser();
        model->openFolder(m_source + QStringLiteral("/docs"));
        model->start();
        QTRY_VERIFY_WITH_TIMEOUT(!model->loading(), 20000);
        QVERIFY2(!model->errorMessage(), qPrintable(model->errorMessage().value_or(QString())));
        // Direct children only, the folder first; the files' order is the locale's.
        QStringList listed = paths(model->entries());
        QCOMPARE(listed.value(0), m_source + QStringLiteral("/docs/deep"));
        listed.sort();
        QCOMPARE(listed,
            (QStringList { m_source + QStringLiteral("/docs/deep"),
                m_source + QStringLiteral("/docs/notes [draft]*.txt"),
                m_source + QStringLiteral("/docs/notes x.txt") }));

        model->setSearch(QStringLiteral("PLAN"));
        QTRY_VERIFY_WITH_TIMEOUT(!model->loading(), 20000);
        QCOMPARE(paths(model->entries()), QStringList { m_source + QStringLiteral("/docs/deep/plan.txt") });

        // restic 0.18 lists a folder the snapshot lacks as empty, without an error.
        model->openFolder(m_source + QStringLiteral("/missing"));
        QTRY_VERIFY_WITH_TIMEOUT(!model->loading(), 20000);
        QVERIFY(model->entries().isEmpty());
    }

    void restoresTheFoundFileOnly()
    {
        auto model = browser();
        model->openFolder(m_source + QStringLiteral("/docs"));
        model->setSearch(QStringLiteral("draft"));
        model->start();
        QTRY_VERIFY_WITH_TIMEOUT(!model->loading(), 20000);
        const QString file = m_source + QStringLiteral("/docs/notes [draft]*.txt");
        QCOMPARE(paths(model->entries()), QStringList { file });
        model->select(file);
        model->requestRestore();
        QTRY_VERIFY_WITH_TIMEOUT(!model->isRunning(), 20000);
        QVERIFY2(model->runner()->phase() == Phase::finished,
            qPrintable(model->runner()->failureMessage().value_or(QString())));
        const QString folder = model->runner()->restoredPath().value();
        QCOMPARE(test::readFile(folder + file), QByteArray("notes\n"));
        QVERIFY(!QFileInfo::exists(folder + m_source + QStringLiteral("/docs/notes x.txt")));
        QVERIFY(!QFileInfo::exists(folder + m_source + QStringLiteral("/docs/deep")));
    }
};

QTEST_GUILESS_MAIN(SnapshotBrowserResticTest)
#include "SnapshotBrowserResticTest.moc"
