// Failure of a thread, lock or event operation; carries the id of the raising thread.
#pragma once

#include "CVException.h"

class CVconException : public CVException {
public:
    CVconException(int32_t threadId, const std::string& message);
    CVconException(int32_t threadId, const char* file, int32_t line, const std::string& message);
    CVconException(int32_t threadId, const char* file, int32_t line, const std::string& message,
                   const std::string& sysMessage);
    ~CVconException() override;

    // Throws one for the calling thread, with the text of `error` (a pthread call's result, or
    // errno) as its system message.
    [[noreturn]] static void raise(const char* file, int32_t line, const std::string& message,
                                   int error);

    // "Exception raised! ThreadID[%d] File[%s] Line[%d] Msg[%s] SysMsg[%s]"
    std::string toString() const override;
    int32_t getThreadID() const { return m_threadId; }

private:
    int32_t m_threadId;
};
