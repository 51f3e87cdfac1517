#include "StatusCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <type_traits>
#include <utility>

#include "CVFIdispatch.h"
#include "CVFIspool.h"
#include "CVcorfiRetryState.h"
#include "CVioDescriptor.h"
#include "CVmonitorFile.h"
#include "CVsysUtility.h"
#include "formatString.h"

namespace {

const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
// The kernel's start time of a process and the monitor record's are read in whole seconds.
constexpr time_t kStartSlack = 2;

template <class T>
T fieldAt(const std::string& record, size_t offset) {
    T value{};
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

// When the process started, from /proc; false where /proc does not tell.
bool processStart(pid_t pid, time_t& started) {
    std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return false;
    }
    // Field 22 is the start time; the fields after the name begin with field 3.
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number) {
    }
    const unsigned long long ticks = std::strtoull(field.c_str(), nullptr, 10);
    std::ifstream system("/proc/stat");
    long long bootTime = -1;
    for (std::string key; system >> key;) {
        if (key == "btime" && system >> bootTime) {
            break;
        }
    }
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (!fields || bootTime < 0 || ticksPerSecond <= 0) {
        return false;
    }
    started = static_cast<time_t>(bootTime + static_cast<long long>(ticks) / ticksPerSecond);
    return true;
}

// A process of that id exists and is no younger than the record that names it: an id the
// kernel handed out again after the daemon ended belongs to a process started later.
bool isDaemonAlive(pid_t pid, time_t recordStart) {
    // Signal 0 only asks whether the process exists; EPERM says it does, under another user.
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) {
        return false;
    }
    time_t started = 0;
    return !processStart(pid, started) || started <= recordStart + kStartSlack;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += formatString("\\u%04x", byte);
        } else {
            out += c;
        }
    }
    return out + "\"";
}

template <class T>
std::string jsonValue(const std::optional<T>& value) {
    if (!value) {
        return "null";
    }
    if constexpr (std::is_same_v<T, bool>) {
        return *value ? "true" : "false";
    } else {
        return std::to_string(*value);
    }
}

}  // namespace

StatusCheck::StatusCheck(std::string monitorPath, std::string spoolDir, long warnAfter,
                         long critAfter)
    : m_monitorPath(std::move(monitorPath)),
      m_spoolDir(std::move(spoolDir)),
      m_warnAfter(warnAfter),
      m_critAfter(critAfter) {}

void StatusCheck::examine(time_t now) {
    readMonitorFile(now);
    countWaitingFiles(now);
    readRetryState(now);
}

// The retry state lies beside the monitor file; a missing one means nothing waits, one that
// cannot be read is left out.
void StatusCheck::readRetryState(time_t now) {
    const size_t slash = m_monitorPath.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : m_monitorPath.substr(0, slash);
    CVcorfiRetryState state(directory);
    if (access(state.path().c_str(), F_OK) == 0 && access(state.path().c_str(), R_OK) != 0) {
        return;
    }
    time_t first = now;
    for (const auto& [name, entry] : state.entries()) {
        first = std::min(first, entry.firstFailure);
    }
    m_retrying = static_cast<long>(state.entries().size());
    m_firstFailure = std::max<long>(0, static_cast<long>(now - first));
}

