// Shared by the benchmarks that run the daemon itself: a throw-away installation with prepared
// message files, a reader of its growing log, and starting, watching and stopping the detached
// daemon. Needs CORFI_PATH (and TEST_CA_DIR for a CA bundle).
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "BenchSupport.h"

namespace bench {

namespace fs = std::filesystem;

inline void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// `count` files corfi_000000... with distinct job ids and texts.
inline void prepareMessages(const fs::path& dir, int count) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    char name[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "corfi_%06d", i);
        writeFile(dir / name, "RECEIVER: user" + std::to_string(i % 500) + "\nJOBID: bench-" +
                                  std::to_string(i) + "\nMESSAGE: Benchmark message " +
                                  std::to_string(i) + " from the spool directory\n");
    }
}

// Large enough that the log is never archived, so that tailing it sees every line.
inline std::string logSection(const std::string& name, const fs::path& file) {
    return "[" + name + "]\nwriter=file\nlevel=info\nfilePath=" + file.string() +
           "\nbytesPerFiles=1000000000\nnumFiles=2\nautoAppend=1\nperProcessFile=0\n";
}

// A throw-away installation.
struct Installation {
    fs::path root, config, spool, log, monitor;

    // `extra` resource lines come first in corfi_config, so they win.
    Installation(const fs::path& base, const std::string& url, int count, bool caBundle,
                 const std::string& extra = "")
        : root(base),
          config(base / "config"),
          spool(base / "spool"),
          log(base / "logs" / "File_System_Interface.txt"),
          monitor(base / "temp" / ".ACFI") {
        fs::remove_all(root);
        for (const char* dir : {"config", "temp", "logs"}) {
            fs::create_directories(root / dir);
        }
        prepareMessages(spool, count);
#ifdef TEST_CA_DIR
        if (caBundle) {
            fs::copy_file(testCa("ca.pem"), config / "ca-bundle.crt");
        }
#else
        (void)caBundle;
#endif
        writeFile(config / "dir", "spool_dir: " + spool.string() + "\n");
        writeFile(config / "corfi_config", extra + "corvanexs_url: " + url +
                                               "\nrest: 0\nlog_dir: " + (root / "logs").string() +
                                               "\nspool_dir: " + spool.string() + "\n");
        writeFile(config / "cvlogs.ini",
                  "[main]\nFile System Interface=File System Interface_logger\n\n" +
                      logSection("File System Interface_logger", log) + "\n" +
                      logSection("common", root / "logs" / "common_logs.txt"));
    }
};

// Follows the growing log and counts outcome lines.
class LogTail {
public:
    explicit LogTail(const fs::path& path) : m_path(path) {}
    ~LogTail() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }

    void poll() {
        if (m_fd < 0 && (m_fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
            return;
        }
        char buffer[65536];
        ssize_t n;
        while ((n = read(m_fd, buffer, sizeof buffer)) > 0) {
            m_partial.append(buffer, static_cast<size_t>(n));
        }
        size_t begin = 0;
        for (size_t end; (end = m_partial.find('\n', begin)) != std::string::npos;
             begin = end + 1) {
            const std::string_view line(m_partial.data() + begin, end - begin);
            completed += line.find("] COMPLETED ") != std::string_view::npos;
            failed += line.find("] FAILED ") != std::string_view::npos;
            exited |= line.find("] File interface exits") != std::string_view::npos;
        }
        m_partial.erase(0, begin);
    }

    int completed = 0;
    int failed = 0;
    bool exited = false;

private:
    fs::path m_path;
    int m_fd = -1;
    std::string m_partial;
};

// The detached daemon's id, from its monitor file; 0 until the file is there.
inline pid_t daemonPid(const fs::path& monitor) {
    char text[33] = {};
    const int fd = open(monitor.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    const ssize_t n = pread(fd, text, 32, 76);
    close(fd);
    return n == 32 ? static_cast<pid_t>(std::atol(text)) : 0;
}

// Resident memory in MB from /proc, 0 when the process is gone.
inline double residentMB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atof(line.c_str() + 6) / 1024.0;
        }
    }
    return 0;
}

inline bool isDaemonOf(pid_t pid, const Installation& installation) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return pid > 0 && text.str().find(installation.config.string()) != std::string::npos;
}

// Stops the daemon with SIGTERM and waits for its exit; SIGKILL when that does not come.
inline bool stopDaemon(pid_t pid, const Installation& installation) {
    if (!isDaemonOf(pid, installation)) {
        return pid == 0;
    }
    kill(pid, SIGTERM);
    const Clock::time_point until = Clock::now() + std::chrono::seconds(30);
    while (kill(pid, 0) == 0 && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (kill(pid, 0) == 0) {
        kill(pid, SIGKILL);
        return false;
    }
    return true;
}

// Starts corfi in the installation; the error text, empty when it detached.
inline std::string startCorfi(const Installation& installation) {
    const pid_t parent = spawn({CORFI_PATH, "-config_dir", installation.config.string()}, nullptr);
    int status = 0;
    if (parent < 0 || waitpid(parent, &status, 0) != parent) {
        return "cannot start " CORFI_PATH;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "corfi failed at start-up";
}

// User and system CPU seconds the process has used, from /proc; 0 when it is gone.
inline double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    if (end == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::atof(field.c_str());
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The largest of the repetitions' values, as a statistic of its own.
inline double maximum(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

}  // namespace bench
