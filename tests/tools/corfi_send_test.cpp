// corfi-send against the daemon's own reading: what it writes, what it refuses, where it writes,
// and --at against the real daemon in zones with daylight-saving time.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "../corfi/DaemonHarness.h"

namespace {

namespace fs = std::filesystem;
using corfitest::DaemonTest;
using testsupport::concat;
using testsupport::pollUntil;
using testsupport::readFile;
using testsupport::writeFile;
using Args = std::vector<std::string>;
constexpr auto npos = std::string::npos;

class CorfiSendTest : public DaemonTest {
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
        const char* body;
    } cases[] = {
        {{"-r", "jdoe", "Disk", "/var is", "91%", "full"},
         "",
         "cmd=Cli&rcv_name=jdoe&priority=3&modid=cli&message=Disk%20/var%20is%2091%25%20full"},
        {{"-g", "Ops", "-j", "J7", "Backup done"},
         "",
         "cmd=Cli&grp_name=Ops&priority=3&modid=cli&jobid=J7&message=Backup%20done"},
        {{"-n", "Jane Doe", "Lunch"},
         "",
         "cmd=Cli&name=Jane%20Doe&priority=3&modid=cli&message=Lunch"},
        {{"-p", "5550123", "-C", "DemoTel", "Call"},
         "",
         "cmd=Cli&carrier_name=DemoTel&priority=3&modid=cli&pin=5550123&message=Call"},
        // Standard input keeps its line breaks; "--" lets a text begin with a dash.
        {{"-r", "lines"},
         "first line\nsecond line\n\n",
         "cmd=Cli&rcv_name=lines&priority=3&modid=cli&message=first%20line%0asecond%20line"},
        {{"-r", "one"},
         "one line\n",
         "cmd=Cli&rcv_name=one&priority=3&modid=cli&message=one%20line"},
        {{"-r", "dash", "--", "-5 C"},
         "",
         "cmd=Cli&rcv_name=dash&priority=3&modid=cli&message=%2d5%20C"},
        // A TIME_AT in the past is sent at once.
        {{"-r", "late", "--time-at", "01-01-10-10-00", "Late"},
         "",
         "cmd=Cli&rcv_name=late&priority=3&modid=cli&message=Late"},
    };
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout();
    Args expected;
    for (const auto& c : cases) {
        const auto run = send(concat({"-s", at("spool")}, c.args), c.input);
        ASSERT_EQ(0, run.status) << c.args[1] << ": " << run.err;
        EXPECT_EQ("", run.err);
        // The printed path names the published file; the daemon reads it through the group.
        const std::string path = run.out.substr(0, run.out.find('\n'));
        EXPECT_EQ(at("spool/corfi"), path.substr(0, path.size() - 6));
        EXPECT_EQ(fs::perms(0640), fs::status(path).permissions()) << path;
        expected.push_back(c.body);
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
        {concat(spool, {"-p", "5550123", "x"}), "", 2, "Unknow CARRIER field in Quick message"},
        {concat(spool, {"-C", "DemoTel", "x"}), "", 2, "Unknow PIN field in Quick message"},
        {concat(spool, {"-r", "#42", "x"}), "", 2, "Empty RECEIVER field"},
        {concat(spool, {"-g", "  ", "x"}), "", 2, "Empty GROUP field"},
        {concat(spool, {"-r", "jdoe"}), " \t\n\n", 2, "Empty MESSAGE field"},
        {concat(spool, {"-r", "jdoe", "-j", "#1", "x"}), "", 2, "Empty JOBID field"},
        {concat(spool, {"-r", "jdoe", "--time-at", "13-01-10-10-00", "x"}), "", 2,
         "Invalid TIME_AT paramters [13-01-10-10-00]. Should be [MM-DD-YY-HH-MM] format"},
        // The command line.
        {concat(spool, {"x"}), "", 2, "no target: give -r, -g, -n, or -p and -C (see --help)"},
        {concat(spool, {"-r", "a", "-n", "b", "x"}), "", 2, "more than one target"},
        {concat(spool, {"-r", "", "x"}), "", 2, "-r needs a value (see --help)"},
        {concat(spool, {"-r"}), "", 2, "-r needs a value (see --help)"},
        {concat(spool, {"--at"}), "", 2, "--at needs a value (see --help)"},
        {concat(spool, {"-x", "-r", "a"}), "", 2, "unknown option -x (see --help)"},
        {concat(spool, {"-r", "a\nMESSAGE: other", "x"}), "", 2,
         "RECEIVER must not hold a line break"},
        {concat(spool, {"-c", at("config"), "-r", "a", "x"}), "", 2,
         "-c and -s exclude each other"},
        {concat(spool, {"-r", "a", "--at", "2026-07-01 10:00", "--time-at", "07-01-26-11-00"}), "",
         2, "--at and --time-at exclude each other"},
        {concat(spool, {"-r", "a", "--at", "2026-02-29 10:00", "x"}), "", 2,
         "--at: not a date and time of the form YYYY-MM-DD HH:MM: 2026-02-29 10:00"},
        {concat(spool, {"-r", "a"}), std::string(1048576, 'x'), 2,
         "the message is larger than the daemon reads"},
        // Nowhere to write.
        {Args{"-s", at("nowhere"), "-r", "a", "x"}, "", 1,
         "cannot open " + at("nowhere") + ": No such file or directory"},
        {Args{"-c", at("nowhere"), "-r", "a", "x"}, "", 1, "cannot read the configuration"},
    };
    for (const auto& c : cases) {
        const auto run = send(c.args, c.input);
        const std::string line = "corfi-send: " + c.error;
        EXPECT_EQ(c.status, run.status) << line << "\n" << run.err;
        EXPECT_NE(npos, run.err.find(line)) << run.err;
        EXPECT_EQ("", run.out);
        EXPECT_EQ(Args{}, entries("spool")) << line;
    }
}

