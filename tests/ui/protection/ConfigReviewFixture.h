#pragma once

#include "SealFixture.h"
#include "config/DestinationStore.h"

#include <memory>

namespace vellmir::test {

// A sealed configuration of two destinations ("Pictures", "Offsite") and a store over it, put
// into one of the states the review settles.
struct ConfigReviewFixture : SealFixture {
    QList<Destination> pair = sealedPair();
    std::unique_ptr<DestinationStore> store;

    // Someone added a destination to the file behind the application's back.
    void changeOutside()
    {
        QList<Destination> list = pair;
        list.append(destination(QStringLiteral("Intruder"), Destination::Kind::sftp, QStringLiteral("sftp:evil:/x")));
        writeDestinations(list);
        makeStore(keys);
    }

    // Someone replaced the stored secrets of the named destinations.
    void replaceSecrets(const QStringList &names)
    {
        for (const Destination &d : std::as_const(pair)) {
            if (names.contains(d.name)) {
                for (CredentialRole role : credentialRoles(d.kind))
                    credentials.setSecret(QStringLiteral("replaced"), role, d.credentialID);
            }
        }
        makeStore(keys);
    }

    // The same files seen on a computer that has no seal key.
    void moveToAnotherComputer() { makeStore(std::make_shared<MemorySealKeyStore>()); }

    void makeStore(std::shared_ptr<SealKeyStore> storeKeys)
    {
        store
            = std::make_unique<DestinationStore>(destinationsPath, credentials, std::move(storeKeys), userDefaultsPath);
    }
};

} // namespace vellmir::test
