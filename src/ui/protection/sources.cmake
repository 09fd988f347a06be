list(APPEND VELLMIR_UI_SOURCES
    protection/CoverageAudit.cpp protection/CoverageAudit.h
    protection/RecoveryPlan.cpp protection/RecoveryPlan.h
)
