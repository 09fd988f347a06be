#include "platform/SealKeyStore.h"

#include <QRandomGenerator>
#include <array>

namespace vellmir {

SymmetricKey SymmetricKey::random()
{
    // QRandomGenerator::system() draws from the kernel's CSPRNG (getrandom), not a seeded PRNG.
    std::array<quint32, size / sizeof(quint32)> words {};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    QByteArray bytes(reinterpret_cast<const char *>(words.data()), size);
    words.fill(0);
    return SymmetricKey(std::move(bytes));
}

SealKeyError SealKeyError::unavailable(Status status, const QString &reason)
{
    return SealKeyError(status, QStringLiteral("Vellmir could not reach its protected keyring: ") + reason);
}

} // namespace vellmir
