#pragma once

#include "platform/SealKeyStore.h"
#include "util/Error.h"

#include <mutex>

namespace vellmir::test {

// An in-memory seal key store. Like the keyring store, create() refuses to replace a key.
// Reads and creation can be made to fail on demand, creation also after storing the key.
class MemorySealKeyStore : public SealKeyStore {
public:
    std::optional<SymmetricKey> key() const override
    {
        std::lock_guard guard(m_mutex);
        if (cancelReads)
            throw CancellationError(); // a read that the caller's stop ended
        if (failReads)
            throw SealKeyError::unavailable(SealKeyError::Status::locked, QStringLiteral("The keyring is locked."));
        return m_key;
    }

    SymmetricKey store(const SymmetricKey &key) override
    {
        std::lock_guard guard(m_mutex);
        if (failCreates)
            throw SealKeyError::unavailable(SealKeyError::Status::locked, QStringLiteral("The keyring is locked."));
        if (m_key)
            throw SealKeyError::unavailable(SealKeyError::Status::duplicateItem,
                QStringLiteral("The specified item already exists in the keyring."));
        m_key = key;
        ++createCount;
        if (failAfterStoring)
            throw SealKeyError::unavailable(SealKeyError::Status::unreachable, QStringLiteral("The call timed out."));
        return *m_key;
    }

    void forget()
    {
        std::lock_guard guard(m_mutex);
        m_key.reset();
    }

    bool failReads = false;
    bool cancelReads = false;
    bool failCreates = false;
    // The key is stored but the caller never learns it, as when a process dies right after.
    bool failAfterStoring = false;
    int createCount = 0;

private:
    mutable std::mutex m_mutex;
    std::optional<SymmetricKey> m_key;
};

} // namespace vellmir::test
