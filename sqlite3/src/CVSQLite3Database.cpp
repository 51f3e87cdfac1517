#include "CVSQLite3Database.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "CVSQLite3Connection.h"

namespace {

const char kFileTag[] = "../sqlite3/src/CVSQLite3Database";
constexpr int kOpenCloseAttempts = 50;
constexpr int kOpenCloseWaitMs = 500;
constexpr int kBusyTimeoutMs = 60000;
constexpr int kSqliteReadonly = 8;

void pause(int32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max<int32_t>(milliseconds, 0)));
}

}  // namespace

CVSQLite3Database::CVSQLite3Database(const std::string& path, Blank) : m_path(path) {}

// The bodies below run on a fully constructed object, so a raise still closes the connection.
CVSQLite3Database::CVSQLite3Database(const std::string& path, bool skipInitialization)
    : CVSQLite3Database(path, Blank{}) {
    start(skipInitialization, 85, 82);
}

CVSQLite3Database::CVSQLite3Database(const std::string& path, const Schema& schema,
                                     bool skipInitialization)
    : CVSQLite3Database(path, Blank{}) {
    m_schema = schema;
    start(skipInitialization, 117, 114);
}

CVSQLite3Database::CVSQLite3Database(const std::string& path, const char* const schema[][2],
                                     int32_t count, bool skipInitialization)
    : CVSQLite3Database(path, Blank{}) {
    if (count > 0 && schema == nullptr) {
        raise(141, "Unable to set DB schema.");
    }
    for (int32_t i = 0; i < count; ++i) {
        if (schema[i][0] == nullptr || schema[i][1] == nullptr) {
            raise(141, "Unable to set DB schema.");
        }
        m_schema[schema[i][0]] = schema[i][1];
    }
    start(skipInitialization, 148, 145);
}

CVSQLite3Database::~CVSQLite3Database() {
    close();
    if (m_db != nullptr) {
        sqlite3_close_v2(m_db);  // still busy after every attempt: let SQLite finish it later
    }
}

void CVSQLite3Database::start(bool skipInitialization, int32_t openLine, int32_t initLine) {
    if (!open(false)) {
        raise(openLine, "Unable to open DB [" + m_path + "]");
    }
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    m_initialized = skipInitialization ? true : initialize();
    if (!isOpen() || !m_initialized) {
        raise(initLine, "Unable to initialize DB.");
    }
}

bool CVSQLite3Database::open(bool markInitialized) {
    if (isOpen()) {
        return true;
    }
    clearError();
    const CVSQLite3Connection::Opened opened = CVSQLite3Connection::open(m_path);
    if (opened.db == nullptr) {
        storeError(opened.code, opened.text.c_str());
        return false;
    }
    m_db = opened.db;
    m_open = true;
    m_initialized = m_initialized || markInitialized;
    sqlite3_extended_result_codes(m_db, 1);
    return true;
}

bool CVSQLite3Database::close() {
    if (!isOpen()) {
        return false;
    }
    clearError();
    for (int attempt = 1; attempt <= kOpenCloseAttempts; ++attempt) {
        const int rc = sqlite3_close(m_db);
        if (rc == SQLITE_OK) {
            m_db = nullptr;
            m_open = m_initialized = m_inTransaction = false;
            return true;
        }
        if (!CVSQLite3Connection::retryable(rc) || attempt == kOpenCloseAttempts) {
            break;
        }
        pause(kOpenCloseWaitMs);
    }
    return false;
}

void CVSQLite3Database::reopen() {
    close();
    if (!open(false)) {
        raise(600, "Unable to open DB [" + m_path + "]");
    }
    if (!isOpen()) {
        raise(597, "Unable to initialize DB.");
    }
    clearError();
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    m_initialized = true;
}

void CVSQLite3Database::syncFlags() {
    if (m_db == nullptr) {
        m_open = m_initialized = false;
    }
}

bool CVSQLite3Database::isOpen() {
    syncFlags();
    return m_open;
}

bool CVSQLite3Database::isInitialized() {
    syncFlags();
    return m_initialized;
}

bool CVSQLite3Database::isInTransaction() {
    syncFlags();
    return m_inTransaction;
}

