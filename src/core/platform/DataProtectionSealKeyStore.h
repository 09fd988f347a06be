#pragma once

#include "platform/SealKeyStore.h"

#include <QStringList>
#include <chrono>

namespace vellmir {

// The seal key in the desktop keyring (Secret Service), as an item of its own schema. The item
// carries this computer's machine id as an attribute, so a keyring carried to another computer
// finds no key there and the configuration reads as brought from another machine. The keyring
// is never asked to unlock: a locked keyring is an error, not a prompt. Like the credentials, it
// holds no connection between calls (or joins the thread's KeyringSession), never autolaunches
// a bus, and bounds every call in time.
class DataProtectionSealKeyStore : public SealKeyStore {
public:
    // Binds the key to /etc/machine-id (or /var/lib/dbus/machine-id where that is missing).
    DataProtectionSealKeyStore();
    // Binds the key to the id held in the given file.
    explicit DataProtectionSealKeyStore(const QString &machineIdPath);
    // As above, with a time bound per call other than the credentials' default.
    DataProtectionSealKeyStore(const QString &machineIdPath, std::chrono::milliseconds timeLimit);

    std::optional<SymmetricKey> key() const override;
    SymmetricKey store(const SymmetricKey &key) override;

    static QString service(); // the credentials' service followed by ".config-seal"
    static QString account(); // "seal-key"

private:
    QString machineId() const;

    QStringList m_machineIdPaths;
    std::chrono::milliseconds m_timeLimit;
};

} // namespace vellmir
