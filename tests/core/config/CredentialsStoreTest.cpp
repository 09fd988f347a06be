#include "config/CredentialsStore.h"
#include "MemorySecretStorage.h"
#include "config/ConfigError.h"
#include "platform/KeyringError.h"
#include "util/Uuid.h"

#include <QtTest>

using namespace vellmir;
using vellmir::test::MemorySecretStorage;

Q_DECLARE_METATYPE(Destination::Kind)

namespace {

using Environment = QMap<QString, QString>;
using RoleSecrets = QList<QPair<CredentialRole, QString>>;

const QUuid credentialID = QUuid(QStringLiteral("{3f2a9c1e-7b4d-4e8f-a0b1-c2d3e4f5a6b7}"));

Destination destination(Destination::Kind kind, const QString &repository)
{
    Destination d;
    d.id = QUuid(QStringLiteral("{0d6e2c4a-1111-4222-8333-944455566677}"));
    d.credentialID = credentialID;
    d.kind = kind;
    d.repository = repository;
    return d;
}

QString missing(const char *label)
{
    return QStringLiteral("Missing ") + QLatin1String(label)
        + QStringLiteral(". Edit the destination and supply its credentials before running.");
}

} // namespace

class CredentialsStoreTest : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<MemorySecretStorage> m_memory;
    std::optional<CredentialsStore> m_store;

    void store(const RoleSecrets &secrets, const QUuid &id = credentialID)
    {
        for (const auto &[role, value] : secrets)
            m_store->setSecret(value, role, id);
    }

