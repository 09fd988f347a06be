#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellmir {

// Where secrets live. The application uses the system keyring (KeyringStore); tests use an
// in-memory store. "Absent" is only ever a real miss: every other failure throws.
class SecretStorage {
public:
    virtual ~SecretStorage() = default;
    // The secret, or nullopt when no item exists. Throws KeyringError on any other failure.
    virtual std::optional<QString> password(const QString &service, const QString &account) const = 0;
    // The items of `service` with these accounts as account -> secret, read at once; accounts
    // without an item are left out. For one operation: callers drop the map when it ends.
    // Throws KeyringError like password().
    virtual QMap<QString, QString> passwords(const QString &service, const QStringList &accounts) const = 0;
    // Creates or replaces the item. Throws KeyringError.
    virtual void set(const QString &secret, const QString &service, const QString &account) = 0;
    // Deletes the item; a missing item is not a failure. Throws KeyringError.
    virtual void remove(const QString &service, const QString &account) = 0;
};

} // namespace vellmir
