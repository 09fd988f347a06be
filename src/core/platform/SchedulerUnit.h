#pragma once

#include <QString>

namespace vellmir::SchedulerUnit {

// The systemd user units that run the scheduled pass: a oneshot service started by a timer
// every ten minutes. The registration writes and enables them; the request queue starts the service at
// once when an agent asks for a backup.
inline const QString service = QStringLiteral("vellmir-scheduler.service");
inline const QString timer = QStringLiteral("vellmir-scheduler.timer");

} // namespace vellmir::SchedulerUnit