bool CVSQLite3Database::isAutocommit() {
    return isOpen() && sqlite3_get_autocommit(m_db) != 0;
}

void CVSQLite3Database::setBusyTimeout(int32_t milliseconds) {
    if (isOpen()) {
        sqlite3_busy_timeout(m_db, milliseconds);
    }
}

bool CVSQLite3Database::runUpdate(const std::string& statement, CVSQLite3ResultSet& result,
                                  int32_t line) {
    if (!isInitialized()) {
        return false;
    }
    clearError();
    char* text = nullptr;
    const int rc = sqlite3_exec(m_db, statement.c_str(), nullptr, nullptr, &text);
    if (rc != SQLITE_OK) {
        storeError(rc, text);
        sqlite3_free(text);
        raise(line, "Unable to execute UPDATE query [" + statement + "].");
    }
    result.reset(sqlite3_changes(m_db));
    return true;
}

bool CVSQLite3Database::executeUpdate(const std::string& statement, CVSQLite3ResultSet& result) {
    return runUpdate(statement, result, 530);
}

bool CVSQLite3Database::executeUpdate(const std::string& statement, CVSQLite3ResultSet& result,
                                      int64_t& lastId) {
    if (!runUpdate(statement, result, 634)) {
        return false;
    }
    lastId = std::max<int64_t>(sqlite3_last_insert_rowid(m_db), 0);
    return true;
}

bool CVSQLite3Database::executeQuery(const std::string& statement, CVSQLite3ResultSet& result) {
    if (!isInitialized()) {
        return false;
    }
    clearError();
    char** table = nullptr;
    char* text = nullptr;
    int rows = 0;
    int columns = 0;
    const int rc = sqlite3_get_table(m_db, statement.c_str(), &table, &rows, &columns, &text);
    if (rc != SQLITE_OK) {
        storeError(rc, text);
        sqlite3_free(text);
        sqlite3_free_table(table);
        raise(501, "Unable to execute SELECT query [" + statement + "].");
    }
    result.assign(table, rows, columns);
    return true;
}

bool CVSQLite3Database::tableExists(const std::string& name) {
    if (!isOpen()) {
        return false;
    }
    clearError();
    sqlite3_stmt* statement = nullptr;
    int rc =
        sqlite3_prepare_v2(m_db, "SELECT name FROM sqlite_master WHERE type='table' AND name=?;",
                           -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        rc = sqlite3_step(statement);
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        storeError(rc, nullptr);
        raise(445, "Unable to check table '" + name + "' existance");
    }
    return rc == SQLITE_ROW;
}

// Never drops: a table that exists, whoever made it, keeps its rows.
bool CVSQLite3Database::createTable(const std::string& name, const std::string& columns) {
    // %w: the name as a quoted identifier.
    const std::unique_ptr<char, decltype(&sqlite3_free)> statement(
        sqlite3_mprintf("CREATE TABLE IF NOT EXISTS \"%w\" (%s);", name.c_str(), columns.c_str()),
        sqlite3_free);
    CVSQLite3ResultSet result;
    return statement != nullptr && executeUpdate(statement.get(), result);
}

bool CVSQLite3Database::setSynchronous(int32_t mode) {
    CVSQLite3ResultSet result;
    return executeUpdate("PRAGMA synchronous=" + std::to_string(mode) + ";", result);
}

bool CVSQLite3Database::createFunction(const std::string& name, ScalarFunction function,
                                       int32_t argumentCount, int32_t textEncoding) {
    if (name.empty() || function == nullptr || !isOpen()) {
        return false;
    }
    return sqlite3_create_function(m_db, name.c_str(), argumentCount, textEncoding, nullptr,
                                   function, nullptr, nullptr) == SQLITE_OK;
}

bool CVSQLite3Database::beginImmediate(const std::string& name, bool retry, int32_t attempts,
                                       int32_t waitMs) {
    if (!isOpen() || m_inTransaction) {
        return false;
    }
    m_inTransaction = runTransactionCommand(TxCommand::Immediate, name, retry, attempts, waitMs);
    return m_inTransaction;
}

bool CVSQLite3Database::beginExclusive(const std::string& name, bool retry, int32_t attempts,
                                       int32_t waitMs) {
    if (!isOpen() || m_inTransaction) {
        return false;
    }
    m_inTransaction = runTransactionCommand(TxCommand::Exclusive, name, retry, attempts, waitMs);
    return m_inTransaction;
}

