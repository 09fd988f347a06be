#pragma once

#include "platform/AgentService.h"

#include <QString>

namespace vellmir {

// The scheduler as systemd user units: "vellmir-scheduler.service" (oneshot, runs the executable
// with "--scheduled-run") and "vellmir-scheduler.timer" (hourly, Persistent=true), written into
// the user unit folder and enabled with `systemctl --user`. The registration counts as enabled
// while both files exist and the timer is enabled; it is current only while both files hold
// exactly what this build would write, so a moved executable or a new build is registered afresh.
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
