list(APPEND VELLMIR_CORE_SOURCES
    engine/MachineIdentity.cpp engine/MachineIdentity.h
    engine/ResticCommand.cpp engine/ResticCommand.h
    engine/ResticEngine.cpp engine/ResticEngine.h
    engine/ResticEngineBrowse.cpp
    engine/ResticEngineRepository.cpp
    engine/ResticSettingsDiscovery.cpp engine/ResticSettingsDiscovery.h
    engine/ResticProcess.cpp engine/ResticProcess.h
    engine/Snapshot.cpp engine/Snapshot.h
    engine/SnapshotEntry.h
)
