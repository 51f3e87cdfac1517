#include "DaemonHarness.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>

extern char** environ;

namespace corfitest {

namespace {

// The caller's environment without what would steer the daemon or its requests (MM variables,
// TZ, proxies), plus `extra`; a detached process reports on /dev/null, so sanitizers write to
// files that TearDown turns into failures.
// A preloading launcher comes before the sanitizer's run time, which it then must accept.
Names environment(const Names& extra, const std::string& sanitizerLog, bool preloaded = false) {
    Names env = extra;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string name(*entry, std::strcspn(*entry, "="));
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        if (name.rfind("mm", 0) != 0 && name.find("proxy") == std::string::npos &&
            name.find("san_options") == std::string::npos && name != "tz") {
            env.push_back(*entry);
        }
    }
    for (const std::string tool : {"ASAN", "UBSAN", "TSAN"}) {
        const char* options = std::getenv((tool + "_OPTIONS").c_str());
        env.push_back(tool + "_OPTIONS=" + (options ? std::string(options) + ":" : "") +
                      (preloaded && tool == "ASAN" ? "verify_asan_link_order=0:" : "") +
                      "log_path=" + sanitizerLog + "-" + tool);
    }
    return env;
}

}  // namespace

Names sorted(Names names) {
    std::sort(names.begin(), names.end());
    return names;
}

std::string timeAtText(time_t moment) {
    struct tm fields {};
    char text[32];
    strftime(text, sizeof text, "%m-%d-%y-%H-%M", gmtime_r(&moment, &fields));
    return text;
}

bool everyLineIsAnEntry(const std::string& log) {
    static const std::regex entry(
        R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d ([A-Za-z. ]+ )?\[(TRACE|DEBUG|INFO|WARN|ERROR)\] .*)");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_match(line, entry)) {
            ADD_FAILURE() << "not a whole entry: " << line;
            return false;
        }
    }
    return log.empty() || log.back() == '\n';
}

long peakResidentKilobytes(pid_t pid) {
    const std::string status =
        readFile("/proc/" + (pid ? std::to_string(pid) : "self") + "/status");
    const size_t at = status.find("\nVmHWM:");
    return at == npos ? -1 : std::atol(status.c_str() + at + 7);
}

void DaemonTest::SetUp() {
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1)) << std::strerror(errno);
    base = tmp.path();
}

void DaemonTest::TearDown() {
    // SIGTERM rather than SIGKILL, so that a sanitized daemon gets to check for leaks.
    daemon.stop(SIGTERM);
    stub.stop(SIGTERM);
    testsupport::ChildProcess::reapOrphans();
    for (const auto& entry : fs::directory_iterator(tmp.path())) {
        if (entry.path().filename().string().rfind("sanitizer", 0) == 0) {
            ADD_FAILURE() << entry.path() << ":\n" << readFile(entry.path());
        }
    }
}

void DaemonTest::layout(const std::string& configLines, const std::string& dirLines) {
    for (const char* directory : {"config", "spool", "temp", "logs"}) {
        fs::create_directories(at(directory));
    }
    writeFile(at("config/dir"), dirLines.empty() ? "spool_dir: " + at("spool") + "\n" : dirLines);
    writeFile(at("config/corfi_config"),
              configLines + "corvanexs_url: http://127.0.0.1:" + std::to_string(port) +
                  "/send\nrest: 1\nlog_dir: " + at("logs") + "\nspool_dir: " + at("spool") + "\n");
    logLevel("trace");
}

void DaemonTest::logLevel(const std::string& level) const {
    // The daemon rewrites a file without a [common] section with its defaults.
    const std::string settings = "\nbytesPerFiles=10000000\nnumFiles=2\nautoAppend=1\n";
    writeFile(at("config/cvlogs.ini"),
              "[main]\nFile System Interface=File System Interface_logger\n\n"
              "[File System Interface_logger]\nwriter=file\nlevel=" +
                  level + "\nfilePath=" + at("logs/File_System_Interface.txt") + settings +
                  "\n[common]\nwriter=file\nlevel=info\nfilePath=" + at("logs/common.txt") +
                  settings);
}

void DaemonTest::startStub(const Names& options) {
    port = startOtherStub(stub, "requests.jsonl", options);
    ASSERT_GT(port, 0) << "the stand-in did not report its port";
}

