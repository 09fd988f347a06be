#pragma once

#include "platform/KeepAwake.h"
#include "platform/SessionBus.h"

#include <QDBusConnection>
#include <QDBusPendingCall>

#include <optional>

namespace vellmir {

// A logind inhibitor lock for sleep and idle, held as the file descriptor logind hands out:
// the lock lasts exactly as long as the descriptor stays open. The request is sent without
// waiting for logind (which may first ask polkit), so a backup's restic starts at once; the
// lock holds from logind's answer on. Without logind (containers, no system bus) the object
// holds nothing.
class LogindInhibitor final : public KeepAwakeHold {
public:
    LogindInhibitor(const QDBusConnection &systemBus, const QString &reason, int timeoutMs = 2000);
    ~LogindInhibitor() override;
    LogindInhibitor(const LogindInhibitor &) = delete;
    LogindInhibitor &operator=(const LogindInhibitor &) = delete;

    // Whether logind has granted the lock by now.
    bool isActive() const override;
    // Lets the machine sleep again before the object goes away. An answer still on its way is
    // awaited (within the request's time-out), so nothing is held afterwards.
    void release();

private:
    // The reply, whose descriptor is the lock; none without a system bus or once released.
    std::optional<QDBusPendingCall> m_reply;
};

class LogindKeepAwake final : public KeepAwake {
public:
    explicit LogindKeepAwake(QDBusConnection systemBus = SessionBus::connection(QDBusConnection::SystemBus));
    std::unique_ptr<KeepAwakeHold> hold(const QString &reason) override;

private:
    QDBusConnection m_bus;
};

} // namespace vellmir
