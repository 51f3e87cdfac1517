#include "CVLogSQLiteProcessor.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "CVDBProcessorFatalException.h"

namespace {

constexpr int kOpenCloseAttempts = 50;
constexpr auto kRetryWait = std::chrono::milliseconds(500);
constexpr int kBusyTimeoutMs = 3000;
constexpr size_t kTableQueryLimit = 500;

const char* cell(char** table, int index) {
    const char* value = table[index];
    return value == nullptr ? "" : value;
}

int32_t cellNumber(char** table, int index) {
    return static_cast<int32_t>(std::strtoll(cell(table, index), nullptr, 10));
}

int countRow(void* counter, int, char**, char**) {
    ++*static_cast<int32_t*>(counter);
    return 0;
}

}  // namespace

CVLogSQLiteProcessor::CVLogSQLiteProcessor(const std::string& path, bool openNow)
    : CVLogDBProcessorInterface(path) {
    if (!openNow || !open()) {
        return;
    }
    if (!initialize()) {
        const CVDBProcessorFatalException failure(m_errorCode, m_errorMessage);
        close();
        throw failure;
    }
}

CVLogSQLiteProcessor::~CVLogSQLiteProcessor() {
    close();
    m_statements.clear();
    m_moduleTables.clear();
}

bool CVLogSQLiteProcessor::storeSqliteError(int code) {
    setError(code, m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(code));
    return false;
}

bool CVLogSQLiteProcessor::open() {
    if (m_open) {
        return true;
    }
    resetError();
    for (int attempt = 1; attempt <= kOpenCloseAttempts; ++attempt) {
        sqlite3* db = nullptr;
        const int rc = sqlite3_open(m_path.c_str(), &db);
        if (rc == SQLITE_OK) {
            m_db = db;
            m_open = true;
            return true;
        }
        const std::string text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        setError(rc, text + " [" + m_path + "]");
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
            return false;
        }
        if (attempt < kOpenCloseAttempts) {
            std::this_thread::sleep_for(kRetryWait);
        }
    }
    return false;
}

bool CVLogSQLiteProcessor::initialize() {
    if (!m_open) {
        return false;
    }
    resetError();
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    if (!tableExists("metatable") && !createMetatable()) {
        return false;
    }
    if (!loadModules()) {
        return false;
    }
    m_initialized = true;
    return true;
}

void CVLogSQLiteProcessor::finalizeStatements() {
    for (auto& entry : m_statements) {
        sqlite3_finalize(entry.second);
    }
    m_statements.clear();
}

bool CVLogSQLiteProcessor::close() {
    if (!m_open) {
        return false;
    }
    resetError();
    finalizeStatements();
    bool closed = false;
    for (int attempt = 1; attempt <= kOpenCloseAttempts && !closed; ++attempt) {
        const int rc = sqlite3_close(m_db);
        if (rc == SQLITE_OK) {
            closed = true;
        } else if (rc != SQLITE_ABORT && rc != SQLITE_LOCKED) {
            storeSqliteError(rc);
            break;
        } else if (attempt < kOpenCloseAttempts) {
            std::this_thread::sleep_for(kRetryWait);
        }
    }
    if (!closed) {
        // The handle is released as soon as SQLite can; it is never used again here.
        sqlite3_close_v2(m_db);
    }
    m_db = nullptr;
    m_open = false;
    return closed;
}

bool CVLogSQLiteProcessor::interrupt() {
    if (!m_open) {
        return false;
    }
    sqlite3_interrupt(m_db);
    return true;
}

bool CVLogSQLiteProcessor::tableExists(const std::string& name) {
    if (!m_open) {
        return false;
    }
    std::string statement =
        "SELECT name FROM sqlite_master WHERE type='table' AND name='" + name + "';";
    statement.resize(std::min(statement.size(), kTableQueryLimit - 1));
    char** table = nullptr;
    int rows = 0;
    int columns = 0;
    const int rc = sqlite3_get_table(m_db, statement.c_str(), &table, &rows, &columns, nullptr);
    sqlite3_free_table(table);
    if (rc != SQLITE_OK) {
        return storeSqliteError(rc);
    }
    return rows > 0;
}

bool CVLogSQLiteProcessor::executeUpdate(const std::string& statement, int32_t& rowCount) {
    if (!m_open) {
        return false;
    }
    resetError();
    rowCount = 0;
    char* error = nullptr;
    const int rc = sqlite3_exec(m_db, statement.c_str(), countRow, &rowCount, &error);
    if (rc != SQLITE_OK) {
        setError(rc, error != nullptr ? error : sqlite3_errmsg(m_db));
        sqlite3_free(error);
        return false;
    }
    return true;
}

