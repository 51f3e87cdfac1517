#include "CVFIdispatch.h"

#include <dirent.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <ctime>

#include "CVException.h"
#include "CVFIdaemon.h"
#include "CVFIdelivery.h"
#include "CVFImessage.h"
#include "CVFIresources.h"
#include "CVfileDescriptor.h"
#include "CVmonitorFile.h"
#include "CVsysEventLogInterface.h"

namespace {

constexpr size_t kLockDirMax = 252;
constexpr size_t kOpenDirMax = 253;
const char kLockContent[] = "locker";

CVsysEventLogInterface* eventLog(int32_t line) {
    return CVsysEventLogInterface::GetInstance(line, __FILE__);
}

// Everything the loop keeps from one cycle to the next.
struct DispatchState {
    std::string spoolDir;   // as configured, for the log
    std::string spoolPath;  // absolute, still valid once the working directory has moved
    std::string monitorPath;
    std::array<unsigned char, CV_MONITOR_RECORD_SIZE> monitorRecord{};
};

// A relative spool directory would no longer resolve after the chdir into it.
std::string absoluteSpoolPath(const std::string& spoolDir) {
    if (spoolDir.empty() || spoolDir[0] == '/') {
        return spoolDir;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return spoolDir;
    }
    return CVpathJoin(cwd, spoolDir);
}

void touchMonitor(DispatchState& state) {
    CVmonitorFileTouch(state.monitorPath.c_str(), state.monitorRecord.data());
}

void prepareFirstCycle(DispatchState& state) {
    signal(SIGCHLD, SIG_IGN);
    state.spoolDir = g_corfiValues.spoolDir;
    state.spoolPath = absoluteSpoolPath(state.spoolDir);
    if (chdir(state.spoolPath.c_str()) != 0) {
        // Not fatal here: the cycle's own checks of the spool directory report it.
    }
    state.monitorPath = CVpathJoin(g_corfiPaths.tempDir, ".ACFI");
    const char* arguments[] = {g_corfiPaths.commandLine.c_str()};
    if (!CVmonitorFileCreate(state.monitorPath.c_str(), "CVD-CORFI", state.monitorRecord.data(), "",
                             1, arguments)) {
        eventLog(__LINE__)->LogEvent(
            CVsysEventLogInterface::CODE_ERROR, nullptr,
            "Failed to create mointor file. Service may not be monitored\n");
    }
    touchMonitor(state);
}

// A signalled stop event, or one that cannot be waited on, ends the loop.
bool stopRequested(int timeoutMs) {
    try {
        return CVFIstopEvent().wait(timeoutMs) == CVconEvent::SIGNALED;
    } catch (const CVException&) {
        return true;
    }
}

int restMilliseconds() {
    const int32_t rest = g_corfiValues.rest;
    if (rest <= 0) {
        return 0;
    }
    return rest > INT_MAX / 1000 ? INT_MAX : rest * 1000;
}

// The directory bit alone decides, so block devices and sockets count as directories too. An
// entry gone before its stat counts as a file; opening it then fails.
bool isDirectoryEntry(const DispatchState& state, const char* name) {
    struct stat info;
    const std::string path = state.spoolPath + "/" + name;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & 0040000) != 0;
}

// Opens, locks and parses one message file. False when it could not be read.
bool readMessageFile(const char* name, CVFImessage& record) {
    CVsysEventLogInterface* log = eventLog(__LINE__);
    const int fd = CVfdOpen(name, "r");
    if (fd < 0) {
        log->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr, "Couldn't open spool file %s\n",
                      name);
        return false;
    }
    if (CVfdLock(fd, false, true) != 0) {
        log->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr,
                      "Couldn't lock spool file %s using flock\n", name);
        CVfdReleaseClose(fd);
        return false;
    }
    CVFIparseMessageFile(fd, record);
    if (record.hasMessage) {
        log->LogDebug(CVsysEventLogInterface::CODE_TRACE, "get message [%s]\n",
                      record.message.c_str());
    }
    if (CVfdUnlock(fd) != 0) {
        log->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr,
                      "Couldn't unlock spool file %s using flock\n", name);
    }
    CVfdReleaseClose(fd);
    return true;
}

