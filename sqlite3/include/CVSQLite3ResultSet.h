// Result of a SQLite select: owns the table from sqlite3_get_table, which its cells point into.
#pragma once

#include <cstdint>

#include "CVDBiResultSet.h"

class CVSQLite3Database;

class CVSQLite3ResultSet : public CVDBiResultSet {
public:
    CVSQLite3ResultSet() = default;
    ~CVSQLite3ResultSet() override;

    // -1 when no rows were fetched.
    int32_t getColumnCount() const { return m_columnCount; }

private:
    friend class CVSQLite3Database;

    // Drops any table and rows and records the rows an update changed.
    void reset(int32_t affectedRows);
    // Takes ownership of a table from sqlite3_get_table: a header row of column names, then
    // `rows` rows of `columns` values.
    void assign(char** table, int32_t rows, int32_t columns);
    void freeTable();

    char** m_table = nullptr;
    int32_t m_columnCount = -1;
};
