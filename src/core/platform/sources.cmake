list(APPEND VELLMIR_CORE_SOURCES
    platform/SchedulerUnit.h
)
