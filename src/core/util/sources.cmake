list(APPEND VELLMIR_CORE_SOURCES
    util/AppPaths.cpp util/AppPaths.h
    util/AtomicFile.cpp util/AtomicFile.h
    util/Date.cpp util/Date.h
    util/FileStamp.cpp util/FileStamp.h
    util/GoGlob.cpp util/GoGlob.h
    util/Handoff.h
    util/Error.h
    util/Json.cpp util/Json.h
    util/LineWriter.cpp util/LineWriter.h
    util/LocalPath.cpp util/LocalPath.h
    util/Log.cpp util/Log.h
    util/Process.cpp util/Process.h
    util/Receiver.h
    util/ResticError.h
    util/ShutdownSignals.cpp util/ShutdownSignals.h
    util/StopTiming.h
    util/SystemError.h
    util/TextRules.cpp util/TextRules.h
    util/Workers.h
    util/Uuid.cpp util/Uuid.h
)
