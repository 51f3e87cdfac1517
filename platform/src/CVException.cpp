#include "CVException.h"

#include "CVsysUtility.h"

CVException::CVException(const std::string& message) : m_message(message) {}

CVException::CVException(const char* file, int32_t line, const std::string& message)
    : m_message(message), m_file(file ? file : ""), m_line(line) {}

CVException::CVException(const char* file, int32_t line, const std::string& message,
                         const std::string& sysMessage)
    : m_message(message), m_file(file ? file : ""), m_line(line), m_sysMessage(sysMessage) {}

CVException::~CVException() = default;

std::string CVException::toString() const {
    return CVsysUtility::format("Exception raised! File[%s] Line[%d] Msg[%s] SysMsg[%s]",
                                m_file.c_str(), m_line, m_message.c_str(), m_sysMessage.c_str());
}
