#include "CVioFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "CVioException.h"
#include "CVioRecordLock.h"
#include "CVsysUtility.h"

namespace {

const char* const kFileTag = "../src/CVioFile";

// Line numbers reported with each raise site.
enum RaiseLine {
    kLineAlreadyOpen = 209,
    kLineOpenFailed = 215,
    kLineNotRegular = 216,
    kLineFlushFailed = 247,
    kLineLockFileNumber = 258,
    kLineLockFailed = 298,
    kLineWriteStringNotOpen = 367,
    kLineWriteStringFailed = 372,
    kLineWriteStringFlush = 373,
    kLineWriteNotOpen = 381,
    kLineWriteNullBuffer = 386,
    kLineWriteFailed = 391,
    kLineWriteFlush = 392,
    kLinePrintfNotOpen = 404,
    kLinePrintfFailed = 410,
    kLinePrintfFlush = 411,
    kLineRewindNotOpen = 440,
    kLineReadNotOpen = 472,
    kLineReadNullBuffer = 486,
    kLineReadFailed = 493,
    kLineIniReadNotOpen = 503,
    kLineIniReadNullBuffer = 517,
    kLineIniReadFailed = 524,
    kLineGetSizeFailed = 688,
    kLineTruncateNotOpen = 895,
    kLineTruncateFileNumber = 901,
    kLineTruncateFailed = 911,
};

const size_t kStringLineBuffer = 1023;
const size_t kMaxPatternPieces = 255;

std::vector<std::string> splitPattern(const char* pattern) {
    std::vector<std::string> pieces;
    const char* start = pattern;
    while (*start != '\0' && pieces.size() < kMaxPatternPieces) {
        const char* star = std::strchr(start, '*');
        size_t length = star ? static_cast<size_t>(star - start) : std::strlen(start);
        if (length > 0) {
            pieces.emplace_back(start, length);
        }
        if (star == nullptr) {
            break;
        }
        start = star + 1;
    }
    return pieces;
}

}  // namespace

CVioFile::CVioFile(const std::string& path) : m_path(path) {}

CVioFile::~CVioFile() {
    close();
}

void CVioFile::open(const std::string& mode) {
    if (m_stream != nullptr) {
        raise(kLineAlreadyOpen, "File Was Already Open");
    }
    // "e": no descriptor leaks into programs started by this process.
    FILE* stream = fopen(m_path.c_str(), (mode + "e").c_str());
    if (stream == nullptr) {
        raise(kLineOpenFailed, "File Open Failed", CVsysUtility::getSystemErrorMessage());
    }
    m_stream = stream;
    m_mode = mode;
}

void CVioFile::openRegular() {
    if (m_stream != nullptr) {
        raise(kLineAlreadyOpen, "File Was Already Open");
    }
    // Non-blocking, so that a FIFO in its place cannot hold the open; a regular file ignores it.
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        raise(kLineOpenFailed, "File Open Failed", CVsysUtility::getSystemErrorMessage());
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        raise(kLineNotRegular, "File Open Failed", "Not a regular file");
    }
    FILE* stream = fdopen(fd, "r");
    if (stream == nullptr) {
        const std::string sys = CVsysUtility::getSystemErrorMessage();
        ::close(fd);
        raise(kLineOpenFailed, "File Open Failed", sys);
    }
    m_stream = stream;
    m_mode = "r";
}

void CVioFile::close() {
    // Waits out another thread's lock()..unlock() span on this object.
    m_lock.lock();
    if (m_stream != nullptr) {
        // Closing drops the record lock, so drop the holds of the object lock with it.
        for (; m_lockDepth > 0; --m_lockDepth) {
            m_lock.unlock();
        }
        fclose(m_stream);
        m_stream = nullptr;
        m_mode.clear();
    }
    m_lock.unlock();
}

void CVioFile::flush() {
    if (m_stream != nullptr && fflush(m_stream) != 0) {
        raise(kLineFlushFailed, "File Flush Failed", CVsysUtility::getSystemErrorMessage());
    }
}

void CVioFile::lock(char mode, bool wait) {
    // A thread of this process sharing this object stops here: the record lock is the
    // descriptor's, so it would not exclude it.
    (void)m_lock.lock();
    if (m_stream == nullptr) {
        m_lock.unlock();
        return;
    }
    int fd = fileno(m_stream);
    if (fd < 0) {
        std::string sys = CVsysUtility::getSystemErrorMessage();
        m_lock.unlock();
        raise(kLineLockFileNumber, "File Get File Number Failed", sys);
    }
    ::rewind(m_stream);
    short type = mode == 'r' ? F_RDLCK : mode == 'w' ? F_WRLCK : F_UNLCK;
    if (CVioSetRecordLock(fd, type, wait) == -1) {
        std::string sys = CVsysUtility::getSystemErrorMessage();
        m_lock.unlock();
        raise(kLineLockFailed, "File Lock Failed", sys);
    }
    ++m_lockDepth;
}

void CVioFile::unlock() {
    // Busy means another thread holds this object's lock: not ours to release.
    if (m_lock.tryLock() != CVconLock::ACQUIRED) {
        return;
    }
    releaseRecordLock();
    if (m_lockDepth > 0) {
        --m_lockDepth;
        m_lock.unlock();
    }
    m_lock.unlock();
}

void CVioFile::releaseRecordLock() {
    if (m_stream == nullptr) {
        return;
    }
    int fd = fileno(m_stream);
    if (fd >= 0) {
        ::rewind(m_stream);
        CVioSetRecordLock(fd, F_UNLCK, false);
    }
}

size_t CVioFile::readLine(char* buffer, size_t size) {
    return readInto(buffer, size, kLineReadNotOpen, kLineReadNullBuffer, kLineReadFailed);
}

