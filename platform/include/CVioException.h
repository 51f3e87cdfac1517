// Failure of a file or directory operation; carries the path concerned.
#pragma once

#include "CVException.h"

class CVioException : public CVException {
public:
    CVioException(const std::string& path, const std::string& message);
    CVioException(const std::string& path, const char* file, int32_t line,
                  const std::string& message);
    CVioException(const std::string& path, const char* file, int32_t line,
                  const std::string& message, const std::string& sysMessage);
    ~CVioException() override;

    // "Exception raised! IO path[%s] File[%s] Line[%d] Msg[%s] SysMsg[%s]"
    std::string toString() const override;
    std::string getPath() const { return m_path; }

private:
    std::string m_path;
};
