list(APPEND VELLMIR_CORE_SOURCES
    exclude/Estimator.cpp exclude/Estimator.h
    exclude/ExcludeCandidate.h
    exclude/ExcludeMatcher.cpp exclude/ExcludeMatcher.h
    exclude/FileWalk.cpp exclude/FileWalk.h
    exclude/SmartExclude.cpp exclude/SmartExclude.h
)
