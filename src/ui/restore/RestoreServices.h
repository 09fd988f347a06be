#pragma once

#include "config/CredentialsStore.h"
#include "engine/ResticEngine.h"
#include "operations/RepositoryHealthStore.h"
#include "operations/RestoreRunner.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace vellmir {

// What the restore views work with: the engine that lists and restores, the secrets that open
// the repository and the health record a verified restore lands in. Views build it with
// standard(); tests hand in a fake restic and an in-memory secret store.
struct RestoreServices {
    ResticEngine engine;
    CredentialsStore credentials;
    RepositoryHealthStore healthStore;

    // The engine's defaults, the login keyring and the default health folder.
    static RestoreServices standard();

    // A new idle runner over these services, owned by `parent`.
    RestoreRunner *makeRunner(QObject *parent) const;
};

// Asks the user for a folder; nullopt when the user cancelled.
using FolderChooser = std::function<std::optional<QString>()>;
// Shows a folder in the file manager.
using FolderOpener = std::function<void(const QString &path)>;

} // namespace vellmir
