#pragma once

#include "config/Destination.h"
#include "config/UserDefaults.h"
#include "platform/AgentService.h"

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
    // The sentence the last reconcile left for `destinations`, from the failure it stored: what
    // stands until the next one answers. nullopt when it stored none, or when nothing is
    // scheduled (the failure was about a timer no longer wanted).
    std::optional<QString> lastSentence(const QList<Destination> &destinations) const;

    static QString currentBuild();

private:
    static bool wanted(const QList<Destination> &destinations);
    static QString sentence(bool wanted, const QString &failure);
    void registerAgent();
    void unregisterAgent();

    UserDefaults &m_defaults;
    ServiceFactory m_factory;
    QString m_build;
};

} // namespace vellmir
