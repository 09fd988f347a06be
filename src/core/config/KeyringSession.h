#pragma once

namespace vellmir {

// While one lives, every keyring call the same thread makes (credentials and seal key alike)
// shares one bus connection and one Secret Service session, instead of opening its own. A store
// operation opens one around its reads and writes, so that it costs one session however many
// secrets it touches. Nothing outlives it: the session closes with the outermost one, so a
// restarted keyring daemon is met afresh by the next operation. Scopes nest; each call keeps
// its own time bound.
class KeyringSession {
public:
    KeyringSession();
    ~KeyringSession();
    KeyringSession(const KeyringSession &) = delete;
    KeyringSession &operator=(const KeyringSession &) = delete;

private:
    bool m_outermost;
};

} // namespace vellmir
