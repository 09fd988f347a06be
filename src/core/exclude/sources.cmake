list(APPEND VELLMIR_CORE_SOURCES
    exclude/AppDataExclude.cpp exclude/AppDataExclude.h
    exclude/CloudSync.cpp exclude/CloudSync.h
    exclude/LibraryExclude.cpp exclude/LibraryExclude.h
    exclude/DirectoryWalker.cpp exclude/DirectoryWalker.h
    exclude/AIExcludeDecision.cpp exclude/AIExcludeDecision.h
    exclude/OnDeviceExcludeModel.cpp exclude/OnDeviceExcludeModel.h
    exclude/ExcludeAIAvailability.h
    exclude/ExcludeAIError.h
    exclude/ExcludeAssessment.h
    exclude/ExcludeEvidence.cpp exclude/ExcludeEvidence.h
    exclude/ExcludeEvidenceScan.cpp exclude/ExcludeEvidenceScan.h
    exclude/ExcludeModelProviding.h
    exclude/ExcludeReviewModel.cpp exclude/ExcludeReviewModel.h
    exclude/ExcludeReviewState.h
    exclude/SmartExcludeAI.cpp exclude/SmartExcludeAI.h
    exclude/Estimator.cpp exclude/Estimator.h
    exclude/ExcludeCandidate.h
    exclude/ExcludeDetectorProbes.cpp exclude/ExcludeDetectorProbes.h
    exclude/ExcludeMatcher.cpp exclude/ExcludeMatcher.h
    exclude/FileWalk.cpp exclude/FileWalk.h
    exclude/SmartExclude.cpp exclude/SmartExclude.h
)
