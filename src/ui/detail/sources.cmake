list(APPEND VELLMIR_UI_SOURCES
    detail/BackupSection.cpp detail/BackupSection.h
    detail/ConnectionStatusRow.cpp detail/ConnectionStatusRow.h
    detail/DestinationActions.h
    detail/DestinationDetail.cpp detail/DestinationDetail.h
    detail/DestinationDetailModel.cpp detail/DestinationDetailModel.h
    detail/DestinationHealthModel.cpp detail/DestinationHealthModel.h
    detail/DestinationHealthRow.cpp detail/DestinationHealthRow.h
    detail/SnapshotsSection.cpp detail/SnapshotsSection.h
)
