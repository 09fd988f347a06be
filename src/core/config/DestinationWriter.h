#pragma once

#include "config/CredentialsStore.h"
#include "config/Destination.h"

#include <QList>
#include <QMap>
#include <QString>
#include <functional>
#include <optional>

namespace vellmir {

class DestinationStore;

// Saves a destination together with its secrets. Each save stores the secrets under a fresh
// credential id before the destination is written, so a failed save never touches the
// secrets the saved destination used before; the fresh items are removed again on failure.
class DestinationWriter {
public:
    explicit DestinationWriter(CredentialsStore credentials);

    const CredentialsStore &credentials() const { return m_credentials; }

    // `environment` maps restic's variable names ("RESTIC_PASSWORD", "B2_ACCOUNT_ID", ...) to
    // the secrets; every role the kind needs must be present and non-empty. `expected` is the
    // copy the editor loaded (see DestinationStore::upsert). Returns the destination as saved,
    // with its new credentialID. The items of the previous credentialID are left alone.
    // `check` is passed on to DestinationStore::upsert.
    Destination save(const Destination &destination, const QMap<QString, QString> &environment, DestinationStore &store,
        const std::optional<Destination> &expected = std::nullopt,
        const std::function<void(const QList<Destination> &)> &check = {}) const;

private:
    CredentialsStore m_credentials;
};

} // namespace vellmir
