list(APPEND VELLMIR_CORE_SOURCES
    operations/Scheduler.cpp operations/Scheduler.h
)
