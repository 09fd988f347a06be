#pragma once

#include "platform/KeepAwake.h"

#include <QDBusConnection>

namespace vellmir {

// A logind inhibitor lock for sleep and idle, held as the file descriptor logind hands out:
// the lock lasts exactly as long as the descriptor stays open. Without logind (containers,
// no system bus) the object holds nothing.
class LogindInhibitor final : public KeepAwakeHold {
public:
    LogindInhibitor(const QDBusConnection &systemBus, const QString &reason, int timeoutMs = 2000);
    ~LogindInhibitor() override;
    LogindInhibitor(const LogindInhibitor &) = delete;
    LogindInhibitor &operator=(const LogindInhibitor &) = delete;

    bool isActive() const override { return m_fd >= 0; }
    // Lets the machine sleep again before the object goes away.
    void release();

private:
    int m_fd = -1;
};

class LogindKeepAwake final : public KeepAwake {
public:
    explicit LogindKeepAwake(QDBusConnection systemBus = QDBusConnection::systemBus());
    std::unique_ptr<KeepAwakeHold> hold(const QString &reason) override;

private:
    QDBusConnection m_bus;
};

} // namespace vellmir
