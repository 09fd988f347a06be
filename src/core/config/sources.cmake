list(APPEND VELLMIR_CORE_SOURCES
    config/AgentPolicy.cpp config/AgentPolicy.h
    config/B2Address.cpp config/B2Address.h
    config/BackupPreferences.cpp config/BackupPreferences.h
    config/ConfigError.h
    config/ConfigIntegrity.h
    config/ConfigSeal.cpp config/ConfigSeal.h
    config/CredentialRole.cpp config/CredentialRole.h
    config/CredentialsStore.cpp config/CredentialsStore.h
    config/Destination.cpp config/Destination.h
    config/FileAccessStatus.cpp config/FileAccessStatus.h
    config/DestinationStore.cpp config/DestinationStore.h
    config/DestinationWriter.cpp config/DestinationWriter.h
    config/FileLock.cpp config/FileLock.h
    config/SealedConfig.cpp config/SealedConfig.h
    config/UserDefaults.cpp config/UserDefaults.h
    config/FullDiskAccessPreference.cpp config/FullDiskAccessPreference.h
)
