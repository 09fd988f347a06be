list(APPEND VELLMIR_UI_SOURCES
    protection/ConfigReview.cpp protection/ConfigReview.h
    protection/ConfigReviewView.cpp protection/ConfigReviewView.h
    protection/CoverageAudit.cpp protection/CoverageAudit.h
    protection/FileViewer.cpp protection/FileViewer.h
    protection/RecoveryKit.cpp protection/RecoveryKit.h
    protection/RecoveryKitSheet.cpp protection/RecoveryKitSheet.h
    protection/RecoveryPlan.cpp protection/RecoveryPlan.h
    protection/InfoButton.cpp protection/InfoButton.h
    protection/InfoLabel.cpp protection/InfoLabel.h
    protection/ProtectionDetails.cpp protection/ProtectionDetails.h
    protection/ProtectionDetailsModel.cpp protection/ProtectionDetailsModel.h
    protection/StripedList.cpp protection/StripedList.h
)
