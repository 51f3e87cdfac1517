#include "CVFIdispatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>

#include "CVFIdaemon.h"
#include "CVFIdelivery.h"
#include "CVFIfailed.h"
#include "CVFImessage.h"
#include "CVFIresources.h"
#include "CVFIspool.h"
#include "CVcorfiDirectoryWatch.h"
#include "CVcorfiParallelDelivery.h"
#include "CVcorfiRetryState.h"
#include "CVfileDescriptor.h"
#include "CVioPath.h"
#include "CVmonitorFile.h"
#include "CVsysEventLogInterface.h"

namespace {

constexpr size_t kLockDirMax = 252;
constexpr size_t kOpenDirMax = 253;
// Another holder of the directory lock (a second daemon on the same spool) is waited for in
// slices, so that the monitor file stays fresh and a stop is seen; past the whole wait the
// cycle is skipped rather than blocked for good.
constexpr int kLockSliceMs = 1000;
constexpr int kLockSlices = 30;

CVsysEventLogInterface* eventLog(int32_t line) {
    return CVsysEventLogInterface::GetInstance(line, __FILE__);
}

template <class... Args>
void logError(int32_t line, const char* format, Args... args) {
    eventLog(line)->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr, format, args...);
}

// A cycle that handled no message file is followed by at least this wait, so that `rest` 0 does
// not spin over an empty spool directory.
constexpr int kIdleWaitMs = 100;

// Everything the loop keeps from one cycle to the next.
struct DispatchState {
    std::string spoolDir;   // as configured, for the log
    std::string spoolPath;  // absolute, for opening the directory each cycle
    std::string monitorPath;
    std::array<unsigned char, CV_MONITOR_RECORD_SIZE> monitorRecord{};
    // Ends rests early when message files arrive; null when neither spool_watch nor a `rest`
    // of 0 asks for it.
    std::unique_ptr<CVcorfiDirectoryWatch> watch;
    bool watchEndsRest = false;                // spool_watch is on and inotify works
    std::unique_ptr<CVcorfiRetryState> retry;  // only with a retry_period
    CVioDescriptor failedDir;                  // only with a usable failed_dir
};

// What one walk found beyond the files it handled.
struct CycleOutcome {
    bool handled = false;  // some message file got its outcome
    // The first second at which a file passed over becomes due (its TIME_AT is past, or its
    // next attempt has come); 0 for none.
    time_t wakeAt = 0;

    void wakeBy(time_t when) {
        if (wakeAt == 0 || when < wakeAt) {
            wakeAt = when;
        }
    }
};

// What one walk works with: the directory's descriptor and its lock file's identity, and the
// transfers running beside it when several files are posted at once.
struct Walk {
    int dirFd;
    struct stat lockInfo;
    CycleOutcome* outcome;
    CVcorfiParallelDelivery* parallel;  // null: one file at a time
    CVcorfiRetryState* retry;           // null: no retries
    int failedDir;                      // -1: failed files are removed
    std::set<std::string>* names;       // the message file names seen, while retries wait
};

// More than this many transfers at once would only queue at the server.
constexpr int kMaxParallel = 64;

int maxParallel() {
    return std::clamp(g_corfiValues.maxParallel, 1, kMaxParallel);
}

// A relative spool directory is resolved once, against the start-up working directory.
std::string absoluteSpoolPath(const std::string& spoolDir) {
    if (spoolDir.empty() || spoolDir[0] == '/') {
        return spoolDir;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return spoolDir;
    }
    return CVioPath::joinSlashed(cwd, spoolDir);
}

void touchMonitor(DispatchState& state) {
    CVmonitorFileTouch(state.monitorPath.c_str(), state.monitorRecord.data());
}

void prepareWatch(DispatchState& state) {
    const bool spoolWatch = g_corfiValues.spoolWatch != 0;
    if (!spoolWatch && g_corfiValues.rest > 0) {
        return;
    }
    state.watch = std::make_unique<CVcorfiDirectoryWatch>(state.spoolPath, CVFIisMessageFileName);
    if (spoolWatch) {
        state.watch->warnIfInvalid(state.spoolDir);
    }
    state.watchEndsRest = spoolWatch && state.watch->valid();
}

