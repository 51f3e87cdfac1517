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

std::string listCondition(const std::string& column, const std::vector<std::string>& items) {
    std::string text = column + " IN (";
    for (size_t i = 0; i < items.size(); ++i) {
        text += (i ? ", " : "") + items[i];
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

bool CVLogDBProcessorInterface::createModule(const std::string& table, const std::string& module) {
    int32_t rows = 0;
    executeUpdate("DROP TABLE " + table + ";", rows);
    if (!executeUpdate("CREATE TABLE " + table +
                           " (id INTEGER PRIMARY KEY AUTOINCREMENT, module VARCHAR(50), timestamp "
                           "INTEGER, level SMALLINT, message VARCHAR(100), line INTEGER, srcfile "
                           "VARCHAR(50));",
                       rows)) {
        return false;
    }
    if (!executeUpdate("INSERT INTO metatable (module_name, table_name) VALUES ('" + module +
                           "', '" + table + "');",
                       rows)) {
        // Keep the failure's error text, not the clean-up's.
        const int32_t code = m_errorCode;
        const std::string message = m_errorMessage;
        executeUpdate("DROP TABLE " + table + ";", rows);
        setError(code, message);
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
                                                        const std::string& messagePattern) {
    std::string conditions;
    if (!filter.modules.empty()) {
        std::vector<std::string> quoted;
        for (const std::string& name : filter.modules) {
            quoted.push_back("'" + name + "'");
        }
        addCondition(conditions, listCondition("module", quoted));
    }
    if (!filter.levels.empty()) {
        std::vector<std::string> numbers;
        for (int32_t l : filter.levels) {
            numbers.push_back(std::to_string(l));
        }
        addCondition(conditions, listCondition("level", numbers));
    }
    if (!messagePattern.empty()) {
        addCondition(conditions, "message LIKE '" + messagePattern + "' ");
    }
    if (level > 0) {
        addCondition(conditions, "level = " + std::to_string(level) + " ");
    }
    if (filter.earliestTimestamp > 0) {
        // Brings its own "AND"; the column holds 32-bit values.
        const std::string value =
            std::to_string(static_cast<int32_t>(static_cast<uint32_t>(filter.earliestTimestamp)));
        conditions += (conditions.empty() ? " timestamp>=" : " AND timestamp>=") + value + " ";
    }
    if (!datePattern.empty()) {
        addCondition(conditions, "tempcol LIKE '" + datePattern + "' ");
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
    return executeUpdate(
        "INSERT INTO " + *table + " (module, timestamp, level, message, line, srcfile) VALUES ('" +
            entryModule + "', " + std::to_string(static_cast<unsigned long>(timestamp)) + ", " +
            std::to_string(level) + ", '" + message + "', " + std::to_string(line) + ", '" +
            srcfile + "');",
        rows);
}

bool CVLogDBProcessorInterface::queryModule(const std::string& module, CVLogQueryResult& result,
                                            const std::string& clause) {
    const std::string* table = findTable(module);
    return table != nullptr && executeQuery("SELECT * FROM " + *table + " " + clause + ";", result);
}

bool CVLogDBProcessorInterface::queryEntries(const std::string& module, CVLogQueryResult& result,
                                             const CVLogQueryFilter& filter,
                                             const std::string& datePattern, int32_t level,
                                             const std::string& messagePattern) {
    const std::string clause = buildWhereClause(filter, datePattern, level, messagePattern);
    const std::string* table = findTable(module);
    if (table == nullptr) {
        return false;
    }
    const std::string select = datePattern.empty()
                                   ? "SELECT * FROM "
                                   : "SELECT *,strftime('%m/%d/%Y %H:%M:%S',timestamp,'unixepoch',"
                                     "'localtime') AS tempcol FROM ";
    return executeQuery(select + *table + " " + clause + ";", result);
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
        *table;
    bool hasWhere = false;
    if (level != 0) {
        statement += " WHERE level=" + std::to_string(level);
        hasWhere = true;
    }
    const std::pair<const char*, const std::string*> patterns[] = {{"entry_time", &datePattern},
                                                                   {"message", &messagePattern}};
    for (const auto& [column, pattern] : patterns) {
        if (!pattern->empty()) {
            statement += std::string(hasWhere ? " AND " : " WHERE ") + column + " LIKE '" +
                         replaceAll(*pattern, '*', '%') + "'";
            hasWhere = true;
        }
    }
    statement += ";";
    CVLogQueryResult result;
    if (!executeQuery(statement, result) || result.empty()) {
        return 0;
    }
    const int64_t count = result.front().line;
    return static_cast<int32_t>((count + pageSize - 1) / pageSize);
}

bool CVLogDBProcessorInterface::clearModule(const std::string& module) {
    const std::string* table = findTable(module);
    int32_t rows = 0;
    return table != nullptr && executeUpdate("DELETE FROM " + *table + ";", rows);
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
