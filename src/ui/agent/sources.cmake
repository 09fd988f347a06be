list(APPEND VELLMIR_UI_SOURCES
    agent/ApprovalDialog.cpp agent/ApprovalDialog.h
)
