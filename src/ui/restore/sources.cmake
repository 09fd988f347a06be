list(APPEND VELLMIR_UI_SOURCES
    restore/BackupEntry.h
    restore/ProposedBackup.cpp restore/ProposedBackup.h
    restore/RestoreTexts.cpp restore/RestoreTexts.h
    # Proposed backup sheet and explorer
    restore/BackupExplorerModel.cpp restore/BackupExplorerModel.h
    restore/BackupExplorerView.cpp restore/BackupExplorerView.h
    restore/ProposedBackupSheet.cpp restore/ProposedBackupSheet.h
    restore/ProposedBackupSheetModel.cpp restore/ProposedBackupSheetModel.h
    # Restore sheet and snapshot browser
    restore/RestoreKit.cpp restore/RestoreKit.h
    restore/RestoreServices.cpp restore/RestoreServices.h
    restore/RestoreSheet.cpp restore/RestoreSheet.h
    restore/RestoreSheetModel.cpp restore/RestoreSheetModel.h
    restore/SnapshotBrowserModel.cpp restore/SnapshotBrowserModel.h
    restore/SnapshotBrowserSheet.cpp restore/SnapshotBrowserSheet.h
)
