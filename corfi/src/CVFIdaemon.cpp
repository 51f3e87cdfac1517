#include "CVFIdaemon.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "CVException.h"
#include "CVFIbulk.h"
#include "CVFIdelivery.h"
#include "CVFIdispatch.h"
#include "CVFIresources.h"
#include "CVfileDescriptor.h"
#include "CVioPath.h"
#include "CVresource.h"
#include "CVsysEventLogInterface.h"
#include "CVsysReportError.h"
#include "CVsysUtility.h"

CVFIdaemonPaths g_corfiPaths;

namespace {

const char* const kInitialize = "CVFImainInitialize";
const char* const kIdent = "CVD-CORFI";
const char* const kModuleName = "File System Interface";
const char* const kBannerLine = "==========================================================\n";

constexpr size_t kProgramNameMax = 255;
constexpr size_t kConfigFileMax = 1023;
constexpr size_t kCommandLineMax = 2047;
constexpr size_t kRootDirLineSize = 255;  // room for 254 characters

constexpr int kExitFatal = 1;
constexpr int kExitDetach = 3;
constexpr int kExitMinusOne = 255;  // exit(-1)

// A start-up step either lets start-up go on (empty) or ends it with an exit status.
using StepResult = std::optional<int>;

std::string cut(const std::string& text, size_t maxLength) {
    return text.size() > maxLength ? text.substr(0, maxLength) : text;
}

// Copies into a resource's text buffer, cut to its capacity.
void storeText(char* buffer, size_t capacity, const std::string& text) {
    std::snprintf(buffer, capacity, "%s", text.c_str());
}

// Looks at the owner bits of the mode only, not at the process's effective access, so even
// the super-user is refused a directory of mode 0500.
bool hasOwnerAccess(const std::string& path, bool directory, bool needWrite) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return false;
    }
    if (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) {
        return false;
    }
    return (info.st_mode & S_IRUSR) != 0 && (!needWrite || (info.st_mode & S_IWUSR) != 0);
}

bool isOwnerReadable(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IRUSR) != 0;
}

CVresource* findResource(const char* name) {
    return CVresourceFind(g_corfiResources, CVFI_RESOURCE_COUNT, name);
}

StepResult loadCommandLineAndEnvironment(int argc, char** argv) {
    if (CVresourceLoadArgs(g_corfiResources, CVFI_RESOURCE_COUNT, argc, argv, true) < 0) {
        CVsysReportError(kInitialize, kIdent, "Invalid command line argument");
        return kExitMinusOne;
    }
    if (!CVresourceLoadEnv(g_corfiResources, CVFI_RESOURCE_COUNT, "MM")) {
        CVsysReportError(kInitialize, kIdent, "Invalid environment variable");
        return kExitMinusOne;
    }
    return std::nullopt;
}

StepResult requireConfigDir() {
    if (g_corfiValues.configDir[0] == '\0' &&
        !CVresourceSetDeflt(g_corfiResources, CVFI_RESOURCE_COUNT, "config_dir")) {
        CVsysReportError(kInitialize, kIdent, "Configuration file cannot be found\n");
        return kExitFatal;
    }
    // The daemon's own paths may be written with backslashes; from here on they are slashes.
    g_corfiPaths.configDir = CVioPath::slashed(g_corfiValues.configDir);
    return std::nullopt;
}

// A non-empty first line of "root_dir" moves the configuration directory below that root.
void applyRootDir() {
    const std::string path = CVioPath::joinSlashed(g_corfiPaths.configDir, "root_dir");
    const int fd = CVfdOpen(path.c_str(), "r");
    if (fd < 0) {
        return;
    }
    char line[kRootDirLineSize] = {};
    const ssize_t length = CVfdReadLine(fd, line, sizeof line);
    CVfdReleaseClose(fd);
    if (length <= 0 || CVsysUtility::trim(line)[0] == '\0') {
        return;
    }
    g_corfiPaths.configDir = CVioPath::joinSlashed(line, "config");
    storeText(g_corfiValues.configDir, sizeof g_corfiValues.configDir, g_corfiPaths.configDir);
}

