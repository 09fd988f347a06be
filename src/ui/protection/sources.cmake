list(APPEND VELLMIR_UI_SOURCES
    protection/CoverageAudit.cpp protection/CoverageAudit.h
)
