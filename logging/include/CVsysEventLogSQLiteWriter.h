// Stores each log entry as a row of an SQLite database, one table per module: a module name
// "Module.Sub" goes to the table of Module with "Sub" in the row's module column.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CVsysEventLogWriterInterface.h"

class CVLogSQLiteProcessor;

class CVsysEventLogSQLiteWriter : public CVsysEventLogWriterInterface {
public:
    CVsysEventLogSQLiteWriter();
    ~CVsysEventLogSQLiteWriter() override;

    // Keys (without case): dbfilename or filename, truncate; the order of the keys matters,
    // since truncate empties only a database that is already open.
    bool setParameter(const std::string& key, const std::string& value) override;
    // False when not ready or when the entry was lost (reported to the system log).
    bool write(const std::string& moduleName, int32_t level, const std::string& message,
               int32_t line, const char* sourceFile, time_t time) override;
    bool isReady() override;
    // A batch's entries are inserted in one transaction and committed once: a crash loses no
    // more than the queue they came from would have. Entries outside a batch commit one by one.
    void beginBatch() override;
    void endBatch() override;

    // Replaces the processor by one for `name`; false only when opening it threw.
    bool setDbFileName(const std::string& name);
    // Records the flag; when set and a database is open, empties every module table.
    bool setMakeDbTruncateFlag(bool flag);

    const std::string& getDbFileName() const { return m_dbFileName; }
    bool getTruncate() const { return m_truncate; }

private:
    // No lock: configured before the writer is shared, then used by one thread at a time.
    std::unique_ptr<CVLogSQLiteProcessor> m_processor;
    std::string m_dbFileName;
    bool m_truncate = false;
    bool m_ready = false;
    size_t m_batchEntries = 0;  // written since beginBatch
};
