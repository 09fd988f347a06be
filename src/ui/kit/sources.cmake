list(APPEND VELLMIR_UI_SOURCES
    kit/DisclosureButton.cpp kit/DisclosureButton.h
    kit/Format.cpp kit/Format.h
    kit/MessageLabel.cpp kit/MessageLabel.h
    kit/PathLabel.cpp kit/PathLabel.h
    kit/PlainText.cpp kit/PlainText.h
    kit/Screenshot.cpp kit/Screenshot.h
    kit/StatusLabel.cpp kit/StatusLabel.h
    kit/StatusStyle.cpp kit/StatusStyle.h
    kit/DetailSection.cpp kit/DetailSection.h
)
