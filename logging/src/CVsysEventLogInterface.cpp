#include "CVsysEventLogInterface.h"

#include <array>
#include <utility>
#include <vector>

#include "CVException.h"
#include "CVconLockGuard.h"
#include "CVsysEventLogConfig.h"
#include "CVsysEventLogMultiThreaded.h"
#include "CVsysEventLogSingleThreaded.h"
#include "CVsysReportError.h"
#include "CVsysUtility.h"
#include "formatString.h"

namespace {

const char* const kFileTag = "../src/CVsysEventLogInterface";
const char* const kGetInstance = "CVsysEventLogInterface::GetInstance()";

// The process-wide table of logs, one per module. Entry 0 is the default log.
class Registry {
public:
    Registry() = default;
    ~Registry() { destroyAll(); }
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    CVconLock& lock() { return m_lock; }

    CVsysEventLogInterface* find(const std::string& moduleName) {
        CVconLockGuard<> guard(m_lock);
        for (int i = 0; i < m_count; ++i) {
            if (m_entries[i].name == moduleName) {
                return m_entries[i].log.get();
            }
        }
        return nullptr;
    }

    CVsysEventLogInterface* first() {
        CVconLockGuard<> guard(m_lock);
        return m_count > 0 ? m_entries[0].log.get() : nullptr;
    }

    // Takes the log only when there is room; otherwise `log` keeps it.
    bool add(const std::string& moduleName, std::unique_ptr<CVsysEventLogInterface>& log) {
        CVconLockGuard<> guard(m_lock);
        if (m_count >= CVsysEventLogInterface::MAX_INSTANCES) {
            return false;
        }
        m_entries[m_count].name = moduleName;
        m_entries[m_count].log = std::move(log);
        ++m_count;
        return true;
    }

    void destroyAll() {
        std::vector<std::unique_ptr<CVsysEventLogInterface>> doomed;
        {
            CVconLockGuard<> guard(m_lock);
            for (int i = m_count - 1; i >= 0; --i) {
                doomed.push_back(std::move(m_entries[i].log));
                m_entries[i].name.clear();
            }
            m_count = 0;
        }
        // Outside the lock: a multi-threaded log drains its queue while it is destroyed.
        for (auto& log : doomed) {
            log.reset();
        }
    }

private:
    struct Entry {
        std::string name;
        std::unique_ptr<CVsysEventLogInterface> log;
    };

