#pragma once

#include "config/Destination.h"
#include "platform/AgentService.h"
#include "util/UserDefaults.h"

#include <QList>
#include <functional>
#include <memory>
#include <optional>

namespace vellmir {

// Keeps the background scheduler registered exactly while some destination has an automatic
// schedule, and registered again whenever the build differs from the one that registered it.
class Scheduler {
public:
    using ServiceFactory = std::function<std::unique_ptr<AgentService>()>;

    explicit Scheduler(UserDefaults &defaults); // the systemd user units
    Scheduler(UserDefaults &defaults, ServiceFactory factory, QString build = currentBuild());

    // nullopt when nothing had to change or the change worked, else a sentence for the user.
    std::optional<QString> reconcile(const QList<Destination> &destinations);

    static QString currentBuild();

private:
    void registerAgent();
    void unregisterAgent();

    UserDefaults &m_defaults;
    ServiceFactory m_factory;
    QString m_build;
};

} // namespace vellmir
