#pragma once

#include "agent/AgentApproval.h"

#include <memory>

namespace vellmir {

// The approval question as a window on the user's desktop, shown by the executable's dialog mode
// for the agent's process (see ProcessPrompt). It may be called from any thread; the window itself
// is always made, shown and closed on the application's main thread. Every text is plain text;
// the details wrap, long words too, and scroll, and a path reads left to right, each name in its
// own direction. The window keeps inside the screen's available area with its buttons on it, in
// one order whatever the theme or the language: the default at the right-hand end. The answers
// other than the default one take no click for a second each time the window comes on screen;
// only a key on its own (a second or more after the key before it) may take the focus to one,
// and only a later key on its own press it, whichever keys the desktop's theme gives a meaning;
// the default one, Return and Escape act at once.
class ApprovalDialog final : public ApprovalPrompt {
public:
    // `clock`: what the dialog's waits are measured on; empty: the system's steady clock.
    explicit ApprovalDialog(SteadyClock clock = {});
    ~ApprovalDialog() override;

    void show(const Alert &alert, std::function<void(int)> answered, std::function<void()> shown) override;
    void dismiss() override;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace vellmir