StepResult loadConfigurationFiles() {
    const std::string& configDir = g_corfiPaths.configDir;
    if (!hasOwnerAccess(configDir, true, true)) {
        CVsysReportError(kInitialize, kIdent, "No 'rw' permission for directory [%s]",
                         configDir.c_str());
        return kExitFatal;
    }
    const std::string dirFile = CVioPath::joinSlashed(g_corfiPaths.configDir, "dir");
    if (!isOwnerReadable(dirFile)) {
        CVsysReportError(kInitialize, g_corfiPaths.programName.c_str(),
                         "Directory configuration file [%s] cannot be found", dirFile.c_str());
        return kExitMinusOne;
    }
    CVresourceLoadResFile(g_corfiResources, CVFI_RESOURCE_COUNT, dirFile.c_str(), false);
    // A spool_dir line in corfi_config moves the spool directory, whoever set it before; without
    // one, the earlier value stands.
    CVresource* spool = findResource("spool_dir");
    const bool spoolSetBefore = spool != nullptr && spool->set;
    const std::string spoolBefore = g_corfiValues.spoolDir;
    if (spool != nullptr) {
        spool->set = false;
    }

    g_corfiPaths.configFile =
        cut(CVioPath::joinSlashed(g_corfiPaths.configDir, "corfi_config"), kConfigFileMax);
    if (!hasOwnerAccess(g_corfiPaths.configFile, false, false)) {
        CVsysReportError(kInitialize, g_corfiPaths.programName.c_str(),
                         "No 'r' permission for configuration file [%s]",
                         g_corfiPaths.configFile.c_str());
        return kExitMinusOne;
    }
    CVresourceLoadResFile(g_corfiResources, CVFI_RESOURCE_COUNT, g_corfiPaths.configFile.c_str(),
                          true);
    if (spoolSetBefore && !spool->set) {
        storeText(g_corfiValues.spoolDir, sizeof g_corfiValues.spoolDir, spoolBefore);
        spool->set = true;
    }
    return std::nullopt;
}

StepResult completeResources() {
    if (!CVresourceSetDefaults(g_corfiResources, CVFI_RESOURCE_COUNT)) {
        CVsysReportError(kInitialize, kIdent, "Invalid default resource name");
        return kExitFatal;
    }
    const std::string logDir = CVioPath::slashed(g_corfiValues.logDir);
    const std::string logFile = CVioPath::joinSlashed(logDir, g_corfiValues.logFile);
    storeText(g_corfiValues.logDir, sizeof g_corfiValues.logDir, logDir);
    storeText(g_corfiValues.logFile, sizeof g_corfiValues.logFile, logFile);

    if (!CVresourceCheckReqRes(g_corfiResources, CVFI_RESOURCE_COUNT)) {
        CVsysReportError(kInitialize, kIdent, "Invalid resources");
        return kExitFatal;
    }
    if (!hasOwnerAccess(g_corfiValues.spoolDir, true, true)) {
        CVsysReportError(kInitialize, g_corfiPaths.programName.c_str(),
                         "No 'rw' permission for spool directory [%s]", g_corfiValues.spoolDir);
        return kExitMinusOne;
    }
    return std::nullopt;
}

// The parent of the configuration directory, cut after its last separator, holds "temp".
void computeTempDir() {
    const std::string& configDir = g_corfiPaths.configDir;
    const size_t cutAt = configDir.rfind('/');
    const std::string parent =
        cutAt == std::string::npos ? configDir : configDir.substr(0, cutAt + 1);
    g_corfiPaths.tempDir = CVioPath::joinSlashed(parent, "temp");
}

// Start-up up to the point of no return: the resources from the command line, the environment,
// dir and corfi_config, the root_dir move, the checks of every directory and file, and the
// temporary directory. Failures go to the system log and standard error.
StepResult initialize(int argc, char** argv) {
    CVFIresetResources();
    StepResult result = loadCommandLineAndEnvironment(argc, argv);
    if (!result) {
        result = requireConfigDir();
    }
    if (!result) {
        applyRootDir();
        result = loadConfigurationFiles();
    }
    if (!result) {
        result = completeResources();
    }
    if (!result) {
        computeTempDir();
    }
    return result;
}