void prepareFirstCycle(DispatchState& state) {
    if (g_corfiValues.retryPeriod > 0) {
        state.retry = std::make_unique<CVcorfiRetryState>(g_corfiPaths.tempDir);
    }
    if (g_corfiValues.failedDir[0] != '\0') {
        state.failedDir = CVFIopenFailedDirectory(g_corfiValues.failedDir);
    }
    state.spoolDir = g_corfiValues.spoolDir;
    state.spoolPath = absoluteSpoolPath(state.spoolDir);
    if (chdir(state.spoolPath.c_str()) != 0) {
        // Nothing depends on the working directory; the cycle's own checks report the spool.
    }
    state.monitorPath = CVioPath::joinSlashed(g_corfiPaths.tempDir, ".ACFI");
    const char* arguments[] = {g_corfiPaths.commandLine.c_str()};
    if (!CVmonitorFileCreate(state.monitorPath.c_str(), "CVD-CORFI", state.monitorRecord.data(), "",
                             1, arguments)) {
        logError(__LINE__, "%s", "Failed to create mointor file. Service may not be monitored\n");
    }
    touchMonitor(state);
    prepareWatch(state);
}

// Opens, locks and parses one accepted message file; false when it could not be locked.
bool readMessageFile(const char* name, int fd, CVFImessage& record) {
    if (!CVFIlockSpoolEntry(fd)) {
        logError(__LINE__, "Couldn't lock spool file %s using flock\n", name);
        return false;
    }
    CVFIparseMessageFile(fd, record, CVFI_MAX_MESSAGE_FILE);
    if (record.hasMessage) {
        eventLog(__LINE__)->LogDebug(CVsysEventLogInterface::CODE_TRACE, "get message [%s]\n",
                                     record.message.c_str());
    }
    if (CVfdUnlock(fd) != 0) {
        logError(__LINE__, "Couldn't unlock spool file %s using flock\n", name);
    }
    return true;
}

// A file that ended FAILED is kept in the failed directory when there is one, else removed;
// either only while its name still names the file that was read.
void dispose(const Walk& walk, const std::string& name, const struct stat& read,
             const std::string& reason) {
    if (walk.retry != nullptr) {
        walk.retry->forget(name);
    }
    std::string error;
    if (walk.failedDir >= 0 &&
        !CVFImoveToFailedDirectory(walk.dirFd, name, read, walk.failedDir, reason, error)) {
        logError(__LINE__, "Cannot move [%s] to the failed directory [%s]: %s\n", name.c_str(),
                 g_corfiValues.failedDir, error.c_str());
    } else if (walk.failedDir >= 0) {
        return;
    }
    CVFIremoveSpoolEntry(walk.dirFd, name.c_str(), read);
}

// True when the failure is to be tried again later rather than end FAILED.
bool retryLater(const Walk& walk, const std::string& name, const struct stat& read) {
    if (walk.retry == nullptr) {
        return false;
    }
    const time_t now = time(nullptr);
    const CVcorfiRetryState::Decision decision =
        walk.retry->failed(name, read, now, g_corfiValues.retryPeriod);
    if (!decision.retry) {
        return false;
    }
    eventLog(__LINE__)->LogEvent(CVsysEventLogInterface::CODE_WARN, nullptr,
                                 "Delivery of [%s] failed; retry %d in %d s\n", name.c_str(),
                                 decision.attempt, decision.delay);
    walk.outcome->wakeBy(now + decision.delay);
    return true;
}

// What follows a delivery: the outcome line and the file's removal; a file a stop interrupted
// stays for the next start, and one that failed for a passing reason may wait for a retry.
void settle(const Walk& walk, const std::string& name, const struct stat& read,
            const CVFImessage& record, const CVFIresult& result) {
    switch (result.outcome) {
        case CVFI_DELIVERED:
            CVFIlogCompleted(record);
            if (walk.retry != nullptr) {
                walk.retry->forget(name);
            }
            CVFIremoveSpoolEntry(walk.dirFd, name.c_str(), read);
            break;
        case CVFI_INTERRUPTED:
            CVFIlogInterrupted(name.c_str());
            break;
        default:
            if (!result.transient || !retryLater(walk, name, read)) {
                dispose(walk, name, read, result.reason);
                CVFIlogFailed(record);
            }
            break;
    }
}

