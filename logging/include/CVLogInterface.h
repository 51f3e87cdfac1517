// The level operations every log offers. Entries carry the caller's source line (-1 for none)
// and source file (may be null).
#pragma once

#include <cstdint>
#include <string>

class CVLogInterface {
public:
    virtual bool trace(const std::string& message, int32_t line = -1,
                       const char* sourceFile = nullptr) = 0;
    virtual bool debug(const std::string& message, int32_t line = -1,
                       const char* sourceFile = nullptr) = 0;
    virtual bool info(const std::string& message, int32_t line = -1,
                      const char* sourceFile = nullptr) = 0;
    virtual bool warn(const std::string& message, int32_t line = -1,
                      const char* sourceFile = nullptr) = 0;
    virtual bool error(const std::string& message, int32_t line = -1,
                       const char* sourceFile = nullptr) = 0;
    virtual bool critical(const std::string& message, int32_t line = -1,
                          const char* sourceFile = nullptr) = 0;
    virtual bool fatal(const std::string& message, int32_t line = -1,
                       const char* sourceFile = nullptr) = 0;
    virtual void setShowThreadId(bool show) = 0;
    virtual int32_t getLevel() = 0;
    virtual std::string getModuleName() = 0;

protected:
    // Logs are owned and deleted through their concrete classes, never through this interface.
    ~CVLogInterface() = default;
};
