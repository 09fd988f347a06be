#pragma once

#include <QJsonObject>

namespace vellmir {

struct AgentPolicy {
    // Whether agent commands that change things run without asking the user. Sealed together
    // with the destinations; off wherever no trusted policy exists.
    struct Settings {
        bool changesWithoutApproval = false;

        QJsonObject toJson() const;
        // The key is required: a missing "changesWithoutApproval" is an error.
        static Settings fromJson(const QJsonObject &object);
        friend bool operator==(const Settings &, const Settings &) = default;
    };
};

} // namespace vellmir
