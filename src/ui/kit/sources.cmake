list(APPEND VELLMIR_UI_SOURCES
    kit/Screenshot.cpp kit/Screenshot.h
)
