list(APPEND VELLMIR_CORE_SOURCES
    engine/ResticError.h
    engine/ResticSettingsDiscovery.cpp engine/ResticSettingsDiscovery.h
)
