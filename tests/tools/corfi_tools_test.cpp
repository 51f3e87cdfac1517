// corfi-send and corfi-status beside the real daemon: what corfi-send writes, refuses and where,
// and its --at in zones with daylight-saving time; corfi-status over monitor files with a set age
// and process, and over the running daemon.
#include <unistd.h>
#include <utime.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>

#include "CVmonitorFile.h"
#include "DaemonHarness.h"

namespace {

namespace fs = std::filesystem;
using testsupport::concat;
using testsupport::pollUntil;
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

class ToolTest : public corfitest::DaemonTest {
protected:
    testsupport::ProgramResult send(const Args& args, const std::string& input = "",
                                    const Args& env = {}) {
        return testsupport::runProgram(concat({CORFI_SEND_PATH}, args),
                                       concat({"PATH=/usr/bin:/bin"}, env), input);
    }
    testsupport::ProgramResult status(const Args& args = {}) {
        return testsupport::runProgram(concat({CORFI_STATUS_PATH, "-c", at("config")}, args),
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
using CorfiSendTest = ToolTest;
using CorfiStatusTest = ToolTest;

TEST_F(CorfiSendTest, EveryTargetReachesTheServerAsWritten) {
    const struct {
        Args args;
        const char* input;
        const char* target;
        const char* rest;  // of the body after "&priority=3&modid=cli"
    } cases[] = {
        {{"-r", "jd", "Disk", "91%", "full"}, "", "rcv_name=jd", "&message=Disk%2091%25%20full"},
        {{"-g", "Ops", "-j", "J7", "Done"}, "", "grp_name=Ops", "&jobid=J7&message=Done"},
        {{"-n", "Jane Doe", "Lunch"}, "", "name=Jane%20Doe", "&message=Lunch"},
        {{"-p", "555", "-C", "Tel", "Call"}, "", "carrier_name=Tel", "&pin=555&message=Call"},
        // Standard input keeps its line breaks; "--" lets a text begin with a dash; a TIME_AT
        // in the past is sent at once.
        {{"-r", "lines"}, "first\nsecond\n\n", "rcv_name=lines", "&message=first%0asecond"},
        {{"-r", "one"}, "one line\n", "rcv_name=one", "&message=one%20line"},
        {{"-r", "dash", "--", "-5 C"}, "", "rcv_name=dash", "&message=%2d5%20C"},
        {{"-r", "old", "--time-at", "01-01-10-10-00", "Old"}, "", "rcv_name=old", "&message=Old"},
    };
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout();
    Args expected;
    for (const auto& c : cases) {
        const auto run = send(concat({"-s", at("spool")}, c.args), c.input);
        ASSERT_EQ(0, run.status) << c.args[1] << ": " << run.err;
        // The printed path names the published file; the daemon reads it through the group.
        const std::string path = run.out.substr(0, run.out.find('\n'));
        EXPECT_EQ(at("spool/corfi"), path.substr(0, path.size() - 6));
        EXPECT_EQ(fs::perms(0640), fs::status(path).permissions()) << path;
        expected.push_back(std::string("cmd=Cli&") + c.target + "&priority=3&modid=cli" + c.rest);
    }
    EXPECT_EQ(std::size(cases), entries("spool").size());  // no hidden file is left
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(pollUntil([&] { return record().size() >= expected.size(); })) << log();
    EXPECT_EQ(corfitest::sorted(expected), corfitest::sorted(record()));
}

TEST_F(CorfiSendTest, RefusesWhatTheDaemonWouldRefuseAndWritesNothing) {
    layout();
    const Args spool = {"-s", at("spool")};
    const struct {
        Args args;
        std::string input;
        int status;
        std::string error;  // a line of standard error
    } cases[] = {
        // The daemon's own texts.
        {{"-p", "555", "x"}, "", 2, "Unknow CARRIER field in Quick message"},
        {{"-r", "#42", "x"}, "", 2, "Empty RECEIVER field"},
        {{"-r", "jdoe"}, " \t\n\n", 2, "Empty MESSAGE field"},
        {{"-r", "a", "--time-at", "13-01-10-10-00", "x"}, "", 2, "Invalid TIME_AT paramters [13-"},
        // The command line.
        {{"x"}, "", 2, "no target: give -r, -g, -n, or -p and -C (see --help)"},
        {{"-r", "a", "-n", "b", "x"}, "", 2, "more than one target"},
        {{"-r", "", "x"}, "", 2, "-r needs a value (see --help)"},
        {{"-x", "-r", "a"}, "", 2, "unknown option -x (see --help)"},
        {{"-r", "a\nMESSAGE: other", "x"}, "", 2, "RECEIVER must not hold a line break"},
        {{"-s", at("spool"), "-c", at("config"), "-r", "a"}, "", 2, "-c and -s exclude each other"},
        {{"-r", "a", "--at", "2026-07-01 10:00", "--time-at", "07-01-26-11-00"},
         "",
         2,
         "--at and --time-at exclude each other"},
        {{"-r", "a", "--at", "2026-02-29 10:00", "x"}, "", 2, "--at: not a date and time"},
        {{"-r", "a"}, std::string(1048576, 'x'), 2, "the message is larger than the daemon reads"},
        // Nowhere to write.
        {{"-s", at("nowhere"), "-r", "a", "x"},
         "",
         1,
         "cannot open " + at("nowhere") + ": No such file or directory"},
        {{"-c", at("nowhere"), "-r", "a", "x"}, "", 1, "cannot read the configuration"},
    };
    for (const auto& c : cases) {
        const bool ownSpool = c.args[0] == "-s" || c.args[0] == "-c";
        const auto run = send(ownSpool ? c.args : concat(spool, c.args), c.input);
        EXPECT_EQ(c.status, run.status) << c.error << "\n" << run.err;
        EXPECT_NE(std::string::npos, run.err.find("corfi-send: " + c.error)) << run.err;
        EXPECT_EQ("", run.out);
        EXPECT_EQ(Args{}, entries("spool")) << c.error;
    }
}

TEST_F(CorfiSendTest, FindsTheSpoolDirectoryAsTheDaemonDoes) {
    // spool_dir in corfi_config wins over dir and the environment, as at the daemon's start.
    layout("", "spool_dir: " + at("other") + "\n");
    fs::create_directory(at("other"));
    for (const auto& [args, env] : {std::pair<Args, Args>{{"-c", at("config")}, {"MMspool_dir=x"}},
                                    {{}, {"MMconfig_dir=" + at("config")}}}) {
        const auto run = send(concat(args, {"-r", "jdoe", "hi"}), "", env);
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ(at("spool/"), run.out.substr(0, at("spool/").size()));
    }
    EXPECT_EQ(Args{}, entries("other"));
}

// A POSIX zone whose clock shows hour:minute:00 at `moment`, with daylight-saving time in effect
// then (`summer`) or months away. Its offset has seconds, so the minute can be seconds away.
std::string zoneShowing(time_t moment, int hour, int minute, bool summer) {
    long east = ((hour * 3600L + minute * 60L - moment % 86400) % 86400 + 86400) % 86400;
    east -= east > 43200 ? 86400 : 0;
    const time_t fields = moment + east;
    struct tm local {};
    gmtime_r(&fields, &local);
    // TZ names the standard offset, west of UTC positive; the saving is one hour.
    const long west = summer ? 3600 - east : -east;
    const long size = std::labs(west);
    char zone[96];
    std::snprintf(zone, sizeof zone, "XST%c%02ld:%02ld:%02ldXDT,%d,%d", west < 0 ? '-' : '+',
                  size / 3600, size / 60 % 60, size % 60,
                  (local.tm_yday + (summer ? 363 : 100)) % 365,
                  (local.tm_yday + (summer ? 2 : 200)) % 365);
    return zone;
}

TEST_F(CorfiSendTest, AtSendsWithinOneScanOfTheRequestedMinuteInEitherSeason) {
    const struct {
        const char* season;
        bool summer;
        int hour;
        int minute;
    } cases[] = {
        {"summer 00:30", true, 0, 30},    // 23:30 standard time the day before: hour 00
        {"winter 23:30", false, 23, 30},  // hour 00 of the next day
    };
    constexpr time_t kLead = 4;  // seconds until the requested minute begins
    ASSERT_NO_FATAL_FAILURE(startStub());
    for (const auto& c : cases) {
        base = tmp.file(c.season);
        layout();
        const time_t minute = time(nullptr) + kLead;
        const std::string zone = zoneShowing(minute, c.hour, c.minute, c.summer);
        ASSERT_NO_FATAL_FAILURE(startDaemon({}, {"TZ=" + zone}));
        struct tm local {};
        char wallClock[32];
        setenv("TZ", zone.c_str(), 1);
        tzset();
        localtime_r(&minute, &local);
        unsetenv("TZ");
        tzset();
        ASSERT_EQ(c.summer, local.tm_isdst > 0) << zone;
        strftime(wallClock, sizeof wallClock, "%Y-%m-%d %H:%M", &local);
        SCOPED_TRACE(std::string(c.season) + " " + zone + " " + wallClock);

        const size_t before = record().size();
        const auto run =
            send({"-s", at("spool"), "-r", "x", "--at", wallClock, "x"}, "", {"TZ=" + zone});
        ASSERT_EQ(0, run.status) << run.err;
        ASSERT_TRUE(
            pollUntil([&] { return record().size() > before; }, std::chrono::seconds(kLead + 30)));
        // Not before the minute, and within one scan (rest 1) of it.
        const time_t arrived = time(nullptr);
        EXPECT_GE(arrived, minute);
        EXPECT_LE(arrived, minute + 3);
        daemon.stop(SIGTERM);
    }
}

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
    const std::string ok =
        "CORFI OK - pid @ alive, last sign of life [56] s ago, 2 files waiting, oldest 10[01] s, "
        "2 waiting for a retry, first failure 9[56] s ago \\| age=[56]s;32;64;0 waiting=2;;;0 "
        "oldest=10[01]s;;;0 retrying=2;;;0 first_failure=9[56]s;;;0";
    const struct {
        pid_t pid;
        time_t started;
        time_t age;
        Args args;
        int code;
        std::string line;  // a regular expression; "@" is the pid
    } cases[] = {
        {self, now, 5, {}, 0, ok},
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
        {nullptr, {"-c", at("nowhere")}, "CORFI UNKNOWN - cannot use the configuration @/nowhere"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(at("temp/.ACFI"));
        if (c.record != nullptr) {
            writeFile(at("temp/.ACFI"), c.record);
        }
        const std::string line = filled(c.line, base);
        const auto run = status(c.args);
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
