#pragma once

#include <QString>
#include <optional>

namespace vellmir {

// What a desktop notification server says about itself.
struct NotificationServerInfo {
    QString name;
    QString vendor;
    QString version;
    QString specVersion;
};

// The desktop's notification service, reduced to what the application needs: show a
// notification now, optionally in place of one shown earlier, and find out whether anyone
// is listening at all.
class Notifier {
public:
    virtual ~Notifier() = default;

    // The server's self-description, or nullopt when no notification server answers.
    virtual std::optional<NotificationServerInfo> serverInformation() = 0;

    // Shows a notification at once. A non-zero `replaces` names the server id of an earlier
    // notification that this one takes the place of. Returns the server's id for the new one.
    // Throws Error with the reason when the server does not take it.
    virtual quint32 notify(quint32 replaces, const QString &title, const QString &body) = 0;

    // An opaque text naming the running server instance, empty when none runs. Server ids are
    // only meaningful to the instance that issued them: a restarted server counts from 1 again,
    // and an old id would then replace someone else's notification.
    virtual QString serverInstance() = 0;
};

} // namespace vellmir
