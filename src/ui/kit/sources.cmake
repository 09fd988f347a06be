list(APPEND VELLMIR_UI_SOURCES
    kit/Format.cpp kit/Format.h
    kit/Screenshot.cpp kit/Screenshot.h
)
