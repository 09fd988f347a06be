#include "LockHolder.h"
#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "config/FileLock.h"
#include "engine/ResticEngine.h"
#include "operations/RepositoryHealthStore.h"
#include "util/ResticError.h"
#include "util/Uuid.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

using namespace vellmir;

// The health operations against the installed restic, on one local repository shared by
// every case.
class RepositoryHealthStoreResticTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TestHome> m_home;
    CredentialsStore m_credentials { std::make_shared<test::MemorySecretStorage>() };
    Destination m_destination;
    QString m_source;

    QString path(const QString &relative) const { return m_home->path() + u'/' + relative; }
    ResticEngine engine() const { return ResticEngine(std::nullopt, path(QStringLiteral("locks"))); }
    RepositoryHealthStore store() const { return RepositoryHealthStore(m_credentials); }
    QStringList samples() const
    {
        return QDir(path(QStringLiteral("tmp")))
            .entryList({ RepositoryHealthStore::sampleFolderPrefix() + u'*' }, QDir::AllEntries);
    }
    ResticResult restic(const Destination &destination, const ResticCommand &command) const
    {
        return engine().run(command, m_credentials.resticEnvironment(destination));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!ResticEngine().locateBinary())
            QSKIP("restic is not installed");
        m_home = std::make_unique<test::TestHome>();
        QDir().mkpath(path(QStringLiteral("tmp")));
        qputenv("TMPDIR", QFile::encodeName(path(QStringLiteral("tmp"))));
        m_destination.id = newUuid();
        m_destination.credentialID = newUuid();
        m_destination.repository = path(QStringLiteral("repo"));
        m_credentials.setSecret(QStringLiteral("pw"), CredentialRole::repoPassword, m_destination.credentialID);

        // Sorted as browse returns them, the large and the empty file come before the sample.
        m_source = path(QStringLiteral("source"));
        test::writeFile(m_source + QStringLiteral("/a-big.bin"), QByteArray(2 * 1048576, 'x'));
        test::writeFile(m_source + QStringLiteral("/b-empty.txt"), {});
        test::writeFile(m_source + QStringLiteral("/c-small.txt"), "small sample\n");
        ResticResult result = restic(m_destination, ResticCommand(QStringLiteral("init")));
        QVERIFY2(result.exitCode == 0, qPrintable(result.stderr));
        result = restic(m_destination, ResticCommand(QStringLiteral("backup")).positional(m_source));
        QVERIFY2(result.exitCode == 0, qPrintable(result.stderr));
    }
    void cleanupTestCase() { qunsetenv("TMPDIR"); }

    void checkRecordsSuccess()
    {
        store().check(m_destination, engine());
        const RepositoryHealth health = store().load(m_destination);
        QCOMPARE(health.integritySucceeded, true);
        QCOMPARE(health.integrityMessage,
            QStringLiteral("Repository structure and a random 5% data sample checked. "
                           "This does not verify every file."));
    }

    void checkOfABusyRepositoryRecordsNothing()
    {
        if (!test::LockHolder::available())
            QSKIP("flock(1) is not installed");
        const QByteArray before = test::readFile(store().recordPath(m_destination.id));
        test::LockHolder holder;
        QVERIFY(holder.hold(FileLock::repositoryLockPath(m_destination.repository, path(QStringLiteral("locks")))));
        try {
            store().check(m_destination, engine());
            QFAIL("check of a busy repository did not throw");
        } catch (const ResticError &error) {
            QCOMPARE(error.message(), FileLock::busyMessage());
        }
        QCOMPARE(test::readFile(store().recordPath(m_destination.id)), before);
    }

    void measureAppendsTheStoredSize()
    {
        const qsizetype before = store().load(m_destination).usage.size();
        store().measure(m_destination, engine());
        const RepositoryHealth health = store().load(m_destination);
        QCOMPARE(health.usage.size(), before + 1);
        QVERIFY(health.usage.last().bytes > 0);
    }

    void testRecoveryRestoresASmallFileAndLeavesNothing()
    {
        store().testRecovery(m_destination, engine());
        const RepositoryHealth health = store().load(m_destination);
        QCOMPARE(health.restoredSelection, m_source + QStringLiteral("/c-small.txt"));
        QCOMPARE(health.restoredSnapshot->size(), 64);
        QVERIFY(health.lastVerifiedRestore);
        QVERIFY2(samples().isEmpty(), qPrintable(samples().join(u' ')));
    }

    void failedSampleRestoreLeavesNothing()
    {
        // A copy of the repository without its data packs: listing works, restoring cannot.
        Destination broken = m_destination;
        broken.id = newUuid();
        broken.repository = path(QStringLiteral("broken"));
        QVERIFY(QProcess::execute(QStringLiteral("cp"), { "-a", m_destination.repository, broken.repository }) == 0);
        const ResticResult indexes = restic(broken, ResticCommand(QStringLiteral("list"), QStringLiteral("index")));
        QVERIFY2(indexes.exitCode == 0, qPrintable(indexes.stderr));
        for (const QString &index : indexes.stdout.split(u'\n', Qt::SkipEmptyParts)) {
            const ResticResult content
                = restic(broken, ResticCommand(QStringLiteral("cat"), QStringLiteral("index")).positional(index));
            const QJsonArray packs
                = QJsonDocument::fromJson(content.stdout.toUtf8())[QStringLiteral("packs")].toArray();
            for (const QJsonValue &pack : packs) {
                const QString id = pack[QStringLiteral("id")].toString();
                if (pack[QStringLiteral("blobs")].toArray().first()[QStringLiteral("type")] == QStringLiteral("data"))
                    QVERIFY(QFile::remove(broken.repository + QStringLiteral("/data/") + id.left(2) + u'/' + id));
            }
        }
        try {
            store().testRecovery(broken, engine());
            QFAIL("a restore without data succeeded");
        } catch (const ResticError &error) {
            QVERIFY2(
                error.message().startsWith(QStringLiteral("Sample restore failed: ")), qPrintable(error.message()));
        }
        QVERIFY(!QFileInfo::exists(store().recordPath(broken.id)));
        QVERIFY2(samples().isEmpty(), qPrintable(samples().join(u' ')));
    }
};

QTEST_GUILESS_MAIN(RepositoryHealthStoreResticTest)
#include "RepositoryHealthStoreResticTest.moc"
