#pragma once

#include "config/DestinationStore.h"
#include "platform/AgentService.h"
#include "util/FileStamp.h"

#include <QElapsedTimer>
#include <QList>
#include <QStringList>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

namespace vellmir {

// What a long-running front end keeps between commands, so that a read command does not check
// the seal, read every secret and ask systemd again while nothing changed. Before each use the
// files behind what is kept are compared with what stat says of them now: the configuration
// files, the keyring's files and the scheduler's units. Any difference, a failed read, or an
// age over maxAge (for a keyring that keeps no files this process can see) and the full read
// runs again. Changes never use what is kept: the store verifies every write in full.
// Shared by the threads that run commands.
class AgentKeptState {
public:
    static constexpr std::chrono::seconds maxAge { 30 };

    // The files whose change makes the kept configuration stale; empty members take the
    // application's own and the keyring's folders.
    struct Files {
        QStringList configuration;
        QStringList keyringFolders;
        QStringList agentUnits;
    };
    AgentKeptState();
    explicit AgentKeptState(Files files);

    // Brings `store` (read by nothing yet, or by an earlier command) to the configuration on
    // disk: what the last full read found while its files are unchanged, else a full read,
    // kept when it succeeded. Throws the read's failure as DestinationStore::reload() does.
    void load(DestinationStore &store);
    // The background agent's registration: the last answer while the unit files are unchanged,
    // else `ask`'s, kept when it did not throw.
    AgentService::Status agentStatus(const std::function<AgentService::Status()> &ask);
    // Drops everything kept, so the next use reads in full.
    void forget();

private:
    template <typename Value> struct Kept {
        std::optional<Value> value;
        QList<FileStamp> stamps;
        QElapsedTimer age;
    };
    QList<FileStamp> configurationStamps() const;
    template <typename Value> static bool fresh(const Kept<Value> &kept, const QList<FileStamp> &now);

    Files m_files;
    std::mutex m_mutex;
    Kept<DestinationStore::Loaded> m_configuration;
    Kept<AgentService::Status> m_agentStatus;
};

} // namespace vellmir
