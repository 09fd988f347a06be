#include "config/DestinationWriter.h"
#include "SealFixture.h"
#include "config/DestinationStore.h"

#include <QtTest>

using namespace vellmir;
using test::SealFixture;

namespace {

using Environment = QMap<QString, QString>;

template <typename F> QString errorOf(F &&operation)
{
    try {
        operation();
    } catch (const Error &error) {
        return error.message();
    }
    return QString();
}

struct WriterFixture : SealFixture {
    DestinationStore store { destinationsPath, credentials, keys, userDefaultsPath };
    DestinationWriter writer { credentials };
};

const Environment b2Environment {
    { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("repository password") },
    { QStringLiteral("B2_ACCOUNT_ID"), QStringLiteral("account") },
    { QStringLiteral("B2_ACCOUNT_KEY"), QStringLiteral("key") },
};

} // namespace

class DestinationWriterTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everySaveUsesFreshCredentials()
    {
        WriterFixture f;
        const Destination draft = SealFixture::destination(
            QStringLiteral("Offsite"), Destination::Kind::backblazeB2, QStringLiteral("b2:x:y"));
        const Destination first = f.writer.save(draft, b2Environment, f.store);
        QVERIFY(first.credentialID != draft.credentialID);
        Destination expectedCopy = draft;
        expectedCopy.credentialID = first.credentialID;
        QCOMPARE(first, expectedCopy);
        QCOMPARE(f.store.destinations(), QList<Destination> { first });
        QCOMPARE(f.credentials.resticEnvironment(first).value(QStringLiteral("B2_ACCOUNT_KEY")), QStringLiteral("key"));

        Environment changed = b2Environment;
        changed.insert(QStringLiteral("B2_ACCOUNT_KEY"), QStringLiteral("new key"));
        const Destination second = f.writer.save(first, changed, f.store, first);
        QVERIFY(second.credentialID != first.credentialID);
        QCOMPARE(f.store.destinations(), QList<Destination> { second });
        QCOMPARE(
            f.credentials.resticEnvironment(second).value(QStringLiteral("B2_ACCOUNT_KEY")), QStringLiteral("new key"));
        // The earlier items are not the writer's to delete.
        QCOMPARE(f.credentials.secret(CredentialRole::b2AccountKey, first.credentialID), QStringLiteral("key"));
        QVERIFY(f.seal.verify() == ConfigIntegrity::valid());
    }

    void secretsMustBePresent_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<Environment>("environment");
        QTest::addColumn<QString>("error");
        const int local = int(Destination::Kind::local);
        QTest::newRow("no password") << local << Environment {} << "Missing Repository password.";
        QTest::newRow("empty password") << local << Environment { { "RESTIC_PASSWORD", "" } }
                                        << "Missing Repository password.";
        QTest::newRow("spaces are a password") << local << Environment { { "RESTIC_PASSWORD", "   " } } << QString();
        Environment noKey = b2Environment;
        noKey.remove(QStringLiteral("B2_ACCOUNT_KEY"));
        QTest::newRow("b2 without its key")
            << int(Destination::Kind::backblazeB2) << noKey << "Missing Application key.";
        QTest::newRow("s3 without its secret") << int(Destination::Kind::s3)
                                               << Environment { { "RESTIC_PASSWORD", "p" },
                                                      { "AWS_ACCESS_KEY_ID", "id" }, { "AWS_SECRET_ACCESS_KEY", "" } }
                                               << "Missing Secret access key.";
    }

    void secretsMustBePresent()
    {
        QFETCH(int, kind);
        QFETCH(Environment, environment);
        QFETCH(QString, error);
        WriterFixture f;
        const Destination draft
            = SealFixture::destination(QStringLiteral("D"), Destination::Kind(kind), QStringLiteral("/srv/d"));
        QCOMPARE(errorOf([&] { f.writer.save(draft, environment, f.store); }), error);
        if (error.isEmpty()) {
            QCOMPARE(f.store.destinations().size(), 1);
            QCOMPARE(f.secrets->count(), 1);
        } else {
            // Items written before the missing one are gone again.
            QVERIFY(f.store.destinations().isEmpty());
            QCOMPARE(f.secrets->count(), 0);
        }
    }

    void failedSaveRemovesFreshItems_data()
    {
        QTest::addColumn<bool>("keyringWriteFails");
        QTest::addColumn<bool>("cleanupFails");
        QTest::addColumn<QString>("error");
        const QString conflict = DestinationStore::conflictMessage();
        QTest::newRow("stale copy") << false << false << conflict;
        QTest::newRow("keyring write fails") << true << false << "Keyring error: The keyring is locked.";
        QTest::newRow("cleanup fails too")
            << false << true
            << conflict + " Temporary credential cleanup also failed: Keyring error: The keyring is locked.";
    }

    void failedSaveRemovesFreshItems()
    {
        QFETCH(bool, keyringWriteFails);
        QFETCH(bool, cleanupFails);
        QFETCH(QString, error);
        WriterFixture f;
        const Destination draft = SealFixture::destination(
            QStringLiteral("Offsite"), Destination::Kind::backblazeB2, QStringLiteral("b2:x:y"));
        const Destination saved = f.writer.save(draft, b2Environment, f.store);
        Destination stale = saved;
        stale.name = QStringLiteral("Not what is stored");
        const auto before = f.snapshotFiles();

        f.secrets->failWrites = keyringWriteFails;
        f.secrets->failRemovals = cleanupFails;
        QCOMPARE(errorOf([&] { f.writer.save(saved, b2Environment, f.store, stale); }), error);
        QCOMPARE(f.snapshotFiles(), before);
        QCOMPARE(f.store.destinations(), QList<Destination> { saved });
        QCOMPARE(f.secrets->count(), cleanupFails ? 6 : 3);
    }
};

QTEST_GUILESS_MAIN(DestinationWriterTest)
#include "DestinationWriterTest.moc"
