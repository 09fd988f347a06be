list(APPEND VELLMIR_CORE_SOURCES
    platform/AgentService.h
    platform/SystemdAgentService.cpp platform/SystemdAgentService.h
    platform/DesktopNotifier.cpp platform/DesktopNotifier.h
    platform/DesktopSession.cpp platform/DesktopSession.h
    platform/KeepAwake.h
    platform/LogindKeepAwake.cpp platform/LogindKeepAwake.h
    platform/NetworkPathMonitor.h
    platform/Notifier.h
    platform/PowerSource.h
    platform/QtNetworkPathMonitor.cpp platform/QtNetworkPathMonitor.h
    platform/SystemPowerSource.cpp platform/SystemPowerSource.h
    platform/SchedulerUnit.h
    platform/SessionBus.cpp platform/SessionBus.h
    platform/DataProtectionSealKeyStore.cpp platform/DataProtectionSealKeyStore.h
    platform/SealKeyStore.cpp platform/SealKeyStore.h
    platform/KeyringError.h
    platform/KeyringStore.cpp platform/KeyringStore.h
    platform/SecretStorage.h
    platform/KeyringSession.h
    platform/SecretServiceCall.cpp platform/SecretServiceCall.h
)
