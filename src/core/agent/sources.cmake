list(APPEND VELLMIR_CORE_SOURCES
    agent/AgentCLI.h agent/AgentCLIInstall.cpp
    agent/AgentPolicy.cpp agent/AgentPolicy.h
    agent/VellmirMain.cpp agent/VellmirMain.h
)
