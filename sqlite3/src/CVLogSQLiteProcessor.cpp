#include "CVLogSQLiteProcessor.h"

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "CVDBProcessorFatalException.h"
#include "CVSQLite3Connection.h"

namespace {

constexpr int kOpenCloseAttempts = 50;
constexpr auto kRetryWait = std::chrono::milliseconds(500);
constexpr int kBusyTimeoutMs = 3000;

// SQLITE_STATIC: the text outlives the statement's next step.
int bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_STATIC);
}

// A column's text, NUL bytes included; NULL reads as empty.
std::string text(sqlite3_stmt* statement, int column) {
    const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return value == nullptr
               ? std::string()
               : std::string(value, static_cast<size_t>(sqlite3_column_bytes(statement, column)));
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
    const CVSQLite3Connection::Opened opened = CVSQLite3Connection::open(m_path);
    if (opened.db == nullptr) {
        setError(opened.code, opened.text + " [" + m_path + "]");
        return false;
    }
    m_db = opened.db;
    m_open = true;
    return true;
}

bool CVLogSQLiteProcessor::initialize() {
    if (!m_open) {
        return false;
    }
    resetError();
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    if (!createMetatable() || !loadModules()) {
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
    int32_t rows = 0;
    return executeUpdate("SELECT name FROM sqlite_master WHERE type='table' AND name=?;", {name},
                         rows) &&
           rows > 0;
}

sqlite3_stmt* CVLogSQLiteProcessor::prepare(const std::string& statement,
                                            const CVLogSQLValues& values) {
    sqlite3_stmt* prepared = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(m_db, statement.c_str(), -1, &prepared, &tail);
    if (rc == SQLITE_OK && tail != nullptr && tail[std::strspn(tail, " \t\r\n;")] != '\0') {
        sqlite3_finalize(prepared);
        setError(SQLITE_MISUSE, "one statement at a time");
        return nullptr;
    }
    for (size_t i = 0; rc == SQLITE_OK && i < values.size(); ++i) {
        const int index = static_cast<int>(i) + 1;
        if (const auto* number = std::get_if<int64_t>(&values[i])) {
            rc = sqlite3_bind_int64(prepared, index, *number);
        } else {
            rc = bindText(prepared, index, std::get<std::string>(values[i]));
        }
    }
    if (rc != SQLITE_OK) {
        storeSqliteError(rc);
        sqlite3_finalize(prepared);
        return nullptr;
    }
    return prepared;
}

bool CVLogSQLiteProcessor::run(const std::string& statement, const CVLogSQLValues& values,
                               const std::function<void(sqlite3_stmt*)>& row) {
    if (!m_open) {
        return false;
    }
    resetError();
    sqlite3_stmt* prepared = prepare(statement, values);
    if (prepared == nullptr) {
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(prepared)) == SQLITE_ROW) {
        row(prepared);
    }
    if (rc != SQLITE_DONE) {
        storeSqliteError(rc);
    }
    sqlite3_finalize(prepared);
    return rc == SQLITE_DONE;
}

bool CVLogSQLiteProcessor::executeUpdate(const std::string& statement, const CVLogSQLValues& values,
                                         int32_t& rowCount) {
    rowCount = 0;
    return run(statement, values, [&](sqlite3_stmt*) { ++rowCount; });
}

bool CVLogSQLiteProcessor::executeQuery(const std::string& statement, const CVLogSQLValues& values,
                                        CVLogQueryResult& result) {
    result.clear();
    // Column 0, the id, is left out; rows of fewer than seven columns give no record.
    return run(statement, values, [&](sqlite3_stmt* row) {
        if (sqlite3_column_count(row) >= 7) {
            result.push_back(CVLogRecord{text(row, 1), sqlite3_column_int64(row, 2),
                                         sqlite3_column_int(row, 3), text(row, 4),
                                         sqlite3_column_int(row, 5), text(row, 6)});
        }
    });
}

bool CVLogSQLiteProcessor::createMetatable() {
    int32_t rows = 0;
    return executeUpdate(
        "CREATE TABLE IF NOT EXISTS metatable (id INTEGER, module_name "
        "VARCHAR(50), table_name VARCHAR(50));",
        {}, rows);
}

bool CVLogSQLiteProcessor::loadModules() {
    return run("SELECT module_name, table_name FROM metatable ORDER BY module_name;", {},
               [&](sqlite3_stmt* row) { m_moduleTables[text(row, 0)] = text(row, 1); });
}

bool CVLogSQLiteProcessor::beginBatch() {
    int32_t rows = 0;
    m_inBatch = !m_inBatch && executeUpdate("BEGIN IMMEDIATE;", {}, rows);
    return m_inBatch;
}

bool CVLogSQLiteProcessor::commitBatch() {
    if (!m_inBatch) {
        return false;
    }
    m_inBatch = false;
    int32_t rows = 0;
    if (executeUpdate("COMMIT;", {}, rows)) {
        return true;
    }
    const int32_t code = m_errorCode;
    const std::string message = m_errorMessage;
    executeUpdate("ROLLBACK;", {}, rows);
    setError(code, message);
    return false;
}

sqlite3_stmt* CVLogSQLiteProcessor::statementFor(const std::string& module,
                                                 const std::string& table) {
    sqlite3_stmt*& statement = m_statements[module];
    if (statement == nullptr) {
        const std::string text = "INSERT INTO " + quoted(table) +
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
    if (findTable(module) == nullptr) {
        const std::string table = makeTableName(module);
        if (!loadModules() || (findTable(module) == nullptr && !createModule(table, module)) ||
            !loadModules()) {
            throw CVDBProcessorFatalException(m_errorCode, "Unable to create module [" + module +
                                                               "] table [" + table + "]. " +
                                                               m_errorMessage);
        }
    }
    sqlite3_stmt* statement = statementFor(module, *findTable(module));
    if (statement == nullptr) {
        return false;
    }
    int rc = bindText(statement, 1, entryModule);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(statement, 2, timestamp);
        sqlite3_bind_int(statement, 3, level);
        bindText(statement, 4, message);
        sqlite3_bind_int(statement, 5, line);
        bindText(statement, 6, srcfile);
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
