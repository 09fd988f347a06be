list(APPEND VELLMIR_CORE_SOURCES
    config/BackupPreferences.cpp config/BackupPreferences.h
    config/CredentialRole.cpp config/CredentialRole.h
    config/Destination.cpp config/Destination.h
)
