list(APPEND VELLMIR_UI_SOURCES
    # Restore sheet and snapshot browser
    restore/ElidedLabel.cpp restore/ElidedLabel.h
    restore/RestoreKit.cpp restore/RestoreKit.h
    restore/RestoreServices.cpp restore/RestoreServices.h
    restore/RestoreSheet.cpp restore/RestoreSheet.h
    restore/RestoreSheetModel.cpp restore/RestoreSheetModel.h
    restore/SnapshotBrowserModel.cpp restore/SnapshotBrowserModel.h
    restore/SnapshotBrowserSheet.cpp restore/SnapshotBrowserSheet.h
    restore/SymbolLabel.cpp restore/SymbolLabel.h
)
