list(APPEND VELLMIR_CORE_SOURCES
    operations/ScheduledBackup.cpp operations/ScheduledBackup.h
    operations/ScheduledBackupServices.cpp
    operations/Scheduler.cpp operations/Scheduler.h
    operations/BackupNotifications.cpp operations/BackupNotifications.h
    operations/BackupPolicy.cpp operations/BackupPolicy.h
    operations/NotificationPermission.cpp operations/NotificationPermission.h
    operations/BackupHistory.cpp operations/BackupHistory.h
    operations/BackupRecord.cpp operations/BackupRecord.h
    operations/HistoryIndex.cpp operations/HistoryIndex.h
    operations/HistoryIndexCache.cpp operations/HistoryIndexFormat.cpp operations/HistoryIndexFormat.h
    operations/HistoryIndexMerge.cpp
    operations/BackupRequests.cpp operations/BackupRequests.h
    operations/FolderReader.cpp operations/FolderReader.h
    operations/OperationError.h
    operations/BackupOutput.cpp operations/BackupOutput.h
    operations/BackupRunner.cpp operations/BackupRunner.h
)
list(APPEND VELLMIR_CORE_SOURCES
    operations/RepositoryHealth.cpp operations/RepositoryHealth.h
    operations/RepositoryHealthStore.cpp operations/RepositoryHealthStore.h
    operations/RestoreRunner.cpp operations/RestoreRunner.h
)