bool reopenStandardStreams() {
    const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // dup2 clears close-on-exec on the copies, so children inherit quiet standard streams.
    const bool ok =
        dup2(fd, STDIN_FILENO) >= 0 && dup2(fd, STDOUT_FILENO) >= 0 && dup2(fd, STDERR_FILENO) >= 0;
    if (fd > STDERR_FILENO) {
        close(fd);
    }
    return ok;
}

// Parents leave with _exit so buffered output and exit handlers run in the daemon only.
bool forkAndLeaveParent() {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid > 0) {
        _exit(0);
    }
    return true;
}

StepResult detach() {
    if (!forkAndLeaveParent() || setsid() < 0 || !forkAndLeaveParent()) {
        CVsysReportError("main", kIdent, "Daemon can not start\n");
        return kExitDetach;
    }
    reopenStandardStreams();
    return std::nullopt;
}

// In the foreground, so that a log that cannot be configured or written ends the command with
// its status and its reason on standard error: the writer is built and takes the first banner
// line here. The worker thread starts after detaching, since a fork keeps no thread.
StepResult createEventLog() {
    CVsysEventLogInterface* log = CVsysEventLogInterface::CreateInstance(
        kModuleName, CVsysEventLogInterface::MULTI_THREADED, g_corfiPaths.configDir, "");
    if (log == nullptr) {
        CVsysReportError("main", g_corfiPaths.programName.c_str(), "Logger can not be created.");
        return kExitMinusOne;
    }
    if (log->getLevel() <= CVsysEventLogInterface::INFO &&
        !log->getWriter()->write(kModuleName, CVsysEventLogInterface::INFO, kBannerLine, -1,
                                 nullptr, 0)) {
        CVsysReportError("main", kIdent, "Unable to start log.\n");
        return kExitMinusOne;
    }
    return std::nullopt;
}

StepResult startEventLog() {
    if (!CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)->Start()) {
        CVsysReportError("main", kIdent, "Unable to start log.\n");
        return kExitMinusOne;
    }
    return std::nullopt;
}

// Its first line is already written.
void logBanner() {
    CVsysEventLogInterface* log = CVsysEventLogInterface::GetInstance(__LINE__, __FILE__);
    log->LogInfo(nullptr, "FILESYSTEM INTERFACE [%s] STARTED\n", g_corfiPaths.programName.c_str());
    log->LogInfo(nullptr, "RESOURCES\n");
    CVresourceDump(g_corfiResources, CVFI_RESOURCE_COUNT);
    log->LogInfo(nullptr, "%s", kBannerLine);
}

void fillStopSignals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGABRT);
}

void installStopHandling() {
    if (!CVFIstartSignalWatcher()) {
        // Without the watcher the signals' default action is the only way to stop.
        sigset_t stopSignals;
        fillStopSignals(&stopSignals);
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
        CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
            ->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr,
                       "Cannot start the stop signal watcher: %s\n",
                       CVsysUtility::getSystemErrorMessage().c_str());
    }
}

std::string joinArguments(int argc, char** argv) {
    std::string text;
    for (int i = 0; i < argc && text.size() < kCommandLineMax; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += argv[i] ? argv[i] : "";
    }
    return cut(text, kCommandLineMax);
}

// The orderly stop: the bulk thread, then the last entry, then the log. When either thread is
// still running after its bounded wait, the process leaves with _exit, so that no destructor
// pulls an object from under it.
int stopDaemon(int status) {
    const bool bulkEnded = stopBulkDispatcher();
    CVsysEventLogInterface* log = CVsysEventLogInterface::GetInstance(__LINE__, __FILE__);
    if (bulkEnded) {
        log->LogInfo(nullptr, "File interface exits\n");
    } else {
        log->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr,
                      "Bulk Processing did not end in time; leaving without it\n");
    }
    if (!log->Stop() || !bulkEnded) {
        _exit(status);
    }
    curl_global_cleanup();
    return status;
}

