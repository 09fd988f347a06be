list(APPEND VELLMIR_UI_SOURCES
    detail/ConnectionStatusRow.cpp detail/ConnectionStatusRow.h
)
