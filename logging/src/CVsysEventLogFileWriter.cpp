#include "CVsysEventLogFileWriter.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "CVconException.h"
#include "CVioException.h"
#include "CVioFile.h"
#include "CVsysReportError.h"
#include "CVsysUtility.h"
#include "LockFile.h"

namespace {

const char* const kWriteFunction = "CVsysEventLogFileWriter::DoWork";
const char* const kArchiveFunction = "CVsysEventLog::Archive";
const char* const kSetPathFunction = "CVsysEventLogInterface::setFilePath";

bool sameKey(const std::string& key, const char* name) {
    return CVsysUtility::compareNoCase(key.c_str(), name) == 0;
}

long decimalValue(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

// One entry is one line: inside the text a line feed becomes the two characters \n, a carriage
// return \r and any other control character but tab \xHH, so no text can forge an entry of its
// own. A final line feed is the entry's own line end and stays real; one is added when missing.
void appendEscaped(std::string& line, const std::string& message) {
    static const char kHex[] = "0123456789abcdef";
    const size_t end =
        !message.empty() && message.back() == '\n' ? message.size() - 1 : message.size();
    for (size_t i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(message[i]);
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
            line += "\\x";
            line += kHex[c >> 4];
            line += kHex[c & 0xf];
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '\n';
}

std::string blanksToUnderscores(std::string text) {
    for (char& c : text) {
        if (c == ' ') {
            c = '_';
        }
    }
    return text;
}

std::string directoryOf(const std::string& path) {
    size_t separator = path.rfind('/');
    if (separator == std::string::npos) {
        separator = path.rfind('\\');
    }
    return separator == std::string::npos ? std::string("./") : path.substr(0, separator);
}

std::string numbered(const std::string& path, long number) {
    return path + "." + std::to_string(number);
}

}  // namespace

CVsysEventLogFileWriter::CVsysEventLogFileWriter() = default;

CVsysEventLogFileWriter::~CVsysEventLogFileWriter() = default;

bool CVsysEventLogFileWriter::setParameter(const std::string& key, const std::string& value) {
    if (sameKey(key, "numFiles")) {
        long number = decimalValue(value);
        if (number == 0) {
            return false;
        }
        m_numFiles = static_cast<int32_t>(number);
        return true;
    }
    if (sameKey(key, "bytesPerFiles")) {
        long number = decimalValue(value);
        if (number == 0) {
            return false;
        }
        m_bytesPerFiles = static_cast<uint32_t>(number);
        return true;
    }
    if (sameKey(key, "filePath")) {
        return setFilePath(value);
    }
    if (sameKey(key, "autoAppend")) {
        m_autoAppend = true;  // every entry ends its line; this cannot be switched off
        return true;
    }
    if (sameKey(key, "perProcessFile")) {
        m_perProcessFile = decimalValue(value) != 0;
        return true;
    }
    return true;
}

bool CVsysEventLogFileWriter::setFilePath(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    try {
        CVioFile file(path);
        file.open("a");
        file.close();
    } catch (const CVioException& e) {
        CVsysReportError(kSetPathFunction, "", "%s", e.toString().c_str());
        return false;
    }
    m_filePath = path;
    m_directory = directoryOf(path);
    m_pathValid = true;
    return true;
}

bool CVsysEventLogFileWriter::isReady() {
    return m_pathValid && m_bytesPerFiles != 0 && m_numFiles != 0 && !m_filePath.empty();
}

std::string CVsysEventLogFileWriter::entryPath(const std::string& moduleName) const {
    if (!m_perProcessFile) {
        return m_filePath;
    }
    return m_directory + "/" + blanksToUnderscores(moduleName) + ".txt";
}

std::string CVsysEventLogFileWriter::formatLine(const std::string& moduleName, int32_t level,
                                                const std::string& message, time_t time) const {
    std::string line;
    formatTimestamp(time, line);
    line += ' ';
    if (!m_perProcessFile) {
        line += moduleName;
        line += ' ';
    }
    line += levelTag(level);
    line += ' ';
    appendEscaped(line, message);
    return line;
}

bool CVsysEventLogFileWriter::write(const std::string& moduleName, int32_t level,
                                    const std::string& message, int32_t /*line*/,
                                    const char* /*sourceFile*/, time_t time) {
    if (!isReady()) {
        return false;
    }
    // A local path, not a rewritten field: callers of a single-threaded log share this object.
    const std::string path = entryPath(moduleName);
    try {
        LockFile lock(path + ".lock");
        archive(path, moduleName);
        CVioFile file(path);
        file.open("a+");
        // One write per entry: the line reaches the file whole even beside a writer that
        // ignores the lock file.
        file.write(formatLine(moduleName, level, message, time));
        file.close();
        return true;
    } catch (const CVconException& e) {
        CVsysReportError(kWriteFunction, moduleName.c_str(), "%s", e.toString().c_str());
    } catch (const CVioException& e) {
        CVsysReportError(kWriteFunction, moduleName.c_str(), "%s", e.toString().c_str());
    } catch (...) {
        CVsysReportError(kWriteFunction, moduleName.c_str(), "Unknown Error");
    }
    return false;
}

void CVsysEventLogFileWriter::Archive(const std::string& moduleName) {
    archive(m_filePath, moduleName);
}

void CVsysEventLogFileWriter::archive(const std::string& path, const std::string& moduleName) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 ||
        static_cast<unsigned long long>(info.st_size) < m_bytesPerFiles) {
        return;
    }
    if (!appendArchiveLine(path, moduleName)) {
        return;
    }
    const std::string oldest = numbered(path, m_numFiles);
    if (CVioFile::exists(oldest)) {
        CVioFile::remove(oldest);
    }
    for (long i = static_cast<long>(m_numFiles) - 1; i >= 1; --i) {
        const std::string from = numbered(path, i);
        if (CVioFile::exists(from)) {
            std::rename(from.c_str(), numbered(path, i + 1).c_str());  // a gap is harmless
        }
    }
    const std::string newest = numbered(path, 1);
    if (std::rename(path.c_str(), newest.c_str()) != 0) {
        CVioFile::remove(newest);
        if (std::rename(path.c_str(), newest.c_str()) != 0) {
            CVsysReportError(kArchiveFunction, moduleName.c_str(),
                             "Can not rename log file from '%s' to '%s'", path.c_str(),
                             newest.c_str());
        }
    }
}

bool CVsysEventLogFileWriter::appendArchiveLine(const std::string& path,
                                                const std::string& moduleName) {
    CVioFile file(path);
    try {
        file.open("a");
    } catch (const CVioException&) {
        CVsysReportError(kArchiveFunction, moduleName.c_str(), "Can Not Open Log File");
        return false;
    }
    try {
        file.write(CVsysUtility::formatTime(time(nullptr), "%m/%d/%Y %H:%M:%S") + " Archiving " +
                   path + "\n");
    } catch (const CVioException& e) {
        CVsysReportError(kArchiveFunction, moduleName.c_str(), "%s", e.toString().c_str());
        return false;
    }
    return true;
}
