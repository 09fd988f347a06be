list(APPEND VELLMIR_UI_SOURCES
    detail/ConnectionStatusRow.cpp detail/ConnectionStatusRow.h
    detail/DestinationHealthModel.cpp detail/DestinationHealthModel.h
    detail/DestinationHealthRow.cpp detail/DestinationHealthRow.h
)
