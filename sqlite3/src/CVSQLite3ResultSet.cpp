#include "CVSQLite3ResultSet.h"

#include <sqlite3.h>

CVSQLite3ResultSet::~CVSQLite3ResultSet() {
    freeTable();
}

void CVSQLite3ResultSet::freeTable() {
    m_rows.clear();
    if (m_table != nullptr) {
        sqlite3_free_table(m_table);
        m_table = nullptr;
    }
}

void CVSQLite3ResultSet::reset(int32_t affectedRows) {
    freeTable();
    m_rowCount = -1;
    m_columnCount = -1;
    m_affectedRowCount = affectedRows;
}

void CVSQLite3ResultSet::assign(char** table, int32_t rows, int32_t columns) {
    reset(-1);
    m_table = table;
    m_rowCount = rows;
    m_columnCount = columns;
    m_rows.reserve(static_cast<size_t>(rows));
    for (int32_t r = 0; r < rows; ++r) {
        CVDBiRow row;
        row.reserve(static_cast<size_t>(columns));
        for (int32_t c = 0; c < columns; ++c) {
            // Row 0 of the table holds the column names.
            row.emplace_back(table[c], table[(r + 1) * columns + c]);
        }
        m_rows.push_back(std::move(row));
    }
}