private Q_SLOTS:
    void init()
    {
        m_memory = std::make_shared<MemorySecretStorage>();
        m_store.emplace(m_memory);
    }

    void accountIsUpperCaseIdDotRole()
    {
        QCOMPARE(CredentialsStore::service(), QStringLiteral("org.vellmir.Vellmir"));
        QCOMPARE(CredentialsStore::account(CredentialRole::repoPassword, credentialID),
            QStringLiteral("3F2A9C1E-7B4D-4E8F-A0B1-C2D3E4F5A6B7.repoPassword"));
        QCOMPARE(CredentialsStore::account(CredentialRole::awsSecretAccessKey, credentialID),
            QStringLiteral("3F2A9C1E-7B4D-4E8F-A0B1-C2D3E4F5A6B7.awsSecretAccessKey"));
        // The items really live under that service and account.
        m_store->setSecret(QStringLiteral("pw"), CredentialRole::b2AccountKey, credentialID);
        QCOMPARE(m_memory->password(QStringLiteral("org.vellmir.Vellmir"),
                     QStringLiteral("3F2A9C1E-7B4D-4E8F-A0B1-C2D3E4F5A6B7.b2AccountKey")),
            std::optional<QString>(QStringLiteral("pw")));
    }

    // Secrets of every role are stored, so a role the kind does not need must stay out.
    void environmentHoldsExactlyTheKindsRoles_data()
    {
        QTest::addColumn<Destination::Kind>("kind");
        QTest::addColumn<QString>("repository");
        QTest::addColumn<Environment>("expected");

        QTest::newRow("local") << Destination::Kind::local << QStringLiteral("/srv/backup/repo ")
                               << Environment { { QStringLiteral("RESTIC_REPOSITORY"),
                                                    QStringLiteral("/srv/backup/repo ") },
                                      { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") } };
        QTest::newRow("sftp") << Destination::Kind::sftp << QStringLiteral("sftp:ana@nas:/backups")
                              << Environment { { QStringLiteral("RESTIC_REPOSITORY"),
                                                   QStringLiteral("sftp:ana@nas:/backups") },
                                     { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") } };
        QTest::newRow("b2") << Destination::Kind::backblazeB2 << QStringLiteral("b2:bucket:/mac")
                            << Environment { { QStringLiteral("RESTIC_REPOSITORY"), QStringLiteral("b2:bucket:/mac") },
                                   { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") },
                                   { QStringLiteral("B2_ACCOUNT_ID"), QStringLiteral("b2-id") },
                                   { QStringLiteral("B2_ACCOUNT_KEY"), QStringLiteral("b2-key") } };
        QTest::newRow("s3") << Destination::Kind::s3 << QStringLiteral("s3:https://s3.example.net/bucket")
                            << Environment {
                                   { QStringLiteral("RESTIC_REPOSITORY"),
                                       QStringLiteral("s3:https://s3.example.net/bucket") },
                                   { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("pw") },
                                   { QStringLiteral("AWS_ACCESS_KEY_ID"), QStringLiteral("aws-id") },
                                   { QStringLiteral("AWS_SECRET_ACCESS_KEY"), QStringLiteral("aws-secret") },
                               };
    }

    void environmentHoldsExactlyTheKindsRoles()
    {
        QFETCH(Destination::Kind, kind);
        QFETCH(QString, repository);
        QFETCH(Environment, expected);
        store({ { CredentialRole::repoPassword, QStringLiteral("pw") },
            { CredentialRole::b2AccountID, QStringLiteral("b2-id") },
            { CredentialRole::b2AccountKey, QStringLiteral("b2-key") },
            { CredentialRole::awsAccessKeyID, QStringLiteral("aws-id") },
            { CredentialRole::awsSecretAccessKey, QStringLiteral("aws-secret") } });
        // Another credential's secrets are never picked up.
        store({ { CredentialRole::repoPassword, QStringLiteral("other") } }, QUuid::createUuid());

        QCOMPARE(m_store->resticEnvironment(destination(kind, repository)), expected);
    }

    void firstMissingRoleNamesTheSentence_data()
    {
        QTest::addColumn<Destination::Kind>("kind");
        QTest::addColumn<RoleSecrets>("present");
        QTest::addColumn<QString>("message");

        const auto pw = qMakePair(CredentialRole::repoPassword, QStringLiteral("pw"));
        QTest::newRow("local without password")
            << Destination::Kind::local << RoleSecrets {} << missing("Repository password");
        QTest::newRow("empty password counts as missing")
            << Destination::Kind::sftp << RoleSecrets { { CredentialRole::repoPassword, QString() } }
            << missing("Repository password");
        QTest::newRow("b2 without both keys")
            << Destination::Kind::backblazeB2 << RoleSecrets { pw } << missing("Account ID");
        QTest::newRow("b2 without application key")
            << Destination::Kind::backblazeB2
            << RoleSecrets { pw, { CredentialRole::b2AccountID, QStringLiteral("id") } } << missing("Application key");
        QTest::newRow("b2 with keys but no password")
            << Destination::Kind::backblazeB2
            << RoleSecrets { { CredentialRole::b2AccountID, QStringLiteral("id") },
                   { CredentialRole::b2AccountKey, QStringLiteral("key") } }
            << missing("Repository password");
        QTest::newRow("s3 without both keys")
            << Destination::Kind::s3 << RoleSecrets { pw } << missing("Access key ID");
        QTest::newRow("s3 with an empty secret key")
            << Destination::Kind::s3
            << RoleSecrets { pw, { CredentialRole::awsAccessKeyID, QStringLiteral("id") },
                   { CredentialRole::awsSecretAccessKey, QString() } }
            << missing("Secret access key");
        QTest::newRow("b2 keys do not serve s3")
            << Destination::Kind::s3
            << RoleSecrets { pw, { CredentialRole::b2AccountID, QStringLiteral("id") },
                   { CredentialRole::b2AccountKey, QStringLiteral("key") } }
            << missing("Access key ID");
    }

    void firstMissingRoleNamesTheSentence()
    {
        QFETCH(Destination::Kind, kind);
        QFETCH(RoleSecrets, present);
        QFETCH(QString, message);
        store(present);
        try {
            m_store->resticEnvironment(destination(kind, QStringLiteral("/repo")));
            QFAIL("built an environment with a credential missing");
        } catch (const ConfigError &error) {
            QCOMPARE(error.message(), message);
        }
    }

    // A keyring failure is never read as a missing credential.
    void keyringFailureIsThrownAsItIs()
    {
        store({ { CredentialRole::repoPassword, QStringLiteral("pw") } });
        m_memory->failReads = true;
        try {
            m_store->resticEnvironment(destination(Destination::Kind::local, QStringLiteral("/repo")));
            QFAIL("a failing keyring gave an environment");
        } catch (const KeyringError &error) {
            QCOMPARE(error.message(), QStringLiteral("Keyring error: The keyring is locked."));
        } catch (const ConfigError &error) {
            QFAIL(qPrintable(QStringLiteral("keyring failure reported as: ") + error.message()));
        }
    }

    void keyringErrorWithoutSystemTextNamesTheStatus()
    {
        QCOMPARE(KeyringError::unexpectedStatus(QStringLiteral(" "), -25293).message(),
            QStringLiteral("Keyring error: OSStatus -25293"));
        QCOMPARE(KeyringError::unexpectedStatus(QStringLiteral("The keyring is locked."), 2).message(),
            QStringLiteral("Keyring error: The keyring is locked."));
    }

    void removeAllRemovesEveryRoleOfThatCredentialOnly()
    {
        const QUuid other = QUuid::createUuid();
        RoleSecrets all;
        for (CredentialRole role : CredentialRoles::all())
            all.append({ role, CredentialRoles::toString(role) });
        store(all);
        store(all, other);
        QCOMPARE(m_memory->count(), 10);

        m_store->removeAll(credentialID);
        QCOMPARE(m_memory->count(), 5);
        for (CredentialRole role : CredentialRoles::all()) {
            QVERIFY(!m_store->secret(role, credentialID));
            QVERIFY(m_store->secret(role, other));
        }
        // Again, with nothing left to remove.
        m_store->removeAll(credentialID);
        QCOMPARE(m_memory->count(), 5);
    }

    void removeAllStopsAtTheFirstFailure()
    {
        store({ { CredentialRole::repoPassword, QStringLiteral("pw") } });
        m_memory->failRemovals = true;
        QVERIFY_THROWS_EXCEPTION(KeyringError, m_store->removeAll(credentialID));
        QCOMPARE(m_memory->count(), 1);
    }
};

QTEST_GUILESS_MAIN(CredentialsStoreTest)
#include "CredentialsStoreTest.moc"
