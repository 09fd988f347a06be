list(APPEND VELLMIR_UI_SOURCES
    exclude/SmartExcludeSheet.cpp exclude/SmartExcludeSheet.h
    exclude/SmartExcludeSheetModel.cpp exclude/SmartExcludeSheetModel.h
)
