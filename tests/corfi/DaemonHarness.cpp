#include "DaemonHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace corfitest {

namespace fs = std::filesystem;
using testsupport::pollUntil;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

pid_t spawn(std::vector<std::string> args, std::vector<std::string> env,
            const posix_spawn_file_actions_t* actions) {
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0].c_str(), actions, nullptr, pointers(args).data(),
                               pointers(env).data());
    if (rc != 0) {
        throw std::runtime_error("cannot run " + args[0] + ": " + std::strerror(rc));
    }
    return pid;
}

}  // namespace

Child::~Child() {
    stop(SIGKILL);
}

void Child::adopt(pid_t pid) {
    m_pid = pid;
    m_ended = false;
}

bool Child::poll() {
    int status = 0;
    // Until the daemon's intermediate parent has gone, the daemon is not yet our child.
    if (m_pid <= 0 || m_ended || waitpid(m_pid, &status, WNOHANG) != m_pid) {
        return m_pid <= 0 || m_ended;
    }
    m_ended = true;
    m_status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return true;
}

void Child::stop(int signal, std::chrono::milliseconds grace) {
    if (poll()) {
        return;
    }
    kill(m_pid, signal);
    if (!pollUntil([this] { return poll(); }, grace)) {
        kill(m_pid, SIGKILL);
        pollUntil([this] { return poll(); });
    }
}

void DaemonTest::SetUp() {
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1)) << std::strerror(errno);
    base = tmp.path();
}

void DaemonTest::TearDown() {
    // SIGTERM rather than SIGKILL, so that a sanitized daemon gets to check for leaks.
    daemon.stop(SIGTERM);
    stub.stop(SIGTERM);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
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
    // The daemon rewrites a file without a [common] section with its defaults.
    const std::string settings = "\nbytesPerFiles=10000000\nnumFiles=2\nautoAppend=1\n";
    writeFile(at("config/cvlogs.ini"),
              "[main]\nFile System Interface=File System Interface_logger\n\n"
              "[File System Interface_logger]\nwriter=file\nlevel=trace\nfilePath=" +
                  at("logs/File_System_Interface.txt") + settings +
                  "\n[common]\nwriter=file\nlevel=info\nfilePath=" + at("logs/common.txt") +
                  settings);
}

void DaemonTest::logLevel(const std::string& level) const {
    const std::string path = at("config/cvlogs.ini");
    std::string text = readFile(path);
    const size_t section = text.find("[File System Interface_logger]");
    const size_t line = text.find("\nlevel", section);
    ASSERT_TRUE(section != std::string::npos && line != std::string::npos) << text;
    text.replace(line + 1, text.find('\n', line + 1) - line - 1, "level=" + level);
    writeFile(path, text);
}

// The caller's environment without what would steer the daemon or its requests: the test
// sets MM variables and TZ itself, and requests go straight to the stand-in.
std::vector<std::string> DaemonTest::environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> env = extra;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string name(*entry, std::strcspn(*entry, "="));
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        if (name.rfind("mm", 0) != 0 && name.find("proxy") == std::string::npos &&
            name.find("san_options") == std::string::npos && name != "tz") {
            env.push_back(*entry);
        }
    }
    // A detached process reports on /dev/null; TearDown fails the test on these files.
    for (const char* tool : {"ASAN", "UBSAN"}) {
        const char* options = std::getenv((std::string(tool) + "_OPTIONS").c_str());
        env.push_back(std::string(tool) +
                      "_OPTIONS=" + (options ? std::string(options) + ":" : "") +
                      "log_path=" + tmp.file("sanitizer-" + std::string(tool)));
    }
    return env;
}

void DaemonTest::startStub(const std::vector<std::string>& options) {
    int pipeEnds[2];
    ASSERT_EQ(0, pipe2(pipeEnds, O_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    std::vector<std::string> args = {CORVANEXS_STUB_PATH, "--port", "0", "--record",
                                     tmp.file("requests.jsonl")};
    args.insert(args.end(), options.begin(), options.end());
    stub.adopt(spawn(args, environment({}), &actions));
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    std::string line;
    char c = 0;
    while (read(pipeEnds[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(pipeEnds[0]);
    port = std::atoi(line.c_str());
    ASSERT_GT(port, 0) << "the stand-in did not report its port";
}

int DaemonTest::launch(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, tmp.file("stdout").c_str(), flags,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, tmp.file("stderr").c_str(), flags,
                                     0644);
    std::vector<std::string> command = {CORFI_PATH};
    command.insert(command.end(), args.begin(), args.end());
    Child child;
    child.adopt(spawn(command, environment(env), &actions));
    posix_spawn_file_actions_destroy(&actions);
    pollUntil([&child] { return child.poll(); });
    return child.status();
}

bool DaemonTest::adoptDaemon() {
    pid_t pid = 0;
    const bool named = pollUntil([&] {
        const std::string record = readFile(at("temp/.ACFI"));
        pid = record.size() == 2416 ? std::atoi(record.c_str() + 76) : 0;
        return pid > 0;
    });
    if (named) {
        daemon.adopt(pid);
    }
    return named;
}

void DaemonTest::startDaemon(const std::vector<std::string>& args,
                             const std::vector<std::string>& env) {
    std::vector<std::string> all = {"-config_dir", at("config")};
    all.insert(all.end(), args.begin(), args.end());
    ASSERT_EQ(0, launch(all, env)) << standardError();
    ASSERT_TRUE(adoptDaemon()) << "no monitor file\n" << log();
}

void DaemonTest::drop(const std::string& name, const std::string& content) const {
    writeFile(at("spool/.part"), content);
    fs::rename(at("spool/.part"), at("spool/" + name));
}

std::string DaemonTest::log() const {
    return readFile(at("logs/File_System_Interface.txt"));
}

int DaemonTest::countInLog(const std::string& text) const {
    const std::string all = log();
    int count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++count;
    }
    return count;
}

bool DaemonTest::waitForLog(const std::string& text, int times) const {
    return pollUntil([&] { return countInLog(text) >= times; });
}

std::vector<std::string> DaemonTest::record() const {
    std::istringstream lines(readFile(tmp.file("requests.jsonl")));
    std::vector<std::string> bodies;
    const std::string key = "\"body\":\"";
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find(key);
        if (start != std::string::npos) {
            const size_t from = start + key.size();
            bodies.push_back(line.substr(from, line.find('"', from) - from));
        }
    }
    return bodies;
}

std::vector<std::string> DaemonTest::spoolEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(at("spool"))) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace corfitest
