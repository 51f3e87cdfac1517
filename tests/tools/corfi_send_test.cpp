// corfi-send against the daemon's own reading: what it writes, what it refuses, where it writes,
// and --at against the real daemon in zones with daylight-saving time.
#include <algorithm>
#include <ctime>
#include <filesystem>

#include "DaemonHarness.h"

namespace {

namespace fs = std::filesystem;
using testsupport::concat;
using testsupport::pollUntil;
using Args = std::vector<std::string>;

class CorfiSendTest : public corfitest::DaemonTest {
protected:
    testsupport::ProgramResult send(const Args& args, const std::string& input = "",
                                    const Args& env = {}) {
        return testsupport::runProgram(concat({CORFI_TOOL_PATH}, args),
                                       concat({"PATH=/usr/bin:/bin"}, env), input);
    }
};

TEST_F(CorfiSendTest, EveryTargetReachesTheServerAsWritten) {
    const struct {
        Args args;
        const char* input;
        const char* target;
        const char* rest;  // of the body after "&priority=3&modid=cli"
    } cases[] = {
        {{"-r", "jdoe", "Disk", "91%", "full"},
         "",
         "rcv_name=jdoe",
         "&message=Disk%2091%25%20full"},
        {{"-g", "Ops", "-j", "J7", "Done"}, "", "grp_name=Ops", "&jobid=J7&message=Done"},
        {{"-n", "Jane Doe", "Lunch"}, "", "name=Jane%20Doe", "&message=Lunch"},
        {{"-p", "555", "-C", "Tel", "Call"}, "", "carrier_name=Tel", "&pin=555&message=Call"},
        // Standard input keeps its line breaks; "--" lets a text begin with a dash; a TIME_AT
        // in the past is sent at once.
        {{"-r", "lines"}, "first\nsecond\n\n", "rcv_name=lines", "&message=first%0asecond"},
        {{"-r", "one"}, "one line\n", "rcv_name=one", "&message=one%20line"},
        {{"-r", "dash", "--", "-5 C"}, "", "rcv_name=dash", "&message=%2d5%20C"},
        {{"-r", "late", "--time-at", "01-01-10-10-00", "Late"},
         "",
         "rcv_name=late",
         "&message=Late"},
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
    Args sent = record();
    std::sort(sent.begin(), sent.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, sent);
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
        {{"-r", "jdoe", "--time-at", "13-01-10-10-00", "x"},
         "",
         2,
         "Invalid TIME_AT paramters [13-01-10-10-00]. Should be [MM-DD-YY-HH-MM] format"},
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
        {"summer afternoon", true, 14, 30},
        {"winter afternoon", false, 14, 30},
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

        const size_t before = record().size();
        const auto run =
            send({"-s", at("spool"), "-r", "x", "--at", wallClock, "x"}, "", {"TZ=" + zone});
        ASSERT_EQ(0, run.status) << run.err;
        ASSERT_TRUE(
            pollUntil([&] { return record().size() > before; }, std::chrono::seconds(kLead + 30)))
            << c.season << " " << zone << " " << wallClock;
        // Not before the minute, and within one scan (rest 1) of it.
        const time_t arrived = time(nullptr);
        EXPECT_GE(arrived, minute) << c.season << " " << zone << " " << wallClock;
        EXPECT_LE(arrived, minute + 3) << c.season << " " << zone << " " << wallClock;
        daemon.stop(SIGTERM);
    }
}

}  // namespace
