// The process-wide event log: one object per module (at most 15), created once with
// CreateInstance and fetched anywhere with GetInstance. Entries below the threshold are
// dropped; FATAL entries always pass while the log is started.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include "CVLogInterface.h"
#include "CVsysEventLogWriterInterface.h"

class CVsysEventLogInterface : public CVLogInterface {
public:
    enum Level {
        NONE = 0,
        TRACE = 1,
        DEBUG = 2,
        INFO = 3,
        WARN = 4,
        ERROR = 5,
        CRITICAL = 6,
        FATAL = 7
    };
    enum Dispatch { SINGLE_THREADED = 0, MULTI_THREADED = 1 };
    // Kind codes of LogEvent / LogEventAt and LogDebug.
    enum Code {
        CODE_DEBUG1 = 1,
        CODE_DEBUG2 = 2,
        CODE_TRACE = 3,
        CODE_WARN = 17,
        CODE_ERROR = 18,
        CODE_FATAL = 19
    };
    static constexpr int MAX_INSTANCES = 15;
    static constexpr size_t MAX_TEXT = 2047;  // formatted texts are cut to this many characters
    static constexpr int CONFIG_ATTEMPTS = 25;

    CVsysEventLogInterface();
    // Takes ownership of `writer`.
    CVsysEventLogInterface(const std::string& moduleName, CVsysEventLogWriterInterface* writer,
                           int32_t level);
    virtual ~CVsysEventLogInterface();
    CVsysEventLogInterface(const CVsysEventLogInterface&) = delete;
    CVsysEventLogInterface& operator=(const CVsysEventLogInterface&) = delete;

    bool trace(const std::string& message, int32_t line = -1,
               const char* sourceFile = nullptr) override;
    bool debug(const std::string& message, int32_t line = -1,
               const char* sourceFile = nullptr) override;
    bool info(const std::string& message, int32_t line = -1,
              const char* sourceFile = nullptr) override;
    bool warn(const std::string& message, int32_t line = -1,
              const char* sourceFile = nullptr) override;
    bool error(const std::string& message, int32_t line = -1,
               const char* sourceFile = nullptr) override;
    bool critical(const std::string& message, int32_t line = -1,
                  const char* sourceFile = nullptr) override;
    bool fatal(const std::string& message, int32_t line = -1,
               const char* sourceFile = nullptr) override;
    void setShowThreadId(bool show) override;
    int32_t getLevel() override;
    std::string getModuleName() override;

    virtual CVsysEventLogWriterInterface* getWriter();
    virtual bool setLevel(int32_t level);
    virtual bool setLogLevel(int32_t level);
    // Reads the module's writer and threshold from cvlogs.ini in `configDirectory`.
    virtual bool initialize(const std::string& configDirectory, const std::string& moduleName);
    virtual bool Start();
    virtual bool Stop();
    virtual bool isStarted();
    // Hands one accepted entry to the writer, directly or through a queue.
    virtual bool write(int32_t level, const std::string& message, int32_t line,
                       const char* sourceFile) = 0;

    // Adds the "[TID:<id>] " prefix when asked, then write().
    bool log(int32_t level, const std::string& message, int32_t line, const char* sourceFile);

    // Formatted calls; each returns false at once when the log is not started.
    bool LogEvent(int code, const char* prefix, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    bool LogEventAt(int code, const char* prefix, int32_t line, const char* sourceFile,
                    const char* format, ...) __attribute__((format(printf, 6, 7)));
    bool LogDebug(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool LogInfo(const char* prefix, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool LogSystemError(const char* prefix, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    bool LogSystemErrorAt(const char* prefix, int32_t line, const char* sourceFile,
                          const char* format, ...) __attribute__((format(printf, 5, 6)));

    // Builds the writer from the module's section; `attempts` tries without a pause.
    bool loadWriterConfig(int attempts);

    // Returns the registered log of that module, or configures and registers a new one.
    // Dispatch SINGLE_THREADED or MULTI_THREADED; null on any failure. Does not start it.
    static CVsysEventLogInterface* CreateInstance(std::string moduleName, int dispatch,
                                                  std::string configDirectory,
                                                  std::string logDirectory);
    // The log created first. Before any creation: reports and throws CVException.
    static CVsysEventLogInterface* GetInstance(int32_t line = -1, const char* sourceFile = nullptr);
    static CVsysEventLogInterface* GetInstance(const std::string& moduleName, int32_t line,
                                               const char* sourceFile);
    // Registers a log built by the caller under its module name (the first one registered is
    // the default log). Null, and the log destroyed, when the module is taken or the table full.
    static CVsysEventLogInterface* Register(std::unique_ptr<CVsysEventLogInterface> log);
    // Destroys every registered log, last first. Runs at process exit; tests call it to start
    // from an empty registry.
    static void DestroyAll();

protected:
    std::string m_iniPath;
    std::string m_moduleName;
    std::unique_ptr<CVsysEventLogWriterInterface> m_writer;
    // Read by every logging thread without a lock.
    std::atomic<int32_t> m_level{0};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_showThreadId{false};

private:
    bool accepts(int32_t level) const;
    bool formattedCall(int code, const char* prefix, int32_t line, const char* sourceFile,
                       const char* format, va_list args);
    bool systemErrorCall(const char* prefix, int32_t line, const char* sourceFile,
                         const char* format, va_list args);
};
