// General SQLite access: opens a database file with retries, optionally ensures a fixed schema,
// runs updates and selects, and runs transactions that retry and reopen the connection when the
// file is busy or locked by another process. Failures are raised as CVDBexception carrying the
// SQLite result code and text.
//
// Not thread-safe: one object is used by one thread at a time, so no member is guarded by a
// mutex. Other processes are coped with by the busy time-out and the retries.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>

#include "CVDBexception.h"
#include "CVSQLite3ResultSet.h"

class CVSQLite3Database {
public:
    using Schema = std::map<std::string, std::string>;  // table name -> column definitions
    using ScalarFunction = void (*)(sqlite3_context*, int, sqlite3_value**);

    // Each opens `path` and, unless skipInitialization, creates the missing schema tables.
    CVSQLite3Database(const std::string& path, bool skipInitialization);
    CVSQLite3Database(const std::string& path, const Schema& schema, bool skipInitialization);
    // `schema` holds `count` pairs of table name and column definitions.
    CVSQLite3Database(const std::string& path, const char* const schema[][2], int32_t count,
                      bool skipInitialization);
    ~CVSQLite3Database();
    CVSQLite3Database(const CVSQLite3Database&) = delete;
    CVSQLite3Database& operator=(const CVSQLite3Database&) = delete;

    bool open(bool markInitialized);
    bool close();
    // Closes and opens again, marking the database initialised; raises when that fails.
    void reopen();

    bool isOpen();
    bool isInitialized();
    bool isInTransaction();
    bool isAutocommit();
    const std::string& getPath() const { return m_path; }
    int32_t getErrorCode() const { return m_errorCode; }
    const std::string& getErrorMessage() const { return m_errorMessage; }

    // Applied to the current connection only; reopen restores the default of 60,000 ms.
    void setBusyTimeout(int32_t milliseconds);

    // False without running anything unless initialised; raises on an SQLite error.
    bool executeUpdate(const std::string& statement, CVSQLite3ResultSet& result);
    bool executeUpdate(const std::string& statement, CVSQLite3ResultSet& result, int64_t& lastId);
    bool executeQuery(const std::string& statement, CVSQLite3ResultSet& result);

    bool tableExists(const std::string& name);
    // Creates the table unless one of that name exists.
    bool createTable(const std::string& name, const std::string& columns);
    bool setSynchronous(int32_t mode);
    bool createFunction(const std::string& name, ScalarFunction function, int32_t argumentCount,
                        int32_t textEncoding);

    // With `retry`, a busy or locked database is tried `attempts` times, `waitMs` apart (opening
    // retries only these two as well). A
    // command that finally fails reopens the connection, which ends any open transaction.
    bool beginImmediate(const std::string& name, bool retry, int32_t attempts, int32_t waitMs);
    bool beginExclusive(const std::string& name, bool retry, int32_t attempts, int32_t waitMs);
    bool commit(const std::string& name, bool retry, int32_t attempts, int32_t waitMs);
    bool rollback(const std::string& name, bool retry, int32_t attempts, int32_t waitMs);

    // Doubles every single quote, in place.
    static void escapeQuotes(std::string& text);
    // Replaces every single quote by a double quote, in place.
    static void quotesToDouble(char* text);

private:
    enum class TxCommand { Immediate = 0, Exclusive = 1, Commit = 2, Rollback = 3 };
    struct Blank {};

    CVSQLite3Database(const std::string& path, Blank);
    void start(bool skipInitialization, int32_t openLine, int32_t initLine);
    bool initialize();
    bool runTransactionCommand(TxCommand kind, const std::string& name, bool retry,
                               int32_t attempts, int32_t waitMs);
    bool runUpdate(const std::string& statement, CVSQLite3ResultSet& result, int32_t line);
    void clearError();
    void storeError(int32_t code, const char* text);
    void syncFlags();
    [[noreturn]] void raise(int32_t line, const std::string& message) const;

    std::string m_path;
    sqlite3* m_db = nullptr;
    bool m_open = false;
    bool m_initialized = false;
    bool m_inTransaction = false;
    int32_t m_errorCode = 0;
    std::string m_errorMessage;
    Schema m_schema;
};
