// Log database on an SQLite file: one table per module, listed in the catalogue "metatable",
// with one prepared insert statement per module.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "CVLogDBProcessorInterface.h"

struct sqlite3;
struct sqlite3_stmt;

// Not thread-safe: one processor is used by one thread. Contention with other processes is
// absorbed by the busy time-out and the open and close retries.
class CVLogSQLiteProcessor : public CVLogDBProcessorInterface {
public:
    // With `openNow`: opens (a failed open leaves the processor closed) and initialises;
    // a failed initialisation throws CVDBProcessorFatalException.
    explicit CVLogSQLiteProcessor(const std::string& path, bool openNow = true);
    ~CVLogSQLiteProcessor() override;

    using CVLogDBProcessorInterface::executeQuery;
    using CVLogDBProcessorInterface::executeUpdate;

    bool tableExists(const std::string& name) override;
    bool executeQuery(const std::string& statement, const CVLogSQLValues& values,
                      CVLogQueryResult& result) override;
    bool executeUpdate(const std::string& statement, const CVLogSQLValues& values,
                       int32_t& rowCount) override;
    // Sets the busy time-out, creates the catalogue when missing and loads it.
    bool initialize() override;
    bool open() override;
    // Finalises the prepared statements; the module map stays.
    bool close() override;
    bool interrupt() override;
    // Inserts until commitBatch go into one transaction, committed once; without a batch each
    // insert commits on its own. beginBatch takes the database's write lock.
    bool beginBatch();
    bool commitBatch();
    bool inBatch() const { return m_inBatch; }

    // A module the catalogue does not list yet gets its table and catalogue row; another
    // process may have made them meanwhile. Throws CVDBProcessorFatalException when that fails.
    bool insertEntry(const std::string& module, const std::string& entryModule, int64_t timestamp,
                     int32_t level, const std::string& message, int32_t line,
                     const std::string& srcfile) override;
    bool isOpen() const override { return m_open; }
    bool isInitialized() const override { return m_initialized; }

    virtual bool loadModules();
    virtual bool createMetatable();

    // The module's prepared insert, or nullptr before its first entry and after close.
    sqlite3_stmt* preparedInsert(const std::string& module) const;

private:
    bool storeSqliteError(int code);
    // Prepares one statement and binds `values`; null (error stored) on failure.
    sqlite3_stmt* prepare(const std::string& statement, const CVLogSQLValues& values);
    // Runs one statement, handing each result row to `row`; false (error stored) on failure.
    bool run(const std::string& statement, const CVLogSQLValues& values,
             const std::function<void(sqlite3_stmt*)>& row);
    sqlite3_stmt* statementFor(const std::string& module, const std::string& table);
    void finalizeStatements();

    sqlite3* m_db = nullptr;
    std::map<std::string, sqlite3_stmt*> m_statements;  // module -> insert, null until first use
    bool m_initialized = false;
    bool m_inBatch = false;
};
