#pragma once

#include "config/CredentialRole.h"
#include "config/Destination.h"
#include "platform/SecretStorage.h"

#include <QMap>
#include <QUuid>
#include <memory>

namespace vellmir {

// The secrets of the credential items one operation needs (a check, a save, a removal), read
// from the secret store at once and dropped when it ends; never kept beyond it.
class CredentialSecrets {
public:
    explicit CredentialSecrets(QMap<QString, QString> byAccount = {})
        : m_byAccount(std::move(byAccount))
    {
    }
    // As CredentialsStore::secret(), from what was read.
    std::optional<QString> secret(CredentialRole role, const QUuid &credentialID) const;
    // Adds what another read found.
    void insert(const CredentialSecrets &other) { m_byAccount.insert(other.m_byAccount); }

private:
    QMap<QString, QString> m_byAccount;
};

// A destination's secrets in the secret store: one item per role, under one fixed service,
// with the account "<CREDENTIAL-UUID>.<role>". Holds no state of its own beyond the store.
class CredentialsStore {
public:
    explicit CredentialsStore(std::shared_ptr<SecretStorage> keyring);

    // The fixed service name of every credential item, the same in every start mode.
    static QString service();
    static QString account(CredentialRole role, const QUuid &credentialID);

    std::optional<QString> secret(CredentialRole role, const QUuid &credentialID) const;
    // The accounts of the items the destinations' kinds use, each once.
    static QStringList accounts(const QList<Destination> &destinations);
    // The items of these accounts in one read of the store; missing items are left out. Items
    // of other accounts are never read. Throws the store's error.
    CredentialSecrets read(const QStringList &accounts) const;
    void setSecret(const QString &secret, CredentialRole role, const QUuid &credentialID) const;

    // RESTIC_REPOSITORY plus one variable per role the destination's kind needs, nothing else.
    // Throws ConfigError naming the first missing (absent or empty) role, or the keyring error.
    QMap<QString, QString> resticEnvironment(const Destination &destination) const;
    // Removes one item; a missing item is not a failure.
    void removeSecret(CredentialRole role, const QUuid &credentialID) const;
    // Removes every role's item; missing items are skipped, the first failure is thrown.
    void removeAll(const QUuid &credentialID) const;

    SecretStorage &keyring() const { return *m_keyring; }
    const std::shared_ptr<SecretStorage> &keyringPointer() const { return m_keyring; }

private:
    std::shared_ptr<SecretStorage> m_keyring;
};

} // namespace vellmir
