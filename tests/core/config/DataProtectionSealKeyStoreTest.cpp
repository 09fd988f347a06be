#include "KeyringControl.h"

#include "TestSupport.h"
#include "config/ConfigSeal.h"
#include "platform/DataProtectionSealKeyStore.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace vellmir;

// Runs against the real Secret Service (scripts/with-keyring provides a throwaway keyring).
class DataProtectionSealKeyStoreTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString machineIdFile(const QString &id)
    {
        const QString path = m_dir.filePath(id);
        test::writeFile(path, id.toLatin1() + '\n');
        return path;
    }

private Q_SLOTS:
    void init()
    {
        // Every case but the first writes into a keyring: only the throwaway one of scripts/with-keyring.
        if (QByteArray(QTest::currentTestFunction()) != "unreachableServiceIsAnErrorNotAMissingKey"
            && qEnvironmentVariable("VELLMIR_TEST_KEYRING") != QStringLiteral("1"))
            QSKIP("needs the private keyring of scripts/with-keyring");
    }

    // First, before libsecret keeps a connection: with no secret service on the bus, the answer
    // is an error, never "no key" (which would read as another computer's configuration).
    void unreachableServiceIsAnErrorNotAMissingKey()
    {
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_dir.filePath(QStringLiteral("no-bus")).toUtf8());
        DataProtectionSealKeyStore store(machineIdFile(QStringLiteral("00000000000000000000000000000000")));
        bool keyThrew = false;
        try {
            store.key();
        } catch (const SealKeyError &error) {
            keyThrew = error.status() == SealKeyError::Status::unreachable;
        }
        const SealAccessCheck check = checkSealAccess(store);
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        QVERIFY(keyThrew);
        QVERIFY(check.output.startsWith(QStringLiteral("Vellmir could not reach its protected keyring: ")));
        QVERIFY(check.output.endsWith(u'\n'));
        QCOMPARE(check.exitStatus, 1);
    }

    void createsOneKeyPerMachineAndNeverReplacesIt()
    {
        DataProtectionSealKeyStore here(machineIdFile(QStringLiteral("0123456789abcdef0123456789abcdef")));
        QVERIFY(!here.key());
        QCOMPARE(checkSealAccess(here).output, QStringLiteral("Seal keyring: reachable\n"));

        const SymmetricKey created = here.create();
        QCOMPARE(created.bytes().size(), 32);
        QCOMPARE(here.key(), std::optional<SymmetricKey>(created));

        try {
            here.create();
            QFAIL("a second key was created");
        } catch (const SealKeyError &error) {
            QVERIFY(error.status() == SealKeyError::Status::duplicateItem);
            QVERIFY(error.message().startsWith(QStringLiteral("Vellmir could not reach its protected keyring: ")));
        }
        QCOMPARE(here.key(), std::optional<SymmetricKey>(created));

        // The same keyring seen from a computer with another machine id holds no key for it.
        DataProtectionSealKeyStore elsewhere(machineIdFile(QStringLiteral("fedcba9876543210fedcba9876543210")));
        QVERIFY(!elsewhere.key());
        const SymmetricKey other = elsewhere.create();
        QVERIFY(other != created);
        QCOMPARE(here.key(), std::optional<SymmetricKey>(created));
        QCOMPARE(elsewhere.key(), std::optional<SymmetricKey>(other));
    }

    void unreadableMachineIdIsAnErrorNotAMissingKey()
    {
        DataProtectionSealKeyStore store(m_dir.filePath(QStringLiteral("no-such-file")));
        QVERIFY_THROWS_EXCEPTION(SealKeyError, store.key());
        QVERIFY_THROWS_EXCEPTION(SealKeyError, store.create());
        QCOMPARE(checkSealAccess(store).exitStatus, 1);
    }

    // A locked keyring and a damaged item are errors of their own kind, never "no key" and never
    // a prompt: the key's collection locked, create() into a locked default collection, and items
    // of the key's schema that do not hold a 32-byte key.
    void lockedAndDamagedKeysAreErrors()
    {
        test::KeyringControl keyring;
        const QByteArray collection = keyring.useNewDefaultCollection("Vellmir seal key lock test");
        QVERIFY(keyring.ok());
        DataProtectionSealKeyStore store(machineIdFile(QStringLiteral("11111111111111111111111111111111")));
        const SymmetricKey created = store.create();
        keyring.lock(collection);
        const auto status = [](const std::function<void()> &call) {
            try {
                call();
            } catch (const SealKeyError &error) {
                return std::optional<SealKeyError::Status>(error.status());
            }
            return std::optional<SealKeyError::Status>();
        };
        QCOMPARE(status([&] { (void)store.key(); }), SealKeyError::Status::locked);
        DataProtectionSealKeyStore other(machineIdFile(QStringLiteral("22222222222222222222222222222222")));
        QCOMPARE(status([&] { (void)other.create(); }), SealKeyError::Status::locked);
        keyring.restoreDefault();
        keyring.unlock(collection);
        QVERIFY(keyring.ok());
        QCOMPARE(store.key(), std::optional<SymmetricKey>(created));

        int machine = 3;
        for (const char *stored : { "not Base64 at all!", "c2hvcnQ=" }) {
            const QString id = QString(32, QChar(u'0' + machine++));
            const QByteArray service = DataProtectionSealKeyStore::service().toUtf8();
            const QByteArray account = DataProtectionSealKeyStore::account().toUtf8();
            const QByteArray machineId = id.toUtf8();
            SecretSchema schema {};
            schema.name = "org.vellmir.Vellmir.SealKey";
            schema.attributes[0] = { "service", SECRET_SCHEMA_ATTRIBUTE_STRING };
            schema.attributes[1] = { "account", SECRET_SCHEMA_ATTRIBUTE_STRING };
            schema.attributes[2] = { "machine-id", SECRET_SCHEMA_ATTRIBUTE_STRING };
            GError *error = nullptr;
            secret_password_store_sync(&schema, SECRET_COLLECTION_DEFAULT, "damaged seal key", stored, nullptr, &error,
                "service", service.constData(), "account", account.constData(), "machine-id", machineId.constData(),
                nullptr);
            QVERIFY(test::keyringCallSucceeded(error));
            DataProtectionSealKeyStore damaged(machineIdFile(id));
            QCOMPARE(status([&] { (void)damaged.key(); }), SealKeyError::Status::decodeFailed);
            QCOMPARE(status([&] { (void)damaged.create(); }), SealKeyError::Status::duplicateItem);
        }
    }

    void defaultStoreReachesTheKeyring()
    {
        const SealAccessCheck check = checkSealAccess(DataProtectionSealKeyStore());
        QCOMPARE(check.output, QStringLiteral("Seal keyring: reachable\n"));
        QCOMPARE(check.exitStatus, 0);
    }
};

QTEST_GUILESS_MAIN(DataProtectionSealKeyStoreTest)
#include "DataProtectionSealKeyStoreTest.moc"