// The daemon's life: the event log set up while errors can still reach standard error, the
// detach (unless foreground), the log's worker and the banner, the stop signals, delivery's
// shared TLS state, the bulk thread and the dispatch loop, then the orderly stop.
int runDaemon(int argc, char** argv) {
    if (StepResult status = createEventLog()) {
        return *status;
    }
    // A service manager keeps track of the process it started, so that one must stay.
    if (!g_corfiValues.foreground) {
        if (StepResult status = detach()) {
            return *status;
        }
    }
    // libcurl's global state must exist before any thread may use it.
    curl_global_init(CURL_GLOBAL_ALL);
    if (StepResult status = startEventLog()) {
        return *status;
    }
    logBanner();
    installStopHandling();
    g_corfiPaths.primaryServerFile = CVioPath::joinSlashed(g_corfiPaths.configDir, "phs");
    g_corfiPaths.commandLine = joinArguments(argc, argv);

    CVFIstartDelivery();
    startBulkDispatcher();
    CVFIdispatchLoop();
    CVFIstopDelivery();
    return stopDaemon(0);
}

// Stop signals are taken synchronously here, because setting the event takes a mutex and so
// must not happen in signal context.
void* watchStopSignals(void*) {
    sigset_t stopSignals;
    fillStopSignals(&stopSignals);
    for (;;) {
        int number = 0;
        if (sigwait(&stopSignals, &number) == 0) {
            CVFIrequestStop();
        }
    }
    return nullptr;
}

}  // namespace

CVconEvent& CVFIstopEvent() {
    // Never destroyed: the watcher thread may still set it while the process exits.
    alignas(CVconEvent) static unsigned char storage[sizeof(CVconEvent)];
    static CVconEvent* const event = new (storage) CVconEvent(true);
    return *event;
}

int CVFIstopDescriptor() {
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void CVFIrequestStop() {
    CVFIstopEvent().set();
    const uint64_t one = 1;
    if (write(CVFIstopDescriptor(), &one, sizeof one) < 0) {
        // Only a full counter refuses the write, and that leaves the descriptor readable too.
    }
}

bool CVFIstopRequested(int timeoutMs) {
    try {
        return CVFIstopEvent().wait(timeoutMs) == CVconEvent::SIGNALED;
    } catch (const CVException&) {
        return true;
    }
}

int CVFIsecondsToMilliseconds(int32_t seconds) {
    if (seconds <= 0) {
        return 0;
    }
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

void CVFIblockStopSignals() {
    sigset_t stopSignals;
    fillStopSignals(&stopSignals);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
}

bool CVFIstartSignalWatcher() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &watchStopSignals, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    return true;
}

int CVFImain(int argc, char** argv) {
    // A file size limit then fails the write with EFBIG, which is reported, instead of ending
    // the daemon.
    signal(SIGXFSZ, SIG_IGN);
    CVFIblockStopSignals();
    CVFIstopEvent();
    CVFIstopDescriptor();
    g_corfiPaths.programName = cut(argc > 0 && argv[0] ? argv[0] : "", kProgramNameMax);

    if (argc == 2 && std::strcmp(argv[1], "-help") == 0) {
        CVresourcePrintHelp(g_corfiResources, CVFI_RESOURCE_COUNT);
        return 0;
    }
    if (StepResult status = initialize(argc, argv)) {
        return *status;
    }
    return runDaemon(argc, argv);
}

int CVFIloadConfiguration(const std::string& programName, const std::string& configDir) {
    std::vector<std::string> args = {programName};
    if (!configDir.empty()) {
        args.insert(args.end(), {"-config_dir", configDir});
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    g_corfiPaths.programName = cut(programName, kProgramNameMax);
    const StepResult status = initialize(static_cast<int>(args.size()), argv.data());
    return status ? *status : 0;
}
