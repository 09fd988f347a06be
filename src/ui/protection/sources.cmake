list(APPEND VELLMIR_UI_SOURCES
    protection/InfoButton.cpp protection/InfoButton.h
    protection/InfoLabel.cpp protection/InfoLabel.h
)
