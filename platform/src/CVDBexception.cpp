#include "CVDBexception.h"

#include "CVsysUtility.h"

CVDBexception::CVDBexception(uint32_t errorCode, const std::string& message)
    : m_message(message), m_errorCode(errorCode) {}

CVDBexception::CVDBexception(uint32_t errorCode, const char* file, int32_t line,
                             const std::string& message, const std::string& sysMessage)
    : m_message(message),
      m_file(file ? file : ""),
      m_line(line),
      m_errorCode(errorCode),
      m_sysMessage(sysMessage) {}

CVDBexception::~CVDBexception() = default;

std::string CVDBexception::toString() const {
    return CVsysUtility::format(
        "Exception raised! Error code[%X] File[%s] Line[%d] Msg[%s] SysMsg[%s]", m_errorCode,
        m_file.c_str(), m_line, m_message.c_str(), m_sysMessage.c_str());
}