int DaemonTest::startOtherStub(testsupport::ChildProcess& other, const std::string& record,
                               const Names& options) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return 0;
    }
    const auto args =
        concat({CORVANEXS_STUB_PATH, "--port", "0", "--record", tmp.file(record)}, options);
    other.start(args, environment({}, tmp.file("sanitizer")), ends[1]);
    close(ends[1]);
    std::string line;
    for (char c = 0; read(ends[0], &c, 1) == 1 && c != '\n';) {
        line += c;
    }
    close(ends[0]);
    return std::atoi(line.c_str());
}

int DaemonTest::launch(const Names& args, const Names& env) {
    const auto run =
        testsupport::runProgram(concat(concat(launcher, {CORFI_PATH}), args),
                                environment(env, tmp.file("sanitizer"), !launcher.empty()));
    writeFile(tmp.file("out"), run.out + run.err);
    return run.status;
}

void DaemonTest::startDaemon(const Names& args, const Names& env, std::string configDir,
                             testsupport::ChildProcess* process) {
    const auto all = concat({"-config_dir", configDir.empty() ? at("config") : configDir}, args);
    ASSERT_EQ(0, launch(all, env)) << readFile(tmp.file("out"));
    pid_t pid = 0;
    ASSERT_TRUE(pollUntil([&] {
        pid = monitorPid();
        // Until the daemon's intermediate parent has gone, the daemon is not yet our child.
        return testsupport::ChildProcess::isChild(pid);
    })) << "no monitor file\n"
        << log();
    (process ? *process : daemon).adopt(pid);
}

void DaemonTest::startForeground(const Names& args, const Names& env) {
    const auto command = concat({CORFI_PATH, "-config_dir", at("config"), "-foreground"}, args);
    const int out = open(tmp.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    daemon.start(command, environment(env, tmp.file("sanitizer")), out, out);
    close(out);
    ASSERT_TRUE(pollUntil([&] { return monitorPid() == daemon.pid() || daemon.poll(); }));
    ASSERT_TRUE(daemon.running()) << readFile(tmp.file("out")) << log();
}

pid_t DaemonTest::monitorPid() const {
    const std::string record = readFile(at("temp/.ACFI"));
    return record.size() == 2416 ? std::atoi(record.c_str() + 76) : 0;
}

void DaemonTest::drop(const std::string& path, const std::string& content) const {
    writeFile(tmp.file("part"), content);
    fs::rename(tmp.file("part"), at(path));
}

void DaemonTest::dropMessages(int from, int to) const {
    for (int i = from; i < to; ++i) {
        const std::string id = std::to_string(i);
        drop("spool/corfi_" + id, "RECEIVER: R" + id + "\nMESSAGE: m" + id + "\n");
    }
}

std::string DaemonTest::log() const {
    std::string text;
    for (const char* archive : {".2", ".1", ""}) {
        text += readFile(at("logs/File_System_Interface.txt") + archive);
    }
    return text;
}

int DaemonTest::countInLog(const std::string& text) const {
    const std::string all = log();
    int count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++count;
    }
    return count;
}

Names DaemonTest::record(const std::string& file) const {
    const std::string text = readFile(tmp.file(file)), key = "\"body\":\"";
    Names bodies;
    for (size_t from = text.find(key); from != npos; from = text.find(key, from)) {
        from += key.size();
        bodies.push_back(text.substr(from, text.find('"', from) - from));
    }
    return bodies;
}

std::vector<long long> DaemonTest::receiptTimes() const {
    std::istringstream lines(readFile(tmp.file("requests.jsonl")));
    std::vector<long long> times;
    for (std::string line; std::getline(lines, line);) {
        struct tm parts {};
        int millis = 0;
        if (std::sscanf(line.c_str(), "{\"time\":\"%d-%d-%dT%d:%d:%d.%dZ\"", &parts.tm_year,
                        &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec,
                        &millis) == 7) {
            parts.tm_year -= 1900;
            parts.tm_mon -= 1;
            times.push_back(static_cast<long long>(timegm(&parts)) * 1000 + millis);
        }
    }
    return times;
}

Names DaemonTest::entries(const std::string& dir) const {
    Names names;
    for (const auto& entry : fs::directory_iterator(at(dir))) {
        names.push_back(entry.path().filename());
    }
    return sorted(names);
}

}  // namespace corfitest
