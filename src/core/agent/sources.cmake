list(APPEND VELLMIR_CORE_SOURCES
    agent/AgentApproval.cpp agent/AgentApproval.h
    agent/AgentAuditLog.cpp agent/AgentAuditLog.h
    agent/AgentPolicy.cpp agent/AgentPolicy.h
    agent/VellmirMain.cpp agent/VellmirMain.h
)
