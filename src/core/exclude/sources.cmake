list(APPEND VELLMIR_CORE_SOURCES
    exclude/DirectoryWalker.cpp exclude/DirectoryWalker.h
    exclude/ExcludeEvidence.cpp exclude/ExcludeEvidence.h
    exclude/ExcludeEvidenceScan.cpp exclude/ExcludeEvidenceScan.h
)
