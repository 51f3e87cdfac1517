// Fatal condition of the log database processor.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

class CVDBProcessorFatalException : public std::exception {
public:
    CVDBProcessorFatalException() = default;  // code -1, empty message
    CVDBProcessorFatalException(int32_t code, const std::string& message);
    ~CVDBProcessorFatalException() override;

    int32_t getCode() const { return m_code; }
    std::string getMessage() const { return m_message; }
    void reset();  // code 0, message empty

private:
    int32_t m_code = -1;
    std::string m_message;
};
