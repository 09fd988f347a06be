#pragma once

#include <QString>

namespace vellmir {

class Notifier;
class UserDefaults;

// Whether the user allowed backup notifications. The desktop notification service has no
// permission of its own, so the user's "Enable Backup Notifications" click in the general
// settings is the permission; it is stored in the user defaults under `defaultsKey`. Nothing
// else ever asks.
namespace NotificationPermission {

inline const QString defaultsKey = QStringLiteral("backupNotificationsAuthorized");

bool isAuthorized(const UserDefaults &defaults);

// The "Enable Backup Notifications" action: stores the permission when a notification server
// answers, and returns whether notifications are now allowed. Without a server nothing is
// stored, so a later click on a desktop that has one can still succeed.
bool enable(Notifier &notifier, UserDefaults &defaults);
void disable(UserDefaults &defaults);

// What the settings show when enable() found no notification server.
QString noServerMessage();

} // namespace NotificationPermission

} // namespace vellmir
