#pragma once

#include <chrono>
#include <stop_token>

namespace vellmir {

// While one lives, every keyring call the same thread makes (credentials and seal key alike)
// shares one Secret Service session, instead of opening its own; the bus connection is the
// process's one in any case. A store operation opens one around its reads and writes, so that
// it costs one session however many secrets it touches. Nothing outlives it: the session
// closes with the outermost one, so a restarted keyring daemon is met afresh by the next
// operation. Scopes nest; each call keeps its own time bound.
class KeyringSession {
public:
    KeyringSession();
    ~KeyringSession();
    KeyringSession(const KeyringSession &) = delete;
    KeyringSession &operator=(const KeyringSession &) = delete;

private:
    bool m_outermost;
};

// While one lives, every keyring call the same thread makes also ends as soon as `stop` is
// requested, throwing CancellationError, rather than when its time limit passes. A signal that
// asks the process to stop ends every call, scope or not.
class KeyringStop {
public:
    explicit KeyringStop(std::stop_token stop);
    ~KeyringStop();
    KeyringStop(const KeyringStop &) = delete;
    KeyringStop &operator=(const KeyringStop &) = delete;

private:
    std::stop_token m_previous;
};

// While one lives, the keyring calls of the same thread undo what a change that did not complete
// left (a secret stored for a destination that was never saved): they go on when the process or
// the thread's KeyringStop asks to stop, and each ends within `limit` instead.
class KeyringCleanup {
public:
    static constexpr std::chrono::milliseconds defaultLimit { 5000 };

    explicit KeyringCleanup(std::chrono::milliseconds limit = defaultLimit);
    ~KeyringCleanup();
    KeyringCleanup(const KeyringCleanup &) = delete;
    KeyringCleanup &operator=(const KeyringCleanup &) = delete;

private:
    std::chrono::milliseconds m_previous;
};

} // namespace vellmir
