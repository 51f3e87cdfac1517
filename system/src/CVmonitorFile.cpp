#include "CVmonitorFile.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "CVfileDescriptor.h"
#include "CVsysEventLogInterface.h"
#include "formatString.h"

namespace {

// Each field runs up to the next one.
constexpr size_t kTagSize = CV_MONITOR_PID_OFFSET - CV_MONITOR_TAG_OFFSET;
constexpr size_t kPidSize = CV_MONITOR_ARGS_OFFSET - CV_MONITOR_PID_OFFSET;
constexpr size_t kArgsSize = CV_MONITOR_EXTRA_OFFSET - CV_MONITOR_ARGS_OFFSET;
constexpr size_t kExtraSize = CV_MONITOR_START_OFFSET - CV_MONITOR_EXTRA_OFFSET;
constexpr size_t kMaxAddressLength = 15;
constexpr size_t kPhsLineSize = 1024;

void putTime(unsigned char* record, size_t offset, time_t when) {
    const int32_t value = static_cast<int32_t>(when);
    std::memcpy(record + offset, &value, sizeof value);
}

// Zero-pads the field and copies at most size - 1 characters into it.
void putText(unsigned char* record, size_t offset, size_t size, const char* text) {
    std::memset(record + offset, 0, size);
    if (text) {
        std::strncpy(reinterpret_cast<char*>(record + offset), text, size - 1);
    }
}

void putArguments(unsigned char* record, int argc, const char* const* argv) {
    std::string joined;
    for (int i = 0; i < argc && argv; ++i) {
        joined += argv[i] ? argv[i] : "";
        joined += ' ';
    }
    putText(record, CV_MONITOR_ARGS_OFFSET, kArgsSize, joined.c_str());
}

// Fills every field the daemon owns; bytes 0-3 and 8-11 stay as they are.
void fillRecord(unsigned char* record, const char* tag, const char* extra, const char* pidText,
                int argc, const char* const* argv) {
    const time_t now = time(nullptr);
    putTime(record, CV_MONITOR_START_OFFSET, now);
    putTime(record, CV_MONITOR_UPDATE_OFFSET, now);
    putText(record, CV_MONITOR_PID_OFFSET, kPidSize, pidText);
    putArguments(record, argc, argv);
    putText(record, CV_MONITOR_TAG_OFFSET, kTagSize, tag);
    putText(record, CV_MONITOR_EXTRA_OFFSET, kExtraSize, extra);
}

bool writeAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void readAll(int fd, unsigned char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = read(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

CVsysEventLogInterface* eventLog(int line) {
    return CVsysEventLogInterface::GetInstance(line, __FILE__);
}

bool rewriteMonitorFile(const char* path, const char* tag, unsigned char* record, const char* extra,
                        int argc, const char* const* argv) {
    const int fd = CVfdOpen(path, "r+");
    if (fd < 0) {
        eventLog(__LINE__)->error(
            formatString("Can not create moitor file[%s]. Process may not be monitored\n", path),
            __LINE__, __FILE__);
        return false;
    }
    readAll(fd, record, CV_MONITOR_RECORD_SIZE);
    const std::string pid = formatString("%ld", static_cast<long>(getpid()));
    fillRecord(record, tag, extra, pid.c_str(), argc, argv);
    const bool written =
        lseek(fd, 0, SEEK_SET) == 0 && writeAll(fd, record, CV_MONITOR_RECORD_SIZE);
    if (!written) {
        eventLog(__LINE__)->LogSystemErrorAt(nullptr, __LINE__, __FILE__, "Cannot write file [%s]",
                                             path);
    }
    close(fd);
    return written;
}

bool createMonitorFile(const char* path, const char* tag, unsigned char* record, const char* extra,
                       int argc, const char* const* argv) {
    const std::string pid = formatString("%d", static_cast<int>(getpid()));
    fillRecord(record, tag, extra, pid.c_str(), argc, argv);
    const int fd = CVfdLockedOpen(path, "w", true);
    if (fd < 0) {
        eventLog(__LINE__)->LogSystemErrorAt(nullptr, __LINE__, __FILE__, "Cannot open file [%s]",
                                             path);
        return false;
    }
    const bool written = writeAll(fd, record, CV_MONITOR_RECORD_SIZE);
    if (!written) {
        eventLog(__LINE__)->LogSystemErrorAt(nullptr, __LINE__, __FILE__, "Cannot write file [%s]",
                                             path);
    }
    if (CVfdReleaseClose(fd) != 0) {
        eventLog(__LINE__)->LogSystemErrorAt(nullptr, __LINE__, __FILE__, "Cannot unlock file [%s]",
                                             path);
    }
    return written;
}

// The first line of the primary-server file; false when it cannot be read or is empty.
bool readFirstLine(const char* path, std::string& line) {
    const int fd = CVfdOpen(path, "r");
    if (fd < 0) {
        return false;
    }
    if (CVfdLock(fd, false, true) != 0) {
        close(fd);
        return false;
    }
    char buffer[kPhsLineSize];
    const ssize_t n = CVfdReadLine(fd, buffer, sizeof buffer);
    CVfdReleaseClose(fd);
    if (n <= 0) {
        return false;
    }
    line.assign(buffer, static_cast<size_t>(n));
    return true;
}

// The address named by the line, or empty when it names none we may look for.
std::string addressOf(const std::string& line) {
    const size_t begin = line.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return "";
    }
    std::string text = line.substr(begin, line.find_first_of("\r\n", begin) - begin);
    if (text[0] == '#' || text.size() > kMaxAddressLength) {
        return "";
    }
    text.erase(text.find_last_not_of(" \t") + 1);
    // Only a dotted IPv4 text can match an interface address; anything else is no address.
    if (text.find_first_not_of("0123456789.") != std::string::npos) {
        return "";
    }
    return text;
}

bool interfacesHoldAddress(const std::string& address) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> owner(list, freeifaddrs);
    for (const struct ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        char text[INET_ADDRSTRLEN];
        const auto* ipv4 = reinterpret_cast<const struct sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text) &&
            CVaddressMatches(address.c_str(), text)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CVmonitorFileCreate(const char* path, const char* tag, unsigned char* record,
                         const char* extra, int argc, const char* const* argv) {
    struct stat info;
    if (stat(path, &info) == 0) {
        return rewriteMonitorFile(path, tag, record, extra, argc, argv);
    }
    return createMonitorFile(path, tag, record, extra, argc, argv);
}

void CVmonitorFileTouch(const char* path, unsigned char* record) {
    if (record) {
        putTime(record, CV_MONITOR_UPDATE_OFFSET, time(nullptr));
    }
    utime(path, nullptr);
}

bool CVisPrimaryServer(const char* path) {
    std::string line;
    if (!readFirstLine(path, line)) {
        return true;
    }
    const std::string address = addressOf(line);
    if (address.empty()) {
        return false;
    }
    return interfacesHoldAddress(address);
}

bool CVaddressMatches(const char* address, const char* localAddress) {
    if (!address || !localAddress) {
        return false;
    }
    const size_t length = std::strlen(address);
    const size_t localLength = std::strlen(localAddress);
    for (size_t start = 0; start + length <= localLength; ++start) {
        size_t i = 0;
        while (i < length && (address[i] == '.' || address[i] == localAddress[start + i])) {
            ++i;
        }
        if (i == length) {
            return true;
        }
    }
    return false;
}
