list(APPEND VELLMIR_CORE_SOURCES
    operations/Scheduler.cpp operations/Scheduler.h
    operations/BackupNotifications.cpp operations/BackupNotifications.h
    operations/BackupPolicy.cpp operations/BackupPolicy.h
    operations/NotificationPermission.cpp operations/NotificationPermission.h
    operations/BackupOutput.cpp operations/BackupOutput.h
)