    CVconLock m_lock;  // guards m_entries and m_count
    std::array<Entry, CVsysEventLogInterface::MAX_INSTANCES> m_entries;
    int m_count = 0;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

[[noreturn]] void reportAndThrow(int32_t raiseLine, const char* ident, const std::string& text) {
    CVsysReportError(kGetInstance, ident, "%s", text.c_str());
    throw CVException(kFileTag, raiseLine, text);
}

std::string cut(std::string text) {
    if (text.size() > CVsysEventLogInterface::MAX_TEXT) {
        text.resize(CVsysEventLogInterface::MAX_TEXT);
    }
    return text;
}

std::string formatted(const char* format, va_list args) {
    return format ? cut(formatStringV(format, args)) : std::string();
}

// "prefix text" when a prefix is given, else the text alone; either cut to MAX_TEXT.
std::string entryText(const char* prefix, const char* format, va_list args) {
    std::string text = formatted(format, args);
    return prefix ? cut(std::string(prefix) + " " + text) : text;
}

}  // namespace

CVsysEventLogInterface::CVsysEventLogInterface() = default;

CVsysEventLogInterface::CVsysEventLogInterface(const std::string& moduleName,
                                               CVsysEventLogWriterInterface* writer, int32_t level)
    : m_moduleName(moduleName), m_writer(writer), m_level(level) {}

CVsysEventLogInterface::~CVsysEventLogInterface() {
    m_started = false;
    m_writer.reset();
}

bool CVsysEventLogInterface::accepts(int32_t level) const {
    return m_started && (level >= FATAL || m_level <= level);
}

bool CVsysEventLogInterface::trace(const std::string& message, int32_t line,
                                   const char* sourceFile) {
    return accepts(TRACE) && log(TRACE, message, line, sourceFile);
}

bool CVsysEventLogInterface::debug(const std::string& message, int32_t line,
                                   const char* sourceFile) {
    return accepts(DEBUG) && log(DEBUG, message, line, sourceFile);
}

bool CVsysEventLogInterface::info(const std::string& message, int32_t line,
                                  const char* sourceFile) {
    return accepts(INFO) && log(INFO, message, line, sourceFile);
}

bool CVsysEventLogInterface::warn(const std::string& message, int32_t line,
                                  const char* sourceFile) {
    return accepts(WARN) && log(WARN, message, line, sourceFile);
}

bool CVsysEventLogInterface::error(const std::string& message, int32_t line,
                                   const char* sourceFile) {
    return accepts(ERROR) && log(ERROR, message, line, sourceFile);
}

bool CVsysEventLogInterface::critical(const std::string& message, int32_t line,
                                      const char* sourceFile) {
    return accepts(CRITICAL) && log(CRITICAL, message, line, sourceFile);
}

bool CVsysEventLogInterface::fatal(const std::string& message, int32_t line,
                                   const char* sourceFile) {
    return accepts(FATAL) && log(FATAL, message, line, sourceFile);
}

void CVsysEventLogInterface::setShowThreadId(bool show) {
    m_showThreadId = show;
}

int32_t CVsysEventLogInterface::getLevel() {
    return m_level;
}

std::string CVsysEventLogInterface::getModuleName() {
    return m_moduleName;
}

CVsysEventLogWriterInterface* CVsysEventLogInterface::getWriter() {
    return m_writer.get();
}

bool CVsysEventLogInterface::setLevel(int32_t level) {
    m_level = level;
    return true;
}

bool CVsysEventLogInterface::setLogLevel(int32_t level) {
    return setLevel(level);
}

bool CVsysEventLogInterface::initialize(const std::string& configDirectory,
                                        const std::string& moduleName) {
    m_iniPath = makeIniPath(configDirectory);
    m_moduleName = moduleName;
    return loadWriterConfig(CONFIG_ATTEMPTS);
}

bool CVsysEventLogInterface::Start() {
    bool ready = m_writer && m_writer->isReady();
    m_started = ready;
    return ready;
}

bool CVsysEventLogInterface::Stop() {
    m_started = false;
    return true;
}

bool CVsysEventLogInterface::isStarted() {
    return m_started;
}

bool CVsysEventLogInterface::log(int32_t level, const std::string& message, int32_t line,
                                 const char* sourceFile) {
    if (!m_showThreadId) {
        return write(level, message, line, sourceFile);
    }
    // Signed 32 bits, as the exceptions print their thread id, so the two can be matched.
    int32_t threadId = static_cast<int32_t>(CVsysUtility::getCurrentThreadID());
    return write(level, "[TID:" + std::to_string(threadId) + "] " + message, line, sourceFile);
}

bool CVsysEventLogInterface::formattedCall(int code, const char* prefix, int32_t line,
                                           const char* sourceFile, const char* format,
                                           va_list args) {
    switch (code) {
        case CODE_WARN:
            return warn(entryText(prefix, format, args), line, sourceFile);
        case CODE_ERROR:
            return error(entryText(prefix, format, args), line, sourceFile);
        case CODE_FATAL:
            return fatal(entryText(prefix, format, args), line, sourceFile);
        default:
            return true;
    }
}

bool CVsysEventLogInterface::systemErrorCall(const char* prefix, int32_t line,
                                             const char* sourceFile, const char* format,
                                             va_list args) {
    // Taken first: formatting may itself change errno.
    std::string systemText = CVsysUtility::getSystemErrorMessage();
    std::string text = formatted(format, args);
    if (prefix) {
        text = std::string(prefix) + " " + text;
    }
    return error(text + " [System Library Error] " + systemText, line, sourceFile);
}

bool CVsysEventLogInterface::LogEvent(int code, const char* prefix, const char* format, ...) {
    if (!m_started) {
        return false;
    }
    if (!format) {
        return true;
    }
    va_list args;
    va_start(args, format);
    bool result = formattedCall(code, prefix, -1, nullptr, format, args);
    va_end(args);
    return result;
}

bool CVsysEventLogInterface::LogEventAt(int code, const char* prefix, int32_t line,
                                        const char* sourceFile, const char* format, ...) {
    if (!m_started || !format) {
        return false;
    }
    va_list args;
    va_start(args, format);
    bool result = formattedCall(code, prefix, line, sourceFile, format, args);
    va_end(args);
    return result;
}

bool CVsysEventLogInterface::LogDebug(int code, const char* format, ...) {
    if (!m_started || !format) {
        return false;
    }
    if (code != CODE_DEBUG1 && code != CODE_DEBUG2 && code != CODE_TRACE) {
        return true;
    }
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    return code == CODE_TRACE ? trace(text) : debug(text);
}

bool CVsysEventLogInterface::LogInfo(const char* prefix, const char* format, ...) {
    if (!m_started) {
        return false;
    }
    va_list args;
    va_start(args, format);
    std::string text = entryText(prefix, format, args);
    va_end(args);
    return info(text);
}

bool CVsysEventLogInterface::LogSystemError(const char* prefix, const char* format, ...) {
    if (!m_started) {
        return false;
    }
    va_list args;
    va_start(args, format);
    bool result = systemErrorCall(prefix, -1, nullptr, format, args);
    va_end(args);
    return result;
}

bool CVsysEventLogInterface::LogSystemErrorAt(const char* prefix, int32_t line,
                                              const char* sourceFile, const char* format, ...) {
    if (!m_started) {
        return false;
    }
    va_list args;
    va_start(args, format);
    bool result = systemErrorCall(prefix, line, sourceFile, format, args);
    va_end(args);
    return result;
}

CVsysEventLogInterface* CVsysEventLogInterface::CreateInstance(std::string moduleName, int dispatch,
                                                               std::string configDirectory,
                                                               std::string logDirectory) {
    if (!ensureConfiguration(moduleName, configDirectory, logDirectory)) {
        return nullptr;
    }
    Registry& logs = registry();
    // Held throughout, so two threads creating the same module get one object.
    CVconLockGuard<> guard(logs.lock());
    if (CVsysEventLogInterface* existing = logs.find(moduleName)) {
        return existing;
    }
    std::unique_ptr<CVsysEventLogInterface> log;
    if (dispatch == SINGLE_THREADED) {
        log = std::make_unique<CVsysEventLogSingleThreaded>();
    } else if (dispatch == MULTI_THREADED) {
        log = std::make_unique<CVsysEventLogMultiThreaded>();
    } else {
        return nullptr;
    }
    CVsysEventLogInterface* created = log.get();
    if (!log->initialize(configDirectory, moduleName) || !logs.add(moduleName, log)) {
        return nullptr;  // `log` still owns the object and destroys it
    }
    return created;
}

CVsysEventLogInterface* CVsysEventLogInterface::GetInstance(int32_t line, const char* sourceFile) {
    if (CVsysEventLogInterface* log = registry().first()) {
        return log;
    }
    if (line != -1 && sourceFile) {
        reportAndThrow(__LINE__, "",
                       formatString("CVsysEventLogInterface object is called before creation @ "
                                    "line [%d] in file [%s].",
                                    line, sourceFile));
    }
    reportAndThrow(__LINE__, "", "CVsysEventLogInterface object is called before creation.");
}

CVsysEventLogInterface* CVsysEventLogInterface::GetInstance(const std::string& moduleName,
                                                            int32_t line, const char* sourceFile) {
    if (CVsysEventLogInterface* log = registry().find(moduleName)) {
        return log;
    }
    if (line != -1 && sourceFile) {
        reportAndThrow(__LINE__, moduleName.c_str(),
                       formatString("CVsysEventLogInterface object for module [%s] is called "
                                    "before creation @ line [%d] in file [%s].",
                                    moduleName.c_str(), line, sourceFile));
    }
    reportAndThrow(__LINE__, moduleName.c_str(),
                   formatString("CVsysEventLogInterface object for module [%s] is called before "
                                "creation.",
                                moduleName.c_str()));
}

CVsysEventLogInterface* CVsysEventLogInterface::Register(
    std::unique_ptr<CVsysEventLogInterface> log) {
    if (!log) {
        return nullptr;
    }
    Registry& logs = registry();
    CVconLockGuard<> guard(logs.lock());
    const std::string moduleName = log->getModuleName();
    CVsysEventLogInterface* registered = log.get();
    if (logs.find(moduleName) != nullptr || !logs.add(moduleName, log)) {
        return nullptr;
    }
    return registered;
}

void CVsysEventLogInterface::DestroyAll() {
    registry().destroyAll();
}