// A file waiting for its TIME_AT or for its next attempt is passed over.
bool due(const Walk& walk, const char* name, const struct stat& read, const CVFImessage& record) {
    const time_t now = time(nullptr);
    if (!CVFIisDue(record, now)) {
        walk.outcome->wakeBy(record.scheduledTime + 1);
        return false;
    }
    time_t nextAttempt = 0;
    if (walk.retry != nullptr && !walk.retry->due(name, read, now, &nextAttempt)) {
        walk.outcome->wakeBy(nextAttempt);
        return false;
    }
    return true;
}

// Every file that was read is either kept for later or gets its outcome.
void decideFate(const Walk& walk, const char* name, const struct stat& read, CVFImessage& record) {
    CVFIvalidateMessage(record);
    if (!record.valid) {
        walk.outcome->handled = true;
        CVFIlogFailed(record);
        dispose(walk, name, read, record.lastError);
        return;
    }
    if (!due(walk, name, read, record)) {
        return;
    }
    walk.outcome->handled = true;
    if (walk.parallel != nullptr) {
        walk.parallel->post(name, read, record);
        return;
    }
    CVFIresult result;
    CVFIdeliverMessage(record, g_corfiValues.corvanexsUrl, time(nullptr), &result);
    settle(walk, name, read, record, result);
}

// Nothing of a refused entry is read; the entry itself, never what it points to, goes.
void refuse(const Walk& walk, const char* name, const CVFIspoolEntry& entry) {
    walk.outcome->handled = true;
    const std::string reason = CVFIrefusalText(entry, name);
    logError(__LINE__, "%s", reason.c_str());
    CVFIlogFailed(CVFImessage());
    dispose(walk, name, entry.info, reason);
}

void handleMessageFile(const Walk& walk, const char* name, const struct stat* seen) {
    CVFIspoolEntry entry = CVFIopenSpoolEntry(walk.dirFd, name, seen, walk.lockInfo);
    if (entry.verdict == CVFIentryVerdict::CANNOT_OPEN) {
        logError(__LINE__, "Couldn't open spool file %s\n", name);
        return;
    }
    if (entry.verdict != CVFIentryVerdict::ACCEPTED) {
        refuse(walk, name, entry);
        return;
    }
    CVFImessage record;
    const bool read = readMessageFile(name, entry.fd.get(), record);
    entry.fd.reset();
    if (read) {
        decideFate(walk, name, entry.info, record);
    }
}

// Sub-directories are left alone without a word; an entry gone before its status counts as a
// file, which then fails to open.
void handleEntry(const Walk& walk, const char* name) {
    struct stat seen;
    const bool known = fstatat(walk.dirFd, name, &seen, AT_SYMLINK_NOFOLLOW) == 0;
    if (known && S_ISDIR(seen.st_mode)) {
        return;
    }
    eventLog(__LINE__)->LogDebug(CVsysEventLogInterface::CODE_TRACE, "Process File [%s] \n", name);
    if (CVFIisMessageFileName(name)) {
        if (walk.names != nullptr) {
            walk.names->insert(name);
        }
        handleMessageFile(walk, name, known ? &seen : nullptr);
    }
}

// Walks the open directory; returns early, with false, when a stop is requested between two
// files.
bool walkDirectory(DispatchState& state, const Walk& walk, DIR* directory, dirent* entry) {
    for (; entry != nullptr; entry = readdir(directory)) {
        touchMonitor(state);
        handleEntry(walk, entry->d_name);
        if (CVFIstopRequested()) {
            return false;
        }
    }
    return true;
}

enum class CycleLock { LOCKED, SKIP, END };

CycleLock lockSpool(DispatchState& state, int dirFd, CVioDescriptor& lock) {
    if (state.spoolPath.size() > kLockDirMax) {
        return CycleLock::END;
    }
    for (int slice = 0; slice < kLockSlices; ++slice) {
        switch (CVFIlockSpoolDirectory(dirFd, kLockSliceMs, lock)) {
            case CVFIlockResult::LOCKED:
                return CycleLock::LOCKED;
            case CVFIlockResult::FAILED:
                return CycleLock::END;
            case CVFIlockResult::BUSY:
                touchMonitor(state);
                if (CVFIstopRequested()) {
                    return CycleLock::SKIP;
                }
                break;
        }
    }
    logError(__LINE__, "Spool directory [%s] is still locked by another process; cycle skipped",
             state.spoolDir.c_str());
    return CycleLock::SKIP;
}