// Every file that was read is either kept for its scheduled time or removed.
void decideFate(const char* name, CVFImessage& record) {
    CVFIvalidateMessage(record);
    if (!record.valid) {
        CVFIlogFailed(record);
        unlink(name);
        return;
    }
    switch (CVFIdeliverMessage(record, g_corfiValues.corvanexsUrl, time(nullptr))) {
        case CVFI_NOT_DUE:
            break;
        case CVFI_INTERRUPTED:
            CVFIlogInterrupted(name);
            break;
        case CVFI_DELIVERED:
            CVFIlogCompleted(record);
            unlink(name);
            break;
        default:
            unlink(name);
            CVFIlogFailed(record);
            break;
    }
}

void handleEntry(const char* name) {
    eventLog(__LINE__)->LogDebug(CVsysEventLogInterface::CODE_TRACE, "Process File [%s] \n", name);
    if (!CVFIisMessageFileName(name)) {
        return;
    }
    CVFImessage record;
    if (readMessageFile(name, record)) {
        decideFate(name, record);
    }
}

// Walks the open directory; returns early when a stop is requested between two files.
void walkDirectory(DispatchState& state, DIR* directory, dirent* entry) {
    for (; entry != nullptr; entry = readdir(directory)) {
        touchMonitor(state);
        if (isDirectoryEntry(state, entry->d_name)) {
            continue;
        }
        handleEntry(entry->d_name);
        if (stopRequested(0)) {
            return;
        }
    }
}

void logDirectoryError(const char* format, const std::string& spoolDir) {
    eventLog(__LINE__)->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr, format,
                                 spoolDir.c_str());
}

// One cycle; false when the loop must end.
bool runCycle(DispatchState& state) {
    if (!CVisPrimaryServer(g_corfiPaths.primaryServerFile.c_str())) {
        eventLog(__LINE__)->LogInfo(nullptr, "Not a primary server. Quit\n");
        return false;
    }
    const int lockFd = CVFIlockSpoolDirectory(state.spoolPath);
    if (lockFd < 0) {
        logDirectoryError("Cannot lock directory [%s]\n", state.spoolDir);
        return false;
    }
    struct stat info;
    if (stat(state.spoolPath.c_str(), &info) != 0) {
        CVfdReleaseClose(lockFd);
        logDirectoryError("Cannot get status of directory [%s]\n", state.spoolDir);
        return false;
    }
    DIR* directory =
        state.spoolPath.size() <= kOpenDirMax ? opendir(state.spoolPath.c_str()) : nullptr;
    dirent* first = directory ? readdir(directory) : nullptr;
    if (first == nullptr) {
        if (directory) {
            closedir(directory);
        }
        CVfdReleaseClose(lockFd);
        logDirectoryError("No file can be found in directory [%s]\n", state.spoolDir);
        return false;
    }
    walkDirectory(state, directory, first);
    closedir(directory);
    CVfdReleaseClose(lockFd);
    return true;
}

}  // namespace

bool CVFIisMessageFileName(const char* name) {
    return name != nullptr && strncasecmp(name, "corfi", 5) == 0;
}

int CVFIlockSpoolDirectory(const std::string& spoolDir) {
    if (spoolDir.size() > kLockDirMax) {
        return -1;
    }
    const bool endsInSeparator =
        !spoolDir.empty() && (spoolDir.back() == '/' || spoolDir.back() == '\\');
    const std::string path = spoolDir + (endsInSeparator ? "lock" : "/lock");
    int fd = CVfdLockedOpen(path.c_str(), "r+", true);
    if (fd >= 0) {
        return fd;
    }
    fd = CVfdLockedOpen(path.c_str(), "w", true);
    if (fd < 0) {
        return -1;
    }
    const ssize_t length = static_cast<ssize_t>(sizeof kLockContent - 1);
    if (write(fd, kLockContent, sizeof kLockContent - 1) != length) {
        CVfdReleaseClose(fd);
        return -1;
    }
    chmod(path.c_str(), 0666);
    return fd;
}

void CVFIdispatchLoop() {
    DispatchState state;
    prepareFirstCycle(state);
    while (runCycle(state) && !stopRequested(restMilliseconds())) {
    }
}
