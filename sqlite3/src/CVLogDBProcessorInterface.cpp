#include "CVLogDBProcessorInterface.h"

#include <string>

namespace {

std::string replaceAll(std::string text, char from, char to) {
    for (char& c : text) {
        if (c == from) {
            c = to;
        }
    }
    return text;
}

// Appends a condition, joining it to earlier ones with "AND ".
void addCondition(std::string& conditions, const std::string& condition) {
    if (!conditions.empty()) {
        conditions += "AND ";
    }
    conditions += condition;
}

// "column IN (?, ?, ...) " with one "?" per value.
std::string listCondition(const std::string& column, size_t count) {
    std::string text = column + " IN (";
    for (size_t i = 0; i < count; ++i) {
        text += i ? ", ?" : "?";
    }
    return text + ") ";
}

std::string orderClause(const CVLogQueryFilter& filter) {
    std::string order;
    const std::pair<bool, const char*> keys[] = {{filter.orderByTimestampDesc, "timestamp DESC"},
                                                 {filter.orderByModule, "module"},
                                                 {filter.orderByLevel, "level"}};
    for (const auto& [set, key] : keys) {
        if (set) {
            order += (order.empty() ? "ORDER BY " : ", ") + std::string(key);
        }
    }
    return order;
}

}  // namespace

CVLogDBProcessorInterface::CVLogDBProcessorInterface(const std::string& path) : m_path(path) {}

CVLogDBProcessorInterface::~CVLogDBProcessorInterface() = default;

void CVLogDBProcessorInterface::resetError() {
    m_errorCode = 0;
    m_errorMessage.clear();
}

void CVLogDBProcessorInterface::setError(int32_t code, const std::string& message) {
    m_errorCode = code;
    m_errorMessage = message;
}

const std::string* CVLogDBProcessorInterface::findTable(const std::string& module) const {
    auto it = m_moduleTables.find(module);
    if (it == m_moduleTables.end() || it->second.empty()) {
        return nullptr;
    }
    return &it->second;
}

bool CVLogDBProcessorInterface::executeQuery(const std::string& statement,
                                             CVLogQueryResult& result) {
    return executeQuery(statement, {}, result);
}

bool CVLogDBProcessorInterface::executeUpdate(const std::string& statement, int32_t& rowCount) {
    return executeUpdate(statement, {}, rowCount);
}

