list(APPEND VELLMIR_CORE_SOURCES
    platform/AgentService.h
    platform/SystemdAgentService.cpp platform/SystemdAgentService.h
)
