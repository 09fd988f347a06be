#pragma once

#include "util/Error.h"

namespace vellmir {

// A failure of the system keyring other than a missing item: no Secret Service on the bus, a
// locked keyring, a refused prompt, a D-Bus error. Never means "no secret".
class KeyringError : public Error {
public:
    // "Keyring error: " and the system's message, or "OSStatus " and the code when the system gave no text.
    static KeyringError unexpectedStatus(const QString &systemMessage, int code = 0)
    {
        const QString text = systemMessage.trimmed();
        return KeyringError(QStringLiteral("Keyring error: ")
            + (text.isEmpty() ? QStringLiteral("OSStatus ") + QString::number(code) : text));
    }

private:
    explicit KeyringError(QString message)
        : Error(std::move(message))
    {
    }
};

} // namespace vellmir
