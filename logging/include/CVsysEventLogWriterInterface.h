// A destination for log entries: a text file, or an SQLite database.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

class CVsysEventLogWriterInterface {
public:
    CVsysEventLogWriterInterface();
    virtual ~CVsysEventLogWriterInterface();
    CVsysEventLogWriterInterface(const CVsysEventLogWriterInterface&) = delete;
    CVsysEventLogWriterInterface& operator=(const CVsysEventLogWriterInterface&) = delete;

    // One key of the module's section of cvlogs.ini; unknown keys are ignored (true).
    virtual bool setParameter(const std::string& key, const std::string& value) = 0;
    // Writes one entry; `time` 0 means now. True when the entry was written.
    virtual bool write(const std::string& moduleName, int32_t level, const std::string& message,
                       int32_t line, const char* sourceFile, time_t time) = 0;
    virtual bool isReady() = 0;
    // Bracket entries written in a row (a worker's batch), so that a writer may store them
    // together. Entries written outside a batch stand alone. Both do nothing by default.
    virtual void beginBatch();
    virtual void endBatch();

    // "MM/DD/YYYY HH:MM:SS" in local time into `out`; returns the time used (0 means now).
    static time_t formatTimestamp(time_t time, std::string& out);
    // "[TRACE]" ... "[FATAL]" for levels 1 to 7, empty for any other level.
    const std::string& levelTag(int32_t level) const;

protected:
    std::map<int32_t, std::string> m_levelTags;  // filled once by the constructor
};
