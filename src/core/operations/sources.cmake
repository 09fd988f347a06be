list(APPEND VELLMIR_CORE_SOURCES
    operations/Scheduler.cpp operations/Scheduler.h
    operations/BackupNotifications.cpp operations/BackupNotifications.h
    operations/BackupPolicy.cpp operations/BackupPolicy.h
    operations/NotificationPermission.cpp operations/NotificationPermission.h
)
list(APPEND VELLMIR_CORE_SOURCES
    operations/RepositoryHealth.cpp operations/RepositoryHealth.h
    operations/RepositoryHealthStore.cpp operations/RepositoryHealthStore.h
    operations/RestoreRunner.cpp operations/RestoreRunner.h
)
