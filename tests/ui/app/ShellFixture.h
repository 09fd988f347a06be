#pragma once

#include "SealFixture.h"
#include "config/DestinationStore.h"

#include <memory>

namespace vellmir::test {

// The application's one store over a private configuration folder with in-memory secrets and
// seal key; the health rows read the private home's (empty) history.
struct ShellFixture : SealFixture {
    std::unique_ptr<DestinationStore> makeStore(std::shared_ptr<SealKeyStore> keyStore = nullptr) const
    {
        return std::make_unique<DestinationStore>(
            destinationsPath, credentials, keyStore ? keyStore : keys, userDefaultsPath);
    }

    // Another program rewrites the destinations file without resealing it.
    void changeOutside(QList<Destination> list) const
    {
        list.append(destination(QStringLiteral("Elsewhere"), Destination::Kind::local, QStringLiteral("/srv/x")));
        writeDestinations(list);
    }
};

} // namespace vellmir::test
