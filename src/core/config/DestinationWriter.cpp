#include "config/DestinationWriter.h"

#include "config/ConfigError.h"
#include "config/DestinationStore.h"
#include "platform/KeyringSession.h"
#include "util/Uuid.h"

namespace vellmir {

DestinationWriter::DestinationWriter(CredentialsStore credentials)
    : m_credentials(std::move(credentials))
{
}

Destination DestinationWriter::save(const Destination &destination, const QMap<QString, QString> &environment,
    DestinationStore &store, const std::optional<Destination> &expected,
    const std::function<void(const QList<Destination> &)> &check) const
{
    // The secrets, the check and the write share one keyring session.
    const KeyringSession session;
    Destination copy = destination;
    copy.credentialID = newUuid();
    try {
        for (CredentialRole role : credentialRoles(copy.kind)) {
            // Only an empty value is missing; spaces may well be part of a password.
            const QString value = environment.value(CredentialRoles::environmentVariable(role));
            if (value.isEmpty())
                throw ConfigError(QStringLiteral("Missing ") + CredentialRoles::label(role) + u'.');
            m_credentials.setSecret(value, role, copy.credentialID);
        }
        store.upsert(copy, expected, check);
    } catch (const std::exception &error) {
        try {
            // Also when a signal ended the change: a secret of a destination that does not exist
            // must not stay behind.
            const KeyringCleanup cleanup;
            m_credentials.removeAll(copy.credentialID);
        } catch (const std::exception &cleanup) {
            throw ConfigError(errorDescription(error) + QStringLiteral(" Temporary credential cleanup also failed: ")
                + errorDescription(cleanup));
        }
        throw;
    }
    return copy;
}

} // namespace vellmir
