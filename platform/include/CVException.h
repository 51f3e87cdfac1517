// Base of the library's exceptions. Each one prints itself as a single diagnostic line.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

class CVException : public std::exception {
public:
    // Message-only form: file and system message empty, line 0.
    explicit CVException(const std::string& message);
    CVException(const char* file, int32_t line, const std::string& message);
    CVException(const char* file, int32_t line, const std::string& message,
                const std::string& sysMessage);
    ~CVException() override;

    // "Exception raised! File[%s] Line[%d] Msg[%s] SysMsg[%s]"
    virtual std::string toString() const;
    virtual std::string getMessage() const { return m_message; }
    virtual std::string getFile() const { return m_file; }
    virtual int32_t getLine() const { return m_line; }
    virtual std::string getSysMessage() const { return m_sysMessage; }

protected:
    std::string m_message;
    std::string m_file;  // tag of the raising unit, e.g. "../src/CVioFile"
    int32_t m_line = 0;
    std::string m_sysMessage;
};
