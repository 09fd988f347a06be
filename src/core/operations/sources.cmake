list(APPEND VELLMIR_CORE_SOURCES
    operations/BackupNotifications.cpp operations/BackupNotifications.h
    operations/BackupPolicy.cpp operations/BackupPolicy.h
    operations/NotificationPermission.cpp operations/NotificationPermission.h
)
