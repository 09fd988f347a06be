list(APPEND VELLMIR_CORE_SOURCES
    operations/BackupHistory.cpp operations/BackupHistory.h
    operations/BackupRecord.cpp operations/BackupRecord.h
    operations/BackupRequests.cpp operations/BackupRequests.h
    operations/FolderReader.cpp operations/FolderReader.h
)
