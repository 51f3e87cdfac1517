#include "CVsysEventLogFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "CVconException.h"
#include "CVioDescriptor.h"
#include "CVioException.h"
#include "CVioFile.h"
#include "CVioPath.h"
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

constexpr uint64_t kMinBytesPerFile = 1024;
constexpr uint64_t kMaxBytesPerFile = 1099511627776;  // 1 TiB
constexpr uint64_t kMinFiles = 1;
// Each archive step probes every number up to this one.
constexpr uint64_t kMaxFiles = 1000;

// Decimal digits only, checked for overflow and range.
bool parseInRange(const std::string& text, uint64_t low, uint64_t high, uint64_t& number) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (high - (c - '0')) / 10) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    number = value;
    return value >= low;
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

std::string numbered(const std::string& path, long number) {
    return path + "." + std::to_string(number);
}

}  // namespace

CVsysEventLogFileWriter::CVsysEventLogFileWriter() = default;

CVsysEventLogFileWriter::~CVsysEventLogFileWriter() = default;

bool CVsysEventLogFileWriter::setParameter(const std::string& key, const std::string& value) {
    // A value out of range leaves the writer unready, so the log is refused rather than
    // archiving at some other size.
    if (sameKey(key, "numFiles")) {
        uint64_t number = 0;
        const bool valid = parseInRange(value, kMinFiles, kMaxFiles, number);
        m_numFiles = valid ? static_cast<int32_t>(number) : 0;
        return valid;
    }
    if (sameKey(key, "bytesPerFiles")) {
        uint64_t number = 0;
        const bool valid = parseInRange(value, kMinBytesPerFile, kMaxBytesPerFile, number);
        m_bytesPerFiles = valid ? number : 0;
        return valid;
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
    m_directory = CVioPath::directoryOf(path);
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
        const int error = appendWhole(path, formatLine(moduleName, level, message, time));
        if (error == 0) {
            return true;
        }
        reportFailure(kWriteFunction, moduleName,
                      "Cannot write log file [" + path + "]: " + CVsysUtility::errorText(error));
    } catch (const CVconException& e) {
        reportFailure(kWriteFunction, moduleName, e.toString());
    } catch (const CVioException& e) {
        reportFailure(kWriteFunction, moduleName, e.toString());
    } catch (...) {
        reportFailure(kWriteFunction, moduleName, "Unknown Error");
    }
    return false;
}

int CVsysEventLogFileWriter::appendWhole(const std::string& path, const std::string& line) {
    CVioDescriptor fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    struct stat info;
    if (!fd || fstat(fd.get(), &info) != 0) {
        return errno;
    }
    // One write per entry where the system allows it, so the line reaches the file whole even
    // beside a writer that ignores the lock file.
    int error = 0;
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(fd.get(), line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error != 0) {
        // Whatever part of the line made it goes again, so no reader ever sees a torn entry.
        if (ftruncate(fd.get(), info.st_size) != 0) {
            error = errno;
        }
        return error;
    }
    return close(fd.release()) == 0 ? 0 : errno;
}

void CVsysEventLogFileWriter::reportFailure(const char* function, const std::string& moduleName,
                                            const std::string& text) {
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    int64_t last = m_lastReport.load();
    if ((last != kNeverReported && now - last < kReportIntervalSeconds) ||
        !m_lastReport.compare_exchange_strong(last, now)) {
        ++m_unreported;
        return;
    }
    const unsigned unreported = m_unreported.exchange(0);
    if (unreported == 0) {
        CVsysReportError(function, moduleName.c_str(), "%s", text.c_str());
    } else {
        CVsysReportError(function, moduleName.c_str(),
                         "%s (%u more failed entries since the last report)", text.c_str(),
                         unreported);
    }
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
    const int error =
        appendWhole(path, CVsysUtility::formatTime(time(nullptr), "%m/%d/%Y %H:%M:%S") +
                              " Archiving " + path + "\n");
    if (error != 0) {
        reportFailure(kArchiveFunction, moduleName,
                      "Can Not Open Log File [" + path + "]: " + CVsysUtility::errorText(error));
        return false;
    }
    return true;
}