bool CVSQLite3Database::commit(const std::string& name, bool retry, int32_t attempts,
                               int32_t waitMs) {
    if (!isOpen() || !m_inTransaction) {
        return false;
    }
    const bool done = runTransactionCommand(TxCommand::Commit, name, retry, attempts, waitMs);
    if (done) {
        m_inTransaction = false;
    }
    return done;
}

bool CVSQLite3Database::rollback(const std::string& name, bool retry, int32_t attempts,
                                 int32_t waitMs) {
    if (!isOpen() || !m_inTransaction) {
        return false;
    }
    const bool done = runTransactionCommand(TxCommand::Rollback, name, retry, attempts, waitMs);
    if (done) {
        m_inTransaction = false;
    }
    return done;
}

bool CVSQLite3Database::runTransactionCommand(TxCommand kind, const std::string& name, bool retry,
                                              int32_t attempts, int32_t waitMs) {
    static const char* const kVerbs[] = {"BEGIN IMMEDIATE TRANSACTION ",
                                         "BEGIN EXCLUSIVE TRANSACTION ", "COMMIT TRANSACTION ",
                                         "ROLLBACK TRANSACTION "};
    const std::string statement = kVerbs[static_cast<int>(kind)] + name + ";";
    const bool isBegin = kind == TxCommand::Immediate || kind == TxCommand::Exclusive;
    int32_t remaining = std::max<int32_t>(attempts, 1);
    for (;;) {
        try {
            CVSQLite3ResultSet result;
            if (executeUpdate(statement, result)) {
                return true;
            }
            reopen();
            return false;
        } catch (const CVDBexception& e) {
            const int code = static_cast<int>(e.getErrorCode());
            if (isBegin && (code & 0xff) == kSqliteReadonly) {
                reopen();  // a fresh connection may see the file writable again
            } else if (!CVSQLite3Connection::retryable(code)) {
                reopen();
                throw;
            }
        } catch (...) {
            // Anything else is treated like a busy database.
        }
        if (!retry) {
            reopen();
            return false;
        }
        pause(waitMs);
        if (--remaining <= 0) {
            reopen();
            return false;
        }
    }
}

bool CVSQLite3Database::initialize() {
    const std::string name;
    const bool retry = true;
    const int32_t attempts = 4000;
    const int32_t waitMs = 30;
    beginExclusive(name, retry, attempts, waitMs);
    bool ok = true;
    try {
        for (const auto& [table, columns] : m_schema) {
            if (!tableExists(table) && !createTable(table, columns)) {
                ok = false;
            }
        }
    } catch (...) {
        rollback(name, retry, attempts, waitMs);
        throw;
    }
    if (ok) {
        commit(name, retry, attempts, waitMs);
    } else {
        rollback(name, retry, attempts, waitMs);
    }
    return ok;
}

void CVSQLite3Database::escapeQuotes(std::string& text) {
    for (size_t pos = text.find('\''); pos != std::string::npos; pos = text.find('\'', pos + 2)) {
        text.insert(pos, 1, '\'');
    }
}

void CVSQLite3Database::quotesToDouble(char* text) {
    for (char* p = text; p != nullptr && *p != '\0'; ++p) {
        if (*p == '\'') {
            *p = '"';
        }
    }
}

void CVSQLite3Database::clearError() {
    m_errorCode = 0;
    m_errorMessage.clear();
}

void CVSQLite3Database::storeError(int32_t code, const char* text) {
    m_errorCode = code;
    if (text != nullptr) {
        m_errorMessage = text;
    } else {
        m_errorMessage = m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
    }
}

// The message texts are fixed, so the database file rides along with SQLite's text when the
// message does not name it already.
void CVSQLite3Database::raise(int32_t line, const std::string& message) const {
    std::string sysMessage = m_errorMessage;
    if (!m_path.empty() && message.find(m_path) == std::string::npos) {
        sysMessage += sysMessage.empty() ? "database " + m_path : " (database " + m_path + ")";
    }
    throw CVDBexception(static_cast<uint32_t>(m_errorCode), kFileTag, line, message, sysMessage);
}
