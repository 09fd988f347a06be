#include "operations/NotificationPermission.h"

#include "config/UserDefaults.h"
#include "platform/Notifier.h"

namespace vellmir::NotificationPermission {

bool isAuthorized(const UserDefaults &defaults)
{
    return defaults.boolValue(defaultsKey, false);
}

bool enable(Notifier &notifier, UserDefaults &defaults)
{
    if (!notifier.serverInformation())
        return false;
    defaults.setValue(defaultsKey, true);
    return true;
}

void disable(UserDefaults &defaults)
{
    defaults.setValue(defaultsKey, false);
}

QString noServerMessage()
{
    return QStringLiteral("No notification service answered on this desktop, so Vellmir cannot show notifications.");
}

} // namespace vellmir::NotificationPermission
