#include "CVDBiResultSet.h"

namespace {
const CVDBiRow kEmptyRow;
const CVDBiCell kEmptyCell{nullptr, nullptr};
}  // namespace

CVDBiResultSet::~CVDBiResultSet() = default;

const CVDBiRow& CVDBiResultSet::getRow(int32_t index) const {
    if (index < 0 || index >= m_rowCount || static_cast<size_t>(index) >= m_rows.size()) {
        return kEmptyRow;
    }
    return m_rows[static_cast<size_t>(index)];
}

const CVDBiCell& CVDBiResultSet::getCell(const CVDBiRow& row, int32_t column) {
    if (column < 0 || static_cast<size_t>(column) >= row.size()) {
        return kEmptyCell;
    }
    return row[static_cast<size_t>(column)];
}

std::string CVDBiResultSet::getValue(const CVDBiCell& cell) {
    return cell.second != nullptr ? std::string(cell.second) : std::string();
}