void StatusCheck::readMonitorFile(time_t now) {
    CVioDescriptor fd(open(m_monitorPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (!fd || fstat(fd.get(), &info) != 0) {
        m_monitorError = "cannot read " + m_monitorPath + ": " + CVsysUtility::errorText(errno);
        return;
    }
    std::string record(CV_MONITOR_RECORD_SIZE, '\0');
    const ssize_t size = pread(fd.get(), record.data(), record.size(), 0);
    if (size != static_cast<ssize_t>(record.size())) {
        m_monitorError = m_monitorPath + " is no monitor record";
        return;
    }
    const char* pidText = record.c_str() + CV_MONITOR_PID_OFFSET;
    char* end = nullptr;
    const long pid = std::strtol(pidText, &end, 10);
    if (end == pidText || *end != '\0' || pid <= 0) {
        m_monitorError = m_monitorPath + " names no process";
        return;
    }
    m_pid = pid;
    m_alive =
        isDaemonAlive(static_cast<pid_t>(pid), fieldAt<int32_t>(record, CV_MONITOR_START_OFFSET));
    m_age = std::max<long>(0, static_cast<long>(now - info.st_mtime));
}

void StatusCheck::countWaitingFiles(time_t now) {
    CVioDescriptor fd = CVFIopenSpoolDirectory(m_spoolDir);
    std::unique_ptr<DIR, int (*)(DIR*)> directory(fd ? fdopendir(fd.get()) : nullptr, closedir);
    if (!directory) {
        m_spoolError = "cannot read " + m_spoolDir + ": " + CVsysUtility::errorText(errno);
        return;
    }
    const int dirFd = fd.release();  // closed with the directory stream
    long waiting = 0;
    time_t oldest = now;
    while (const dirent* entry = readdir(directory.get())) {
        struct stat info;
        if (CVFIisMessageFileName(entry->d_name) &&
            fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode)) {
            ++waiting;
            oldest = std::min(oldest, info.st_mtime);
        }
    }
    m_waiting = waiting;
    m_oldest = std::max<long>(0, static_cast<long>(now - oldest));
}

StatusCheck::Code StatusCheck::code() const {
    if (!m_monitorError.empty()) {
        return UNKNOWN;
    }
    if (!*m_alive || *m_age > m_critAfter) {
        return CRITICAL;
    }
    if (!m_spoolError.empty()) {
        return UNKNOWN;
    }
    return *m_age > m_warnAfter ? WARNING : OK;
}

std::string StatusCheck::summary() const {
    if (!m_monitorError.empty()) {
        return m_monitorError;
    }
    std::string text = formatString("pid %ld %s, last sign of life %ld s ago", *m_pid,
                                    *m_alive ? "alive" : "gone", *m_age);
    if (!m_spoolError.empty()) {
        return text + ", " + m_spoolError;
    }
    text += formatString(", %ld file%s waiting", *m_waiting, *m_waiting == 1 ? "" : "s");
    if (*m_waiting > 0) {
        text += formatString(", oldest %ld s", *m_oldest);
    }
    if (m_retrying && *m_retrying > 0) {
        text += formatString(", %ld waiting for a retry, first failure %ld s ago", *m_retrying,
                             *m_firstFailure);
    }
    return text;
}

std::string StatusCheck::line() const {
    std::string text = std::string("CORFI ") + kNames[code()] + " - " + summary();
    std::string performance;
    if (m_age) {
        performance += formatString(" age=%lds;%ld;%ld;0", *m_age, m_warnAfter, m_critAfter);
    }
    if (m_waiting) {
        performance += formatString(" waiting=%ld;;;0 oldest=%lds;;;0", *m_waiting, *m_oldest);
    }
    if (m_retrying) {
        performance +=
            formatString(" retrying=%ld;;;0 first_failure=%lds;;;0", *m_retrying, *m_firstFailure);
    }
    return performance.empty() ? text : text + " |" + performance;
}

std::string StatusCheck::json() const {
    const std::pair<const char*, std::string> members[] = {
        {"status", quoted(kNames[code()])},
        {"code", std::to_string(code())},
        {"text", quoted(summary())},
        {"pid", jsonValue(m_pid)},
        {"alive", jsonValue(m_alive)},
        {"age", jsonValue(m_age)},
        {"warn", std::to_string(m_warnAfter)},
        {"crit", std::to_string(m_critAfter)},
        {"waiting", jsonValue(m_waiting)},
        {"oldest", jsonValue(m_oldest)},
        {"retrying", jsonValue(m_retrying)},
        {"first_failure", jsonValue(m_firstFailure)},
        {"monitor_file", quoted(m_monitorPath)},
        {"spool_dir", quoted(m_spoolDir)},
    };
    std::string out;
    for (const auto& [name, value] : members) {
        out += (out.empty() ? "{" : ",") + quoted(name) + ":" + value;
    }
    return out + "}";
}
