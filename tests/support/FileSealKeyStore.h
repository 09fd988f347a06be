#pragma once

#include "platform/SealKeyStore.h"
#include "util/AtomicFile.h"

#include <QFileInfo>

namespace vellmir::test {

// A seal key kept in a file, for tests whose processes must share one key (the in-memory
// store dies with its process). Like the keyring store, create() refuses to replace a key.
class FileSealKeyStore : public SealKeyStore {
public:
    explicit FileSealKeyStore(QString path)
        : m_path(std::move(path))
    {
    }

    std::optional<SymmetricKey> key() const override
    {
        const std::optional<QByteArray> bytes = readFileIfExists(m_path);
        if (!bytes)
            return std::nullopt;
        if (bytes->size() != SymmetricKey::size)
            throw SealKeyError::unavailable(
                SealKeyError::Status::decodeFailed, QStringLiteral("The stored key is damaged."));
        return SymmetricKey(*bytes);
    }

    SymmetricKey store(const SymmetricKey &key) override
    {
        if (QFileInfo::exists(m_path))
            throw SealKeyError::unavailable(SealKeyError::Status::duplicateItem,
                QStringLiteral("The specified item already exists in the keyring."));
        writeFileAtomically(m_path, key.bytes());
        return key;
    }

private:
    QString m_path;
};

} // namespace vellmir::test
