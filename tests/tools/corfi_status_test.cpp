// corfi-status over monitor files with a set age and process, and over the running daemon.
#include <unistd.h>
#include <utime.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "CVmonitorFile.h"
#include "DaemonHarness.h"

namespace {

using testsupport::writeFile;
using Args = std::vector<std::string>;

// `text` with every `mark` replaced by `value`.
std::string filled(std::string text, const std::string& value, char mark = '@') {
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
        text.replace(at, 1, value);
    }
    return text;
}

void setAge(const std::string& path, time_t seconds) {
    const time_t when = time(nullptr) - seconds;
    const struct utimbuf times = {when, when};
    ASSERT_EQ(0, utime(path.c_str(), &times)) << path;
}

class CorfiStatusTest : public corfitest::DaemonTest {
protected:
    testsupport::ProgramResult status(const Args& args = {}) {
        return testsupport::runProgram(
            testsupport::concat({CORFI_TOOL_PATH, "-c", at("config")}, args),
            {"PATH=/usr/bin:/bin"});
    }
    // A monitor record naming `pid`, started at `started`, last changed `age` seconds ago.
    void monitor(pid_t pid, time_t started, time_t age) const {
        std::string record(CV_MONITOR_RECORD_SIZE, '\0');
        record.replace(CV_MONITOR_PID_OFFSET, std::to_string(pid).size(), std::to_string(pid));
        const int32_t start = static_cast<int32_t>(started);
        std::memcpy(record.data() + CV_MONITOR_START_OFFSET, &start, sizeof start);
        writeFile(at("temp/.ACFI"), record);
        setAge(at("temp/.ACFI"), age);
    }
};

TEST_F(CorfiStatusTest, JudgesTheLastSignOfLifeAndTheRecordedProcess) {
    layout();  // rest 1: WARNING after 32 s, CRITICAL after 64 s
    for (const auto& [name, seconds] : {std::pair{"spool/corfiA", 100}, {"spool/CORFIb", 50}}) {
        writeFile(at(name), "RECEIVER: a\nMESSAGE: b\n");
        ASSERT_NO_FATAL_FAILURE(setAge(at(name), seconds));
    }
    for (const char* other : {"spool/.corfiHidden", "spool/notes"}) {
        writeFile(at(other), "");
    }
    std::filesystem::create_directory(at("spool/corfi_dir"));
    const pid_t self = getpid();
    testsupport::ChildProcess ended;
    ended.fork([] { return 0; });
    ended.wait();
    const pid_t gone = ended.pid();
    const time_t now = time(nullptr);
    // Two files wait for a retry; the earlier first failed 95 s ago.
    writeFile(at("temp/.ACorFi_RetryState"), "1 " + std::to_string(now - 95) +
                                                 " 0 1 2 corfi_a\n2 " + std::to_string(now - 50) +
                                                 " 0 1 3 corfi_b\n");
    const struct {
        pid_t pid;
        time_t started;
        time_t age;
        Args args;
        int code;
        std::string line;  // a regular expression; "@" is the pid
    } cases[] = {
        {self,
         now,
         5,
         {},
         0,
         "CORFI OK - pid @ alive, last sign of life [56] s ago, 2 files waiting, oldest 10[01] s, "
         "2 waiting for a retry, first failure 9[56] s ago \\| age=[56]s;32;64;0 waiting=2;;;0 "
         "oldest=10[01]s;;;0 retrying=2;;;0 first_failure=9[56]s;;;0"},
        {self, now, 40, {}, 1, "CORFI WARNING - pid @ alive, last sign of life 4[01] s ago.*"},
        {self, now, 70, {}, 2, "CORFI CRITICAL - pid @ alive, last sign of life 7[01] s ago.*"},
        {self, now, 5, {"--warn", "1", "--crit", "300"}, 1, "CORFI WARNING .*age=[56]s;1;300;0.*"},
        {self, now, 5, {"--crit", "2"}, 2, "CORFI CRITICAL .*age=[56]s;32;2;0.*"},
        {gone, now, 0, {}, 2, "CORFI CRITICAL - pid @ gone, last sign of life [01] s ago.*"},
        // The id now belongs to a process younger than the record: the daemon is gone.
        {self, now - 3600, 0, {}, 2, "CORFI CRITICAL - pid @ gone.*"},
    };
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(monitor(c.pid, c.started, c.age));
        const auto run = status(c.args);
        const std::string line = filled(c.line, std::to_string(c.pid));
        EXPECT_EQ(c.code, run.status) << line << "\n" << run.out << run.err;
        EXPECT_TRUE(std::regex_match(run.out, std::regex(line + "\n"))) << line << "\n" << run.out;
    }
}

TEST_F(CorfiStatusTest, IsUnknownWithoutAMonitorRecordOrAUsableCommandLine) {
    layout();
    const struct {
        const char* record;  // null: none
        Args args;
        const char* line;  // "@" is the installation
    } cases[] = {
        {nullptr, {}, "CORFI UNKNOWN - cannot read @/temp/.ACFI: No such file or directory"},
        {"short", {}, "CORFI UNKNOWN - @/temp/.ACFI is no monitor record"},
        {nullptr, {"--warn", "soon"}, "CORFI UNKNOWN - --warn needs whole seconds (see --help)"},
        {nullptr, {"-c", "@/nowhere"}, "CORFI UNKNOWN - cannot use the configuration @/nowhere"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(at("temp/.ACFI"));
        if (c.record != nullptr) {
            writeFile(at("temp/.ACFI"), c.record);
        }
        Args args;
        for (const std::string& arg : c.args) {
            args.push_back(filled(arg, base));
        }
        const std::string line = filled(c.line, base);
        const auto run = status(args);
        EXPECT_EQ(3, run.status) << line;
        EXPECT_EQ(line, run.out.substr(0, line.size()));
    }
}

TEST_F(CorfiStatusTest, FollowsTheRunningDaemonAndTellsTheSameAsJson) {
    layout();
    ASSERT_NO_FATAL_FAILURE(startForeground());
    const std::string pid = std::to_string(daemon.pid());
    auto run = status({"--json"});
    EXPECT_EQ(0, run.status) << run.out;
    const std::string json =
        R"(\{"status":"OK","code":0,"text":"pid @ alive, last sign of life [01] s ago, )"
        R"(0 files waiting","pid":@,"alive":true,"age":[01],"warn":32,"crit":64,"waiting":0,)"
        R"("oldest":0,"retrying":0,"first_failure":0,"monitor_file":"#/temp/.ACFI",)"
        R"("spool_dir":"#/spool"\}\n)";
    EXPECT_TRUE(std::regex_match(run.out, std::regex(filled(filled(json, pid), base, '#'))))
        << run.out;

    daemon.signal(SIGTERM);
    ASSERT_TRUE(waitForExit());
    run = status({"--json"});
    EXPECT_EQ(2, run.status);
    EXPECT_NE(std::string::npos, run.out.find(R"("status":"CRITICAL","code":2,)")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(R"("pid":)" + pid + R"(,"alive":false,)")) << run.out;
}

}  // namespace