TEST_F(CorfiSendTest, FindsTheSpoolDirectoryAsTheDaemonDoes) {
    // spool_dir in corfi_config wins over dir and the environment, as at the daemon's start.
    layout("", "spool_dir: " + at("other") + "\n");
    fs::create_directory(at("other"));
    const struct {
        Args args;
        Args env;
    } cases[] = {
        {{"-c", at("config")}, {"MMspool_dir=" + at("other")}},
        {{}, {"MMconfig_dir=" + at("config")}},
    };
    for (const auto& c : cases) {
        const auto run = send(concat(c.args, {"-r", "jdoe", "hi"}), "", c.env);
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ(at("spool/"), run.out.substr(0, at("spool/").size()));
    }
    EXPECT_EQ(2u, entries("spool").size());
    EXPECT_EQ(Args{}, entries("other"));
}

// A POSIX zone whose clock shows `hour`:`minute`:00 at `moment`, with daylight-saving time in
// effect then (`summer`) or months away. The offset has seconds, so that the requested minute
// can begin a few seconds from now.
std::string zoneShowing(time_t moment, int hour, int minute, bool summer) {
    const long utcOfDay = static_cast<long>(moment % 86400);
    long east = ((hour * 3600L + minute * 60L - utcOfDay) % 86400 + 86400) % 86400;
    if (east > 43200) {
        east -= 86400;
    }
    const time_t localFields = moment + east;
    struct tm local {};
    gmtime_r(&localFields, &local);
    const int from = (local.tm_yday + (summer ? 363 : 100)) % 365;
    const int to = (local.tm_yday + (summer ? 2 : 200)) % 365;
    // TZ names the standard offset, west of UTC positive; the saving is one hour.
    const long west = -(summer ? east - 3600 : east);
    const long size = west < 0 ? -west : west;
    char zone[96];
    std::snprintf(zone, sizeof zone, "XST%c%02ld:%02ld:%02ldXDT,%d,%d", west < 0 ? '-' : '+',
                  size / 3600, size / 60 % 60, size % 60, from, to);
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
        // 00:30 in summer is 23:30 standard time the day before: the value has hour 00.
        {"summer 00:30", true, 0, 30},
        // 23:30 in winter becomes hour 00 of the next day.
        {"winter 23:30", false, 23, 30},
    };
    constexpr time_t kLead = 4;  // seconds until the requested minute begins
    ASSERT_NO_FATAL_FAILURE(startStub());
    const std::string top = base;
    for (const auto& c : cases) {
        base = top + "/" + c.season;
        layout();
        const time_t minute = time(nullptr) + kLead;
        const std::string zone = zoneShowing(minute, c.hour, c.minute, c.summer);
        ASSERT_NO_FATAL_FAILURE(startDaemon({}, {"TZ=" + zone}));
        struct tm local {};
        char at[32];
        setenv("TZ", zone.c_str(), 1);
        tzset();
        localtime_r(&minute, &local);
        unsetenv("TZ");
        tzset();
        ASSERT_EQ(c.summer, local.tm_isdst > 0) << zone;
        strftime(at, sizeof at, "%Y-%m-%d %H:%M", &local);

        const size_t before = record().size();
        const auto run = send({"-s", this->at("spool"), "-r", c.season, "--at", at, c.season}, "",
                              {"TZ=" + zone});
        ASSERT_EQ(0, run.status) << run.err;
        ASSERT_TRUE(
            pollUntil([&] { return record().size() > before; }, std::chrono::seconds(kLead + 30)))
            << c.season << " " << zone << " --at " << at << "\n"
            << readFile(run.out.substr(0, run.out.find('\n')));
        const time_t arrived = time(nullptr);
        // Not before the minute, and within one scan (rest 1) of it.
        EXPECT_GE(arrived, minute) << c.season << " " << zone << " --at " << at;
        EXPECT_LE(arrived, minute + 3) << c.season << " " << zone << " --at " << at;
        daemon.stop(SIGTERM);
    }
}

}  // namespace
