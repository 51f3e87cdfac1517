#include "CVcorfiBulkStatus.h"

#include <climits>
#include <limits>

#include "CVioDirectory.h"
#include "CVioException.h"
#include "CVioPath.h"
#include "CVsysUtility.h"

namespace {

const char* const kUnitTag = "../src/CVcorfiBulkStatus";

// More than any valid count's text; the rest of a longer line is read and dropped.
constexpr size_t kMaxCountText = 64;

std::string trimmed(std::string text) {
    text.push_back('\0');
    return CVsysUtility::trim(&text[0]);
}

// Digits only, 0 to INT32_MAX; false for anything else.
bool parseCount(const std::string& text, int32_t& count) {
    if (text.empty()) {
        return false;
    }
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
        if (value > std::numeric_limits<int32_t>::max()) {
            return false;
        }
    }
    count = static_cast<int32_t>(value);
    return true;
}

}  // namespace

CVcorfiBulkStatus::CVcorfiBulkStatus(const std::string& directory) : m_directory(directory) {
    if (!CVioDirectory(directory).isAccessible("rw")) {
        throw CVioException(directory, kUnitTag, __LINE__, "The Directory doesn't exists");
    }
    m_statusPath = CVioPath::join(directory, FILE_NAME);
    m_statusFile = std::make_unique<CVioFile>(m_statusPath);
    if (!CVioFile::exists(m_statusPath)) {
        m_statusFile->open("w+");
        return;
    }
    m_statusFile->open("r+");
    if (!readRecord()) {
        m_lineCount = 0;
        m_fileName.clear();
        m_statusFile->truncate(0);
    }
}

CVcorfiBulkStatus::~CVcorfiBulkStatus() = default;

bool CVcorfiBulkStatus::setFileName(const std::string& name) {
    m_fileName = name;
    return writeRecord();
}

bool CVcorfiBulkStatus::setLineCount(int32_t count) {
    m_countValid = count >= 0;
    m_lineCount = count;
    return writeRecord();
}

bool CVcorfiBulkStatus::incrementLineCount() {
    if (m_lineCount < std::numeric_limits<int32_t>::max()) {
        ++m_lineCount;
    }
    return writeRecord();
}

void CVcorfiBulkStatus::clear() {
    m_countValid = true;
    m_lineCount = 0;
    m_fileName.clear();
    m_statusFile->truncate(0);
}

// Only the first two lines count: a rewrite never shortens the file. Each is read whole, so a
// work name as long as the dispatcher makes them never spills into the count; a line longer
// than it keeps makes the record unusable rather than cut into another name or count.
bool CVcorfiBulkStatus::readRecord() {
    std::string count;
    const size_t nameLength = m_statusFile->readWholeLine(m_fileName, PATH_MAX);
    const size_t countLength =
        nameLength == 0 ? 0 : m_statusFile->readWholeLine(count, kMaxCountText);
    if (countLength == 0) {
        return false;
    }
    m_fileName = trimmed(m_fileName);
    m_countValid = nameLength <= PATH_MAX + 1 && countLength <= kMaxCountText + 1 &&
                   parseCount(trimmed(count), m_lineCount);
    if (!m_countValid) {
        m_lineCount = 0;
    }
    return true;
}

bool CVcorfiBulkStatus::writeRecord() {
    try {
        m_statusFile->rewind();
        m_statusFile->printf("%s\n%d\n", m_fileName.c_str(), m_lineCount);
        return true;
    } catch (const CVioException&) {
        return false;
    }
}
