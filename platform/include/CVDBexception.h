// Failure inside the SQLite database wrapper. Stands alone: it is not a CVException.
#pragma once

#include <cstdint>
#include <string>

class CVDBexception {
public:
    // Message-only form: file and system message empty, line 0.
    CVDBexception(uint32_t errorCode, const std::string& message);
    CVDBexception(uint32_t errorCode, const char* file, int32_t line, const std::string& message,
                  const std::string& sysMessage);
    virtual ~CVDBexception();

    // "Exception raised! Error code[%X] File[%s] Line[%d] Msg[%s] SysMsg[%s]"
    std::string toString() const;
    std::string getMessage() const { return m_message; }
    std::string getFile() const { return m_file; }
    int32_t getLine() const { return m_line; }
    uint32_t getErrorCode() const { return m_errorCode; }
    std::string getSysMessage() const { return m_sysMessage; }

private:
    std::string m_message;
    std::string m_file;
    int32_t m_line = 0;
    uint32_t m_errorCode;
    std::string m_sysMessage;
};
