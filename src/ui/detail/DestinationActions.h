#pragma once

#include <QString>
#include <functional>

namespace vellmir {

// What the focused destination pane offers the "Destination" menu. The pane publishes a fresh
// value whenever one of the flags changes; the actions start their work and return at once.
struct DestinationActions {
    QString name;
    bool isBusy = false;
    bool canBackUp = false;
    // A backup of this window runs for the destination: it can be cancelled.
    bool backingUp = false;
    std::function<void()> backUpNow;
    std::function<void()> cancelBackup;
    std::function<void()> edit;
    std::function<void()> testConnection;
    std::function<void()> refreshSnapshots;
    std::function<void()> applyRetention;
    std::function<void()> remove;
};

} // namespace vellmir
