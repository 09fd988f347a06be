#pragma once

#include "platform/AgentService.h"

#include <QString>
#include <chrono>

namespace vellmir {

// The scheduler as systemd user units: "vellmir-scheduler.service" (oneshot, runs the executable
// with "--scheduled-run", stopped through the pass itself) and "vellmir-scheduler.timer" (every passInterval,
// Persistent=true), written into the user unit folder and enabled with `systemctl --user`. The registration counts as
// enabled while both files exist and the timer is enabled; it is current only while both files hold exactly what this
// build would write, so a moved executable or a new build is registered afresh.
class SystemdAgentService : public AgentService {
public:
    struct Options {
        QString executable; // default: this process's executable
        QString unitDirectory; // default: $XDG_CONFIG_HOME/systemd/user
        QString systemctl = QStringLiteral("systemctl");
        QString build; // default: the compiled-in build number
    };

    SystemdAgentService();
    explicit SystemdAgentService(Options options);

    Status status() override;
    bool isCurrent() override;
    void registerAgent() override;
    void unregisterAgent() override;

    // The timer starts a pass every passInterval (on the wall clock's multiples of it), each
    // start put off by up to randomDelay so that many machines do not call their servers at the
    // same second, and by up to accuracy so that the computer can wake less often. A backup
    // therefore starts at most latestStart after the moment it falls due.
    static constexpr std::chrono::seconds passInterval { 600 };
    static constexpr std::chrono::seconds randomDelay { 60 };
    static constexpr std::chrono::seconds accuracy { 60 };
    static constexpr std::chrono::seconds latestStart = passInterval + randomDelay + accuracy;
    // How long systemd waits, once it has told the pass to stop (KillMode=mixed: the pass
    // alone), before it kills whatever is left of the service.
    static constexpr std::chrono::seconds stopTimeout { 60 };

    static QString serviceName(); // "vellmir-scheduler.service"
    static QString timerName(); // "vellmir-scheduler.timer"
    QString serviceUnit() const;
    QString timerUnit() const;
    const Options &options() const { return m_options; }

private:
    QString systemctl(const QStringList &arguments, bool *ok) const;

    Options m_options;
};

} // namespace vellmir
