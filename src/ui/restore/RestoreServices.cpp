#include "restore/RestoreServices.h"

#include "platform/KeyringStore.h"

#include <memory>

namespace vellmir {

RestoreServices RestoreServices::standard()
{
    CredentialsStore credentials(std::make_shared<KeyringStore>());
    return RestoreServices { ResticEngine(), credentials, RepositoryHealthStore(credentials) };
}

RestoreRunner *RestoreServices::makeRunner(QObject *parent) const
{
    return new RestoreRunner(engine, credentials, healthStore, parent);
}

} // namespace vellmir
