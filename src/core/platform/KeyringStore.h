#pragma once

#include "platform/KeyringError.h"
#include "platform/SecretStorage.h"

#include <chrono>

namespace vellmir {

// The system keyring through the freedesktop Secret Service (libsecret, synchronous calls).
// An item is a generic password identified by its "service" and "account" attributes; new
// items go into the default collection. Holds no state: every call opens its own session (or
// joins the thread's KeyringSession), so it may be used from any thread and survives a restart
// of the keyring daemon.
//
// It never shows a prompt: a locked keyring, or a daemon that asks the user before it acts,
// is a KeyringError. Every call ends within a bounded time, even when the bus tries to start
// a keyring daemon that never answers.
class KeyringStore : public SecretStorage {
public:
    // How long one call may take, from connecting to the bus to the answer.
    static constexpr std::chrono::milliseconds defaultTimeLimit { 30000 };
    // The service attribute every item of this application starts with.
    static QString applicationService();

    explicit KeyringStore(std::chrono::milliseconds timeLimit = defaultTimeLimit)
        : m_timeLimit(timeLimit)
    {
    }

    std::optional<QString> password(const QString &service, const QString &account) const override;
    QMap<QString, QString> passwords(const QString &service, const QStringList &accounts) const override;
    void set(const QString &secret, const QString &service, const QString &account) override;
    void remove(const QString &service, const QString &account) override;

private:
    std::chrono::milliseconds m_timeLimit;
};

} // namespace vellmir
