// Shared by the benchmarks: a scratch directory removed with its contents, a spawner, and the
// stand-in server on any free loopback port, stopped with SIGTERM when the object goes.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CVsysEventLogMultiThreaded.h"

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The daemon's multi-threaded event log around any writer, at level info, without cvlogs.ini.
class BenchLog : public CVsysEventLogMultiThreaded {
public:
    BenchLog(const std::string& module, std::unique_ptr<CVsysEventLogWriterInterface> writer) {
        m_moduleName = module;
        m_writer = std::move(writer);
        setLevel(INFO);
    }
};

// A fresh directory under the temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "corfi-bench-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed for " + pattern);
        }
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::string directory(const std::string& name) const {
        std::filesystem::create_directories(file(name));
        return file(name);
    }

private:
    std::string m_path;
};

// Spawns argv with standard output on a pipe when `out` is given; -1 when it cannot start.
inline pid_t spawn(const std::vector<std::string>& args, int* out) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out != nullptr && pipe2(fds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (fds[1] >= 0) {
        close(fds[1]);
        *out = fds[0];
    }
    return rc == 0 ? pid : -1;
}

#ifdef TEST_CA_DIR
// A file of the build's test CA: ca.pem, server.pem, server.key.
inline std::string testCa(const std::string& file) {
    return std::string(TEST_CA_DIR) + "/" + file;
}

// The stand-in's options for HTTPS with the test CA's certificate for 127.0.0.1.
inline std::vector<std::string> httpsStubOptions() {
    return {"--cert", testCa("server.pem"), "--key", testCa("server.key")};
}
#endif

#ifdef CORVANEXS_STUB_PATH
// The stand-in server as a child process on any free port; HTTPS when `options` give a
// certificate.
class Stub {
public:
    bool start(const std::vector<std::string>& options = {}, const std::string& scheme = "http") {
        int out = -1;
        std::vector<std::string> args = {CORVANEXS_STUB_PATH};
        args.insert(args.end(), options.begin(), options.end());
        m_pid = spawn(args, &out);
        std::string port;
        char c;
        pollfd ready{out, POLLIN, 0};
        while (m_pid > 0 && poll(&ready, 1, 20000) == 1 && read(out, &c, 1) == 1 && c != '\n') {
            port += c;
        }
        close(out);
        m_url = scheme + "://127.0.0.1:" + port + "/send";
        return m_pid > 0 && !port.empty();
    }
    ~Stub() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    const std::string& url() const { return m_url; }

private:
    pid_t m_pid = -1;
    std::string m_url;
};
#endif

// Keeps the rates and memory figures of the runs, or of their aggregates when only those come.
class ResultReporter : public benchmark::ConsoleReporter {
public:
    ResultReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                m_failed = true;
                continue;
            }
            // The function's name, and "/" with the arguments of a benchmark that has some.
            const std::string name =
                run.run_name.function_name +
                (run.run_name.args.empty() ? std::string() : "/" + run.run_name.args);
            const std::string kind = run.run_type == Run::RT_Iteration ? "run" : run.aggregate_name;
            for (const auto& counter : run.counters) {
                m_values[name][counter.first][kind].push_back(counter.second.value);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The named aggregate when there is one, else the median or the maximum of the runs.
    double value(const std::string& name, const std::string& counter,
                 const std::string& aggregate) {
        auto& kinds = m_values[name][counter];
        if (!kinds[aggregate].empty()) {
            return kinds[aggregate].front();
        }
        std::vector<double> runs = kinds["run"];
        if (runs.empty()) {
            return 0;
        }
        std::sort(runs.begin(), runs.end());
        const size_t middle = runs.size() / 2;
        if (aggregate == "max") {
            return runs.back();
        }
        return runs.size() % 2 ? runs[middle] : (runs[middle - 1] + runs[middle]) / 2;
    }

    bool failed() const { return m_failed; }
    bool ran(const std::string& name) const { return m_values.count(name) != 0; }

private:
    // name -> counter -> "run" or aggregate name -> values
    std::map<std::string, std::map<std::string, std::map<std::string, std::vector<double>>>>
        m_values;
    bool m_failed = false;
};

// Runs the benchmarks the command line selects, then `summary`; the exit status.
inline int runBenchmarks(int argc, char** argv,
                         const std::function<void(ResultReporter&)>& summary) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ResultReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    summary(reporter);
    return reporter.failed() ? 1 : 0;
}

}  // namespace bench
