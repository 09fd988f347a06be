#include "agent/AgentKeptState.h"

#include "config/ConfigSeal.h"
#include "platform/SystemdAgentService.h"
#include "util/AppPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace vellmir {

namespace {

AgentKeptState::Files withDefaults(AgentKeptState::Files files)
{
    if (files.configuration.isEmpty()) {
        const QString destinations = AppPaths::destinationsFile();
        const QString folder = QFileInfo(destinations).absolutePath() + u'/';
        files.configuration = { destinations, folder + ConfigSeal::sealFileName(),
            folder + ConfigSeal::pendingSealFileName(), folder + ConfigSeal::policyFileName() };
    }
    if (files.keyringFolders.isEmpty()) {
        // Where the usual Secret Service daemons keep their collections.
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        files.keyringFolders = { data + QStringLiteral("/keyrings"), data + QStringLiteral("/kwalletd") };
    }
    if (files.agentUnits.isEmpty()) {
        const SystemdAgentService service;
        const QString units = service.options().unitDirectory;
        files.agentUnits = { units, units + u'/' + SystemdAgentService::serviceName(),
            units + u'/' + SystemdAgentService::timerName(), units + QStringLiteral("/timers.target.wants") };
    }
    return files;
}

} // namespace

AgentKeptState::AgentKeptState()
    : AgentKeptState(Files {})
{
}

AgentKeptState::AgentKeptState(Files files)
    : m_files(withDefaults(std::move(files)))
{
}

QList<FileStamp> AgentKeptState::configurationStamps() const
{
    QList<FileStamp> stamps = FileStamp::of(m_files.configuration);
    // A daemon may rewrite a collection in place or replace it: the folders' entries and each file.
    for (const QString &folder : m_files.keyringFolders) {
        stamps.append(FileStamp::of(folder));
        const QDir dir(folder);
        for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Name))
            stamps.append(FileStamp::of(dir.filePath(name)));
    }
    return stamps;
}

template <typename Value> bool AgentKeptState::fresh(const Kept<Value> &kept, const QList<FileStamp> &now)
{
    return kept.value && kept.stamps == now && kept.age.isValid()
        && kept.age.elapsed() < std::chrono::duration_cast<std::chrono::milliseconds>(maxAge).count();
}

void AgentKeptState::load(DestinationStore &store)
{
    // Taken before reading: a change made while the read runs differs at the next use.
    const QList<FileStamp> now = configurationStamps();
    {
        const std::lock_guard lock(m_mutex);
        if (fresh(m_configuration, now)) {
            store.apply(*m_configuration.value);
            return;
        }
    }
    const DestinationStore::Loaded loaded = DestinationStore::load(store.seal());
    {
        const std::lock_guard lock(m_mutex);
        if (loaded.failure)
            m_configuration = {};
        else
            m_configuration = { loaded, now, {} };
        m_configuration.age.start();
    }
    store.apply(loaded);
}

AgentService::Status AgentKeptState::agentStatus(const std::function<AgentService::Status()> &ask)
{
    const QList<FileStamp> now = FileStamp::of(m_files.agentUnits);
    {
        const std::lock_guard lock(m_mutex);
        if (fresh(m_agentStatus, now))
            return *m_agentStatus.value;
    }
    const AgentService::Status status = ask();
    const std::lock_guard lock(m_mutex);
    m_agentStatus = { status, now, {} };
    m_agentStatus.age.start();
    return status;
}

void AgentKeptState::forget()
{
    const std::lock_guard lock(m_mutex);
    m_configuration = {};
    m_agentStatus = {};
}

} // namespace vellmir
