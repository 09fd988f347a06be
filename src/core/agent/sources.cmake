list(APPEND VELLMIR_CORE_SOURCES
    agent/AgentPolicy.cpp agent/AgentPolicy.h
)
