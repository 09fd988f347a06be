list(APPEND VELLMIR_CORE_SOURCES
    engine/ResticError.h
)
