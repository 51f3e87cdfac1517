#include "CVioException.h"

#include "CVsysUtility.h"

CVioException::CVioException(const std::string& path, const std::string& message)
    : CVException(message), m_path(path) {}

CVioException::CVioException(const std::string& path, const char* file, int32_t line,
                             const std::string& message)
    : CVException(file, line, message), m_path(path) {}

CVioException::CVioException(const std::string& path, const char* file, int32_t line,
                             const std::string& message, const std::string& sysMessage)
    : CVException(file, line, message, sysMessage), m_path(path) {}

CVioException::~CVioException() = default;

std::string CVioException::toString() const {
    return CVsysUtility::format(
        "Exception raised! IO path[%s] File[%s] Line[%d] Msg[%s] SysMsg[%s]", m_path.c_str(),
        m_file.c_str(), m_line, m_message.c_str(), m_sysMessage.c_str());
}
