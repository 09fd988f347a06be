#include "config/CredentialsStore.h"
#include "platform/KeyringStore.h"

#include "config/ConfigError.h"
#include "platform/KeyringSession.h"
#include "util/Uuid.h"

namespace vellmir {

CredentialsStore::CredentialsStore(std::shared_ptr<SecretStorage> keyring)
    : m_keyring(std::move(keyring))
{
}

QString CredentialsStore::service()
{
    return KeyringStore::applicationService();
}

QString CredentialsStore::account(CredentialRole role, const QUuid &credentialID)
{
    return uuidText(credentialID) + u'.' + CredentialRoles::toString(role);
}

std::optional<QString> CredentialsStore::secret(CredentialRole role, const QUuid &credentialID) const
{
    return m_keyring->password(service(), account(role, credentialID));
}

std::optional<QString> CredentialSecrets::secret(CredentialRole role, const QUuid &credentialID) const
{
    const auto it = m_byAccount.constFind(CredentialsStore::account(role, credentialID));
    if (it == m_byAccount.cend())
        return std::nullopt;
    return *it;
}

QStringList CredentialsStore::accounts(const QList<Destination> &destinations)
{
    QStringList accounts;
    for (const Destination &destination : destinations)
        for (CredentialRole role : credentialRoles(destination.kind))
            accounts.append(account(role, destination.credentialID));
    accounts.removeDuplicates();
    return accounts;
}

CredentialSecrets CredentialsStore::read(const QStringList &accounts) const
{
    return CredentialSecrets(m_keyring->passwords(service(), accounts));
}

void CredentialsStore::setSecret(const QString &secret, CredentialRole role, const QUuid &credentialID) const
{
    m_keyring->set(secret, service(), account(role, credentialID));
}

QMap<QString, QString> CredentialsStore::resticEnvironment(const Destination &destination) const
{
    // The roles' items in one read, however many the kind needs.
    const QMap<QString, QString> secrets = m_keyring->passwords(service(), accounts({ destination }));
    QMap<QString, QString> environment;
    environment.insert(QStringLiteral("RESTIC_REPOSITORY"), destination.repository);
    for (CredentialRole role : credentialRoles(destination.kind)) {
        const QString value = secrets.value(account(role, destination.credentialID));
        if (value.isEmpty())
            throw ConfigError(QStringLiteral("Missing ") + CredentialRoles::label(role)
                + QStringLiteral(". Edit the destination and supply its credentials before running."));
        environment.insert(CredentialRoles::environmentVariable(role), value);
    }
    return environment;
}

void CredentialsStore::removeSecret(CredentialRole role, const QUuid &credentialID) const
{
    m_keyring->remove(service(), account(role, credentialID));
}

void CredentialsStore::removeAll(const QUuid &credentialID) const
{
    const KeyringSession session;
    for (CredentialRole role : CredentialRoles::all())
        m_keyring->remove(service(), account(role, credentialID));
}

} // namespace vellmir
