// Storage-independent side of the log database: table naming, module creation, query texts
// and the filter clause. Implementations bind it to a concrete database engine.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

// One stored log entry.
struct CVLogRecord {
    std::string module;     // the entry's sub-module text
    int64_t timestamp = 0;  // seconds since 1970-01-01 UTC
    int32_t level = 0;
    std::string message;
    int32_t line = 0;
    std::string srcfile;
};

using CVLogQueryResult = std::vector<CVLogRecord>;

// Filter of queryEntries; empty lists and zero values select everything.
struct CVLogQueryFilter {
    std::vector<std::string> modules;  // values of the entries' module column
    std::vector<int32_t> levels;
    int64_t earliestTimestamp = 0;  // 0: none
    bool orderByModule = false;
    bool orderByLevel = false;
    bool orderByTimestampDesc = false;
    int32_t offset = 0;  // negative counts as 0
    int32_t limit = 0;   // below 1: no limit
};

// A value bound to a "?" of a statement: no value ever becomes SQL text.
using CVLogSQLValue = std::variant<int64_t, std::string>;
using CVLogSQLValues = std::vector<CVLogSQLValue>;

// Operations return false on failure and keep the last error code and text in the object.
// Not thread-safe: one processor is used by one thread.
class CVLogDBProcessorInterface {
public:
    virtual ~CVLogDBProcessorInterface();
    CVLogDBProcessorInterface(const CVLogDBProcessorInterface&) = delete;
    CVLogDBProcessorInterface& operator=(const CVLogDBProcessorInterface&) = delete;

    // Creates the table unless it exists and adds the catalogue row unless the module has one;
    // never drops anything, so processes meeting a new module at once keep each other's rows.
    virtual bool createModule(const std::string& table, const std::string& module);
    virtual bool tableExists(const std::string& name);
    // Every ".", blank and "-" becomes "_".
    virtual std::string makeTableName(const std::string& module);
    // One statement, its "?" bound to `values` in order. `result` is replaced by one record per
    // returned row.
    virtual bool executeQuery(const std::string& statement, const CVLogSQLValues& values,
                              CVLogQueryResult& result) = 0;
    // One statement, its "?" bound to `values` in order. `rowCount` receives the number of rows
    // the statement returned.
    virtual bool executeUpdate(const std::string& statement, const CVLogSQLValues& values,
                               int32_t& rowCount) = 0;
    bool executeQuery(const std::string& statement, CVLogQueryResult& result);
    bool executeUpdate(const std::string& statement, int32_t& rowCount);
    // The conditions with a "?" for each value, which is appended to `values`. Patterns are
    // SQL LIKE patterns.
    virtual std::string buildWhereClause(const CVLogQueryFilter& filter,
                                         const std::string& datePattern, int32_t level,
                                         const std::string& messagePattern, CVLogSQLValues& values);
    virtual bool initialize() = 0;
    virtual bool open() = 0;
    virtual bool close() = 0;
    virtual bool interrupt() = 0;
    // `module` selects the table (created on first use); `entryModule` fills the module column.
    virtual bool insertEntry(const std::string& module, const std::string& entryModule,
                             int64_t timestamp, int32_t level, const std::string& message,
                             int32_t line, const std::string& srcfile);
    // False when the module is unknown. `clause` is SQL text and must carry no data.
    virtual bool queryModule(const std::string& module, CVLogQueryResult& result,
                             const std::string& clause);
    virtual bool queryEntries(const std::string& module, CVLogQueryResult& result,
                              const CVLogQueryFilter& filter, const std::string& datePattern,
                              int32_t level, const std::string& messagePattern);
    // Pages of `pageSize` entries needed for the matching entries; "*" in the patterns is a
    // wildcard. 0 for an unknown module, a failed query or a page size below 1.
    virtual int32_t countPages(const std::string& module, int32_t pageSize, uint32_t level,
                               const std::string& datePattern, const std::string& messagePattern);
    virtual bool clearModule(const std::string& module);
    // False when there is no module or at the first module that cannot be cleared.
    virtual bool clearAll();
    virtual bool isOpen() const = 0;
    virtual bool isInitialized() const = 0;

    int32_t getErrorCode() const { return m_errorCode; }
    const std::string& getErrorMessage() const { return m_errorMessage; }
    const std::string& getPath() const { return m_path; }
    // Module name -> table name.
    const std::map<std::string, std::string>& getModules() const { return m_moduleTables; }

protected:
    explicit CVLogDBProcessorInterface(const std::string& path);

    void resetError();
    void setError(int32_t code, const std::string& message);
    // Table of a known module, or nullptr.
    const std::string* findTable(const std::string& module) const;
    // A name as an SQL identifier: in double quotes, inner ones doubled.
    static std::string quoted(const std::string& identifier);

    int32_t m_errorCode = 0;
    std::string m_errorMessage;
    std::string m_path;
    bool m_open = false;
    std::map<std::string, std::string> m_moduleTables;
};
