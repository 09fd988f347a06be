#pragma once

#include "util/Error.h"

#include <QByteArray>
#include <optional>

namespace vellmir {

// The 256-bit key that signs the configuration seal. Never logged, never written to a file.
class SymmetricKey {
public:
    static constexpr int size = 32;

    explicit SymmetricKey(QByteArray bytes)
        : m_bytes(std::move(bytes))
    {
    }
    // 32 bytes from the system's cryptographic random source.
    static SymmetricKey random();

    const QByteArray &bytes() const { return m_bytes; }
    friend bool operator==(const SymmetricKey &, const SymmetricKey &) = default;

private:
    QByteArray m_bytes;
};

// A failure of the store that keeps the seal key. A missing key is not an error.
class SealKeyError : public Error {
public:
    enum class Status {
        unreachable, // no secret service, a D-Bus failure, or a machine id that cannot be read
        locked, // the keyring is locked; we never prompt to unlock it
        duplicateItem, // create() found a key already stored
        decodeFailed, // an item exists but does not hold a 32-byte key
    };

    // "Vellmir could not reach its protected keyring: " + reason
    static SealKeyError unavailable(Status status, const QString &reason);

    Status status() const { return m_status; }

private:
    SealKeyError(Status status, const QString &message)
        : Error(message)
        , m_status(status)
    {
    }
    Status m_status;
};

// Where the seal key lives: once per computer and user, readable only here.
class SealKeyStore {
public:
    virtual ~SealKeyStore() = default;
    // The stored key, or nullopt when none is stored. Throws SealKeyError for anything else.
    virtual std::optional<SymmetricKey> key() const = 0;
    // Makes a new random key, stores it and returns it. Fails with duplicateItem rather than
    // replace a key that is already stored. Throws SealKeyError.
    SymmetricKey create() { return store(SymmetricKey::random()); }
    // Stores `key` as this computer's key and returns the key now stored: should two processes
    // store one at once, both get the same one. Lets a caller put a seal made with the key on
    // disk before the key exists. Fails with duplicateItem rather than replace a stored key.
    virtual SymmetricKey store(const SymmetricKey &key) = 0;
};

} // namespace vellmir