bool CVLogSQLiteProcessor::executeQuery(const std::string& statement, CVLogQueryResult& result) {
    if (!m_open) {
        return false;
    }
    resetError();
    char** table = nullptr;
    char* error = nullptr;
    int rows = 0;
    int columns = 0;
    const int rc = sqlite3_get_table(m_db, statement.c_str(), &table, &rows, &columns, &error);
    if (rc != SQLITE_OK) {
        setError(rc, error != nullptr ? error : sqlite3_errmsg(m_db));
        sqlite3_free(error);
        sqlite3_free_table(table);
        return false;
    }
    result.clear();
    if (columns >= 7) {
        result.reserve(rows);
        for (int row = 1; row <= rows; ++row) {  // row 0 holds the column names
            const int base = row * columns;
            result.push_back(CVLogRecord{cell(table, base + 1), cellNumber(table, base + 2),
                                         cellNumber(table, base + 3), cell(table, base + 4),
                                         cellNumber(table, base + 5), cell(table, base + 6)});
        }
    }
    sqlite3_free_table(table);
    return true;
}

bool CVLogSQLiteProcessor::createMetatable() {
    int32_t rows = 0;
    return executeUpdate(
        "CREATE TABLE metatable (id INTEGER, module_name VARCHAR(50), table_name VARCHAR(50));",
        rows);
}

bool CVLogSQLiteProcessor::loadModules() {
    if (!m_open) {
        return false;
    }
    char** table = nullptr;
    char* error = nullptr;
    int rows = 0;
    int columns = 0;
    const int rc = sqlite3_get_table(
        m_db, "SELECT module_name, table_name FROM metatable ORDER BY module_name;", &table, &rows,
        &columns, &error);
    if (rc != SQLITE_OK) {
        setError(rc, error != nullptr ? error : sqlite3_errmsg(m_db));
        sqlite3_free(error);
        sqlite3_free_table(table);
        return false;
    }
    for (int row = 1; row <= rows; ++row) {
        m_moduleTables[cell(table, row * columns)] = cell(table, row * columns + 1);
    }
    sqlite3_free_table(table);
    return true;
}

sqlite3_stmt* CVLogSQLiteProcessor::statementFor(const std::string& module,
                                                 const std::string& table) {
    sqlite3_stmt*& statement = m_statements[module];
    if (statement == nullptr) {
        const std::string text = "INSERT INTO " + table +
                                 " (module, timestamp, level, message, line, srcfile) VALUES (?, "
                                 "?, ?, ?, ?, ?);";
        const int rc = sqlite3_prepare_v2(m_db, text.c_str(), -1, &statement, nullptr);
        if (rc != SQLITE_OK) {
            storeSqliteError(rc);
            sqlite3_finalize(statement);
            statement = nullptr;
        }
    }
    return statement;
}

bool CVLogSQLiteProcessor::insertEntry(const std::string& module, const std::string& entryModule,
                                       int64_t timestamp, int32_t level, const std::string& message,
                                       int32_t line, const std::string& srcfile) {
    if (!m_open) {
        return false;
    }
    resetError();
    const std::string* known = findTable(module);
    const std::string table = known != nullptr ? *known : makeTableName(module);
    if (known == nullptr && !createModule(table, module)) {
        throw CVDBProcessorFatalException(
            m_errorCode,
            "Unable to create module [" + module + "] table [" + table + "]. " + m_errorMessage);
    }
    sqlite3_stmt* statement = statementFor(module, table);
    if (statement == nullptr) {
        return false;
    }
    // SQLITE_STATIC: the texts outlive the step below.
    int rc = sqlite3_bind_text(statement, 1, entryModule.c_str(), -1, SQLITE_STATIC);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(statement, 2, timestamp);
        sqlite3_bind_int(statement, 3, level);
        sqlite3_bind_text(statement, 4, message.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(statement, 5, line);
        sqlite3_bind_text(statement, 6, srcfile.c_str(), -1, SQLITE_STATIC);
        rc = sqlite3_step(statement);
    }
    const bool ok = rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE;
    if (!ok) {
        storeSqliteError(rc);
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return ok;
}

sqlite3_stmt* CVLogSQLiteProcessor::preparedInsert(const std::string& module) const {
    auto it = m_statements.find(module);
    return it == m_statements.end() ? nullptr : it->second;
}
