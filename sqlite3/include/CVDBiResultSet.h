// Rows returned by a database query, independent of the database engine. Cells point into
// storage owned by the concrete result set, so they stay valid only as long as it does.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Column name and value; the value is null for SQL NULL.
using CVDBiCell = std::pair<const char*, const char*>;
using CVDBiRow = std::vector<CVDBiCell>;

class CVDBiResultSet {
public:
    CVDBiResultSet() = default;
    virtual ~CVDBiResultSet();
    CVDBiResultSet(const CVDBiResultSet&) = delete;
    CVDBiResultSet& operator=(const CVDBiResultSet&) = delete;

    // -1 when no rows were fetched.
    int32_t getRowCount() const { return m_rowCount; }
    // -1 when the last statement was not an update.
    int32_t getAffectedRowCount() const { return m_affectedRowCount; }
    // An empty row for an index outside 0 to row count - 1.
    const CVDBiRow& getRow(int32_t index) const;
    // An empty cell for an index outside the row.
    static const CVDBiCell& getCell(const CVDBiRow& row, int32_t column);
    // The empty string for NULL.
    static std::string getValue(const CVDBiCell& cell);

protected:
    std::vector<CVDBiRow> m_rows;
    int32_t m_rowCount = -1;
    int32_t m_affectedRowCount = -1;
};
