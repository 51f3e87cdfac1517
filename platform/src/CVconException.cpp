#include "CVconException.h"

#include "CVsysUtility.h"

CVconException::CVconException(int32_t threadId, const std::string& message)
    : CVException(message), m_threadId(threadId) {}

CVconException::CVconException(int32_t threadId, const char* file, int32_t line,
                               const std::string& message)
    : CVException(file, line, message), m_threadId(threadId) {}

CVconException::CVconException(int32_t threadId, const char* file, int32_t line,
                               const std::string& message, const std::string& sysMessage)
    : CVException(file, line, message, sysMessage), m_threadId(threadId) {}

CVconException::~CVconException() = default;

std::string CVconException::toString() const {
    return CVsysUtility::format(
        "Exception raised! ThreadID[%d] File[%s] Line[%d] Msg[%s] SysMsg[%s]", m_threadId,
        m_file.c_str(), m_line, m_message.c_str(), m_sysMessage.c_str());
}

void CVconException::raise(const char* file, int32_t line, const std::string& message, int error) {
    throw CVconException(static_cast<int32_t>(CVsysUtility::getCurrentThreadID()), file, line,
                         message, CVsysUtility::errorText(error));
}
