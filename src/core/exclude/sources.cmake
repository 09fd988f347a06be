list(APPEND VELLMIR_CORE_SOURCES
    exclude/AIExcludeDecision.cpp exclude/AIExcludeDecision.h
    exclude/AppleExcludeModel.cpp exclude/AppleExcludeModel.h
    exclude/ExcludeAIAvailability.h
    exclude/ExcludeAIError.h
    exclude/ExcludeAssessment.h
    exclude/ExcludeEvidence.cpp exclude/ExcludeEvidence.h
    exclude/ExcludeModelProviding.h
    exclude/SmartExcludeAI.cpp exclude/SmartExcludeAI.h
)