size_t CVioFile::readLine(std::string& line) {
    line.clear();
    char buffer[kStringLineBuffer];
    size_t length = readLine(buffer, sizeof buffer);
    line.assign(buffer, length);
    return length;
}

size_t CVioFile::readIniLine(char* buffer, size_t size) {
    return readInto(buffer, size, kLineIniReadNotOpen, kLineIniReadNullBuffer, kLineIniReadFailed);
}

size_t CVioFile::readWholeLine(std::string& line, size_t maxKept) {
    if (m_stream == nullptr) {
        raise(kLineReadNotOpen, "File not opened for reading");
    }
    line.clear();
    size_t length = 0;
    flockfile(m_stream);
    int c;
    while ((c = getc_unlocked(m_stream)) != EOF) {
        ++length;
        if (c == '\n') {
            break;
        }
        if (line.size() < maxKept) {
            line.push_back(static_cast<char>(c));
        }
    }
    const bool failed = ferror_unlocked(m_stream) != 0;
    funlockfile(m_stream);
    if (failed) {
        raise(kLineReadFailed, "File Get Lines Failed", CVsysUtility::getSystemErrorMessage());
    }
    return length;
}

size_t CVioFile::readInto(char* buffer, size_t size, int notOpenLine, int nullBufferLine,
                          int errorLine) {
    if (m_stream == nullptr) {
        raise(notOpenLine, "File not opened for reading");
    }
    if (buffer == nullptr) {
        raise(nullBufferLine, "Invalid Buffer Pointer");
    }
    if (size == 0) {
        return 0;
    }
    std::memset(buffer, 0, size);
    int limit = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    if (fgets(buffer, limit, m_stream) == nullptr) {
        if (ferror(m_stream)) {
            raise(errorLine, "File Get Lines Failed", CVsysUtility::getSystemErrorMessage());
        }
        return 0;
    }
    return std::strlen(buffer);
}

void CVioFile::write(const void* buffer, size_t length) {
    requireWritable(kLineWriteNotOpen);
    if (length == 0) {
        return;
    }
    if (buffer == nullptr) {
        raise(kLineWriteNullBuffer, "Invalid Buffer Pointer");
    }
    if (fwrite(buffer, 1, length, m_stream) != length) {
        raise(kLineWriteFailed, "File Write Failed", CVsysUtility::getSystemErrorMessage());
    }
    flushWritten(kLineWriteFlush);
}

void CVioFile::write(const std::string& text) {
    requireWritable(kLineWriteStringNotOpen);
    if (fwrite(text.data(), 1, text.size(), m_stream) != text.size()) {
        raise(kLineWriteStringFailed, "File Write Failed", CVsysUtility::getSystemErrorMessage());
    }
    flushWritten(kLineWriteStringFlush);
}

void CVioFile::printf(const char* format, ...) {
    requireWritable(kLinePrintfNotOpen);
    va_list args;
    va_start(args, format);
    int written = vfprintf(m_stream, format, args);
    va_end(args);
    if (written < 0) {
        raise(kLinePrintfFailed, "File Write Failed", CVsysUtility::getSystemErrorMessage());
    }
    flushWritten(kLinePrintfFlush);
}

// Buffered bytes that cannot reach the file are a failed write, not a failed flush.
void CVioFile::flushWritten(int line) {
    if (fflush(m_stream) != 0) {
        raise(line, "File Write Failed", CVsysUtility::getSystemErrorMessage());
    }
}

void CVioFile::rewind() {
    requireWritable(kLineRewindNotOpen);
    ::rewind(m_stream);
}

void CVioFile::truncate(off_t length) {
    if (m_stream == nullptr) {
        raise(kLineTruncateNotOpen, "File not opened for reading");
    }
    int fd = fileno(m_stream);
    if (fd < 0) {
        raise(kLineTruncateFileNumber, "File Get File Number Failed",
              CVsysUtility::getSystemErrorMessage());
    }
    if (ftruncate(fd, length) != 0) {
        raise(kLineTruncateFailed, "File Truncate Failed", CVsysUtility::getSystemErrorMessage());
    }
    ::rewind(m_stream);
}

off_t CVioFile::getSize() const {
    struct stat info;
    if (stat(m_path.c_str(), &info) != 0) {
        raise(kLineGetSizeFailed, "File Get State Failed", CVsysUtility::getSystemErrorMessage());
    }
    return info.st_size;
}

bool CVioFile::remove() {
    return remove(m_path);
}

bool CVioFile::exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool CVioFile::remove(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

bool CVioFile::matchPattern(const char* name, const char* pattern) {
    if (name == nullptr || pattern == nullptr || *name == '\0' || *pattern == '\0') {
        return false;
    }
    if (std::strcmp(pattern, "*") == 0) {
        return true;
    }
    if (*pattern == '*') {
        ++pattern;
    } else {
        const char* star = std::strchr(pattern, '*');
        size_t prefix = star ? static_cast<size_t>(star - pattern) : std::strlen(pattern);
        if (std::strncmp(name, pattern, prefix) != 0) {
            return false;
        }
    }
    // Each piece is searched from one character past where the previous one started, and the
    // match is not anchored at the end: "*.txt" accepts "a.txt.old".
    const char* rest = name;
    for (const std::string& piece : splitPattern(pattern)) {
        if (*rest == '\0') {
            return true;
        }
        const char* found = std::strstr(rest, piece.c_str());
        if (found == nullptr) {
            return false;
        }
        rest = found + 1;
    }
    return true;
}

void CVioFile::requireWritable(int line) const {
    if (m_stream == nullptr) {
        raise(line, "File not opened for writting");
    }
}

void CVioFile::raise(int line, const char* message, const std::string& sysMessage) const {
    throw CVioException(m_path, kFileTag, line, message, sysMessage);
}
