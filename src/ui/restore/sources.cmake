list(APPEND VELLMIR_UI_SOURCES
    restore/BackupEntry.h
    restore/ProposedBackup.cpp restore/ProposedBackup.h
)
