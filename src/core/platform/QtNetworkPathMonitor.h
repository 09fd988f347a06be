#pragma once

#include "platform/NetworkPathMonitor.h"

#include <QNetworkInformation>
#include <memory>
#include <optional>

namespace vellmir {

// The network path from QNetworkInformation. The backend is loaded once per process, on the
// application's main thread (Qt requires it there): NetworkManager when it runs, else any
// backend that reports reachability (GLib's network monitor). Neither carries a notion of a
// constrained path, and only NetworkManager knows about metered connections. When no backend
// loads at all, the path is reported as usable and unmetered: there is nothing to ask, and
// holding every remote backup back for ever would be worse than trying.
class QtNetworkPathMonitor final : public NetworkPathMonitor {
public:
    QtNetworkPathMonitor();
    ~QtNetworkPathMonitor() override;

    void start(Handler handler) override;
    void cancel() override;

    // The path a backend's answer stands for, or nullopt while the backend does not know yet.
    static std::optional<NetworkPath> pathFor(QNetworkInformation::Reachability reachability, bool metered);

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace vellmir