using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;

// One cycle; false when the loop must end.
bool runCycle(DispatchState& state, CycleOutcome& outcome) {
    if (!CVisPrimaryServer(g_corfiPaths.primaryServerFile.c_str())) {
        eventLog(__LINE__)->LogInfo(nullptr, "Not a primary server. Quit\n");
        return false;
    }
    CVioDescriptor dirFd = CVFIopenSpoolDirectory(state.spoolPath);
    CVioDescriptor lock;
    const CycleLock locked = dirFd ? lockSpool(state, dirFd.get(), lock) : CycleLock::END;
    if (locked != CycleLock::LOCKED) {
        if (locked == CycleLock::END) {
            logError(__LINE__, "Cannot lock directory [%s]\n", state.spoolDir.c_str());
        }
        return locked == CycleLock::SKIP;
    }
    // Only a retry that waits needs the names, to forget files that are gone.
    std::set<std::string> names;
    const bool collectNames = state.retry && !state.retry->entries().empty();
    Walk walk{dirFd.get(),
              {},
              &outcome,
              nullptr,
              state.retry.get(),
              state.failedDir.get(),
              collectNames ? &names : nullptr};
    struct stat dirInfo;
    if (fstat(dirFd.get(), &dirInfo) != 0 || fstat(lock.get(), &walk.lockInfo) != 0) {
        logError(__LINE__, "Cannot get status of directory [%s]\n", state.spoolDir.c_str());
        return false;
    }
    DirPtr directory(state.spoolPath.size() <= kOpenDirMax ? fdopendir(dirFd.get()) : nullptr,
                     closedir);
    if (directory) {
        dirFd.release();  // closed with the directory stream
    }
    dirent* first = directory ? readdir(directory.get()) : nullptr;
    if (first == nullptr) {
        logError(__LINE__, "No file can be found in directory [%s]\n", state.spoolDir.c_str());
        return false;
    }
    // The directory stays locked until the last transfer of the walk has ended.
    std::unique_ptr<CVcorfiParallelDelivery> parallel;
    if (maxParallel() > 1) {
        parallel = std::make_unique<CVcorfiParallelDelivery>(
            maxParallel(), g_corfiValues.corvanexsUrl,
            [&walk](const std::string& name, const struct stat& read, const CVFImessage& record,
                    const CVFIresult& result) { settle(walk, name, read, record, result); });
        walk.parallel = parallel.get();
    }
    const bool whole = walkDirectory(state, walk, directory.get(), first);
    if (parallel) {
        parallel->drain();
    }
    if (whole && collectNames) {
        state.retry->keepOnly(names);
    }
    return true;
}

}  // namespace

bool CVFIisMessageFileName(const char* name) {
    return name != nullptr && strncasecmp(name, "corfi", 5) == 0;
}

namespace {

// Milliseconds until the second `when` begins.
int millisecondsUntil(time_t when) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long long left =
        (static_cast<long long>(when) - now.tv_sec) * 1000 - now.tv_nsec / 1000000;
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// The rest after a cycle; true when a stop ended it.
bool rest(DispatchState& state, const CycleOutcome& outcome) {
    int restMs = CVFIsecondsToMilliseconds(g_corfiValues.rest);
    if (state.watchEndsRest && outcome.wakeAt != 0) {
        restMs = std::min(restMs, millisecondsUntil(outcome.wakeAt));
    }
    const bool idle = !outcome.handled && restMs < kIdleWaitMs;
    if (idle) {
        restMs = kIdleWaitMs;
    }
    if (state.watch && (state.watchEndsRest || idle)) {
        return state.watch->wait(restMs) == CVcorfiDirectoryWatch::STOPPED;
    }
    return CVFIstopRequested(restMs);
}

}  // namespace

void CVFIdispatchLoop() {
    DispatchState state;
    prepareFirstCycle(state);
    for (;;) {
        CycleOutcome outcome;
        if (!runCycle(state, outcome) || rest(state, outcome)) {
            return;
        }
    }
}
