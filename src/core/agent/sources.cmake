list(APPEND VELLMIR_CORE_SOURCES
    agent/AgentPolicy.cpp agent/AgentPolicy.h
    agent/VellmirMain.cpp agent/VellmirMain.h
)