std::string CVLogDBProcessorInterface::quoted(const std::string& identifier) {
    std::string text = "\"";
    for (char c : identifier) {
        text += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return text + "\"";
}

bool CVLogDBProcessorInterface::createModule(const std::string& table, const std::string& module) {
    int32_t rows = 0;
    if (!executeUpdate("CREATE TABLE IF NOT EXISTS " + quoted(table) +
                           " (id INTEGER PRIMARY KEY AUTOINCREMENT, module VARCHAR(50), timestamp "
                           "INTEGER, level SMALLINT, message VARCHAR(100), line INTEGER, srcfile "
                           "VARCHAR(50));",
                       {}, rows) ||
        !executeUpdate("INSERT INTO metatable (module_name, table_name) SELECT ?, ? WHERE NOT "
                       "EXISTS (SELECT 1 FROM metatable WHERE module_name = ?);",
                       {module, table, module}, rows)) {
        return false;
    }
    m_moduleTables[module] = table;
    return true;
}

bool CVLogDBProcessorInterface::tableExists(const std::string&) {
    return true;
}

std::string CVLogDBProcessorInterface::makeTableName(const std::string& module) {
    return replaceAll(replaceAll(replaceAll(module, '.', '_'), ' ', '_'), '-', '_');
}

std::string CVLogDBProcessorInterface::buildWhereClause(const CVLogQueryFilter& filter,
                                                        const std::string& datePattern,
                                                        int32_t level,
                                                        const std::string& messagePattern,
                                                        CVLogSQLValues& values) {
    std::string conditions;
    if (!filter.modules.empty()) {
        values.insert(values.end(), filter.modules.begin(), filter.modules.end());
        addCondition(conditions, listCondition("module", filter.modules.size()));
    }
    if (!filter.levels.empty()) {
        values.insert(values.end(), filter.levels.begin(), filter.levels.end());
        addCondition(conditions, listCondition("level", filter.levels.size()));
    }
    if (!messagePattern.empty()) {
        values.emplace_back(messagePattern);
        addCondition(conditions, "message LIKE ? ");
    }
    if (level > 0) {
        values.emplace_back(int64_t{level});
        addCondition(conditions, "level = ? ");
    }
    if (filter.earliestTimestamp > 0) {
        // Brings its own "AND"; the column holds 32-bit values.
        values.emplace_back(
            int64_t{static_cast<int32_t>(static_cast<uint32_t>(filter.earliestTimestamp))});
        conditions += conditions.empty() ? " timestamp>=? " : " AND timestamp>=? ";
    }
    if (!datePattern.empty()) {
        values.emplace_back(datePattern);
        addCondition(conditions, "tempcol LIKE ? ");
    }
    const std::string limit = " LIMIT " + std::to_string(filter.limit < 1 ? -1 : filter.limit) +
                              " OFFSET " + std::to_string(filter.offset < 0 ? 0 : filter.offset) +
                              " ";
    const std::string tail = orderClause(filter) + limit;
    return conditions.empty() ? tail : "WHERE " + conditions + tail;
}

bool CVLogDBProcessorInterface::insertEntry(const std::string& module,
                                            const std::string& entryModule, int64_t timestamp,
                                            int32_t level, const std::string& message, int32_t line,
                                            const std::string& srcfile) {
    const std::string* table = findTable(module);
    if (table == nullptr) {
        return false;
    }
    int32_t rows = 0;
    return executeUpdate("INSERT INTO " + quoted(*table) +
                             " (module, timestamp, level, message, line, srcfile) VALUES (?, ?, ?, "
                             "?, ?, ?);",
                         {entryModule, timestamp, int64_t{level}, message, int64_t{line}, srcfile},
                         rows);
}

bool CVLogDBProcessorInterface::queryModule(const std::string& module, CVLogQueryResult& result,
                                            const std::string& clause) {
    const std::string* table = findTable(module);
    return table != nullptr &&
           executeQuery("SELECT * FROM " + quoted(*table) + " " + clause + ";", {}, result);
}

bool CVLogDBProcessorInterface::queryEntries(const std::string& module, CVLogQueryResult& result,
                                             const CVLogQueryFilter& filter,
                                             const std::string& datePattern, int32_t level,
                                             const std::string& messagePattern) {
    CVLogSQLValues values;
    const std::string clause = buildWhereClause(filter, datePattern, level, messagePattern, values);
    const std::string* table = findTable(module);
    if (table == nullptr) {
        return false;
    }
    const std::string select = datePattern.empty()
                                   ? "SELECT * FROM "
                                   : "SELECT *,strftime('%m/%d/%Y %H:%M:%S',timestamp,'unixepoch',"
                                     "'localtime') AS tempcol FROM ";
    return executeQuery(select + quoted(*table) + " " + clause + ";", values, result);
}

int32_t CVLogDBProcessorInterface::countPages(const std::string& module, int32_t pageSize,
                                              uint32_t level, const std::string& datePattern,
                                              const std::string& messagePattern) {
    const std::string* table = findTable(module);
    if (table == nullptr || pageSize < 1) {
        return 0;
    }
    std::string statement =
        "SELECT  strftime('%m/%d/%Y %H:%M:%S',timestamp,'unixepoch','localtime') entry_time, "
        "message, level,'4','5',COUNT(*) as records,'7' FROM " +
        quoted(*table);
    CVLogSQLValues values;
    if (level != 0) {
        statement += " WHERE level=?";
        values.emplace_back(int64_t{level});
    }
    const std::pair<const char*, const std::string*> patterns[] = {{"entry_time", &datePattern},
                                                                   {"message", &messagePattern}};
    for (const auto& [column, pattern] : patterns) {
        if (!pattern->empty()) {
            statement += std::string(values.empty() ? " WHERE " : " AND ") + column + " LIKE ?";
            values.emplace_back(replaceAll(*pattern, '*', '%'));
        }
    }
    statement += ";";
    CVLogQueryResult result;
    if (!executeQuery(statement, values, result) || result.empty()) {
        return 0;
    }
    const int64_t count = result.front().line;
    return static_cast<int32_t>((count + pageSize - 1) / pageSize);
}

bool CVLogDBProcessorInterface::clearModule(const std::string& module) {
    const std::string* table = findTable(module);
    int32_t rows = 0;
    return table != nullptr && executeUpdate("DELETE FROM " + quoted(*table) + ";", {}, rows);
}

bool CVLogDBProcessorInterface::clearAll() {
    if (m_moduleTables.empty()) {
        return false;
    }
    for (const auto& entry : m_moduleTables) {
        if (!clearModule(entry.first)) {
            return false;
        }
    }
    return true;
}
