list(APPEND VELLMIR_CORE_SOURCES
    config/BackupPreferences.cpp config/BackupPreferences.h
    config/CredentialRole.cpp config/CredentialRole.h
    config/CredentialsStore.cpp config/CredentialsStore.h
    config/Destination.cpp config/Destination.h
    config/FDAStatus.cpp config/FDAStatus.h
    config/FileLock.cpp config/FileLock.h
    config/FullDiskAccessPreference.cpp config/FullDiskAccessPreference.h
    config/SecretStorage.h
)
