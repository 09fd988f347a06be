list(APPEND VELLMIR_CORE_SOURCES
    agent/AgentApproval.cpp agent/AgentApproval.h
    agent/AgentAuditLog.cpp agent/AgentAuditLog.h
    agent/AgentCLI.cpp agent/AgentCLI.h agent/AgentCLIInstall.cpp
    agent/AgentCommand.cpp agent/AgentCommand.h
    agent/AgentControl.cpp agent/AgentControl.h
    agent/AgentControlBackup.cpp
    agent/AgentControlChanges.cpp
    agent/AgentControlRead.cpp
    agent/ChangeQuestion.cpp agent/ChangeQuestion.h
    agent/AgentError.cpp agent/AgentError.h
    agent/AgentKeptState.cpp agent/AgentKeptState.h
    agent/AgentParameters.cpp agent/AgentParameters.h
    agent/MCPServer.cpp agent/MCPServer.h
    agent/VellmirMain.cpp agent/VellmirMain.h
)
