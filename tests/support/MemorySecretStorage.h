#pragma once

#include "platform/KeyringError.h"
#include "platform/SecretStorage.h"
#include "util/Error.h"

#include <QMap>
#include <QPair>
#include <mutex>

namespace vellmir::test {

// An in-memory secret store for tests of everything above the keyring. Each operation can be
// made to fail on demand, with a keyring-style error sentence.
class MemorySecretStorage : public SecretStorage {
public:
    std::optional<QString> password(const QString &service, const QString &account) const override
    {
        std::lock_guard guard(m_mutex);
        if (cancelReads)
            throw CancellationError(); // a read that the caller's stop ended
        if (failReads)
            throw KeyringError::unexpectedStatus(QStringLiteral("The keyring is locked."));
        auto it = m_items.find({ service, account });
        if (it == m_items.end())
            return std::nullopt;
        return it.value();
    }

    QMap<QString, QString> passwords(const QString &service, const QStringList &accounts) const override
    {
        std::lock_guard guard(m_mutex);
        if (cancelReads)
            throw CancellationError(); // a read that the caller's stop ended
        if (failReads)
            throw KeyringError::unexpectedStatus(QStringLiteral("The keyring is locked."));
        QMap<QString, QString> found;
        for (const QString &account : accounts) {
            const auto it = m_items.constFind({ service, account });
            if (it != m_items.cend())
                found.insert(account, it.value());
        }
        return found;
    }

    void set(const QString &secret, const QString &service, const QString &account) override
    {
        std::lock_guard guard(m_mutex);
        if (failWrites)
            throw KeyringError::unexpectedStatus(QStringLiteral("The keyring is locked."));
        m_items.insert({ service, account }, secret);
    }

    void remove(const QString &service, const QString &account) override
    {
        std::lock_guard guard(m_mutex);
        if (failRemovals)
            throw KeyringError::unexpectedStatus(QStringLiteral("The keyring is locked."));
        m_items.remove({ service, account });
    }

    int count() const
    {
        std::lock_guard guard(m_mutex);
        return static_cast<int>(m_items.size());
    }

    bool failReads = false;
    bool cancelReads = false;
    bool failWrites = false;
    bool failRemovals = false;

private:
    mutable std::mutex m_mutex;
    QMap<QPair<QString, QString>, QString> m_items;
};

} // namespace vellmir::test
