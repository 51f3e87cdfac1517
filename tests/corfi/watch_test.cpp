// Fast pickup: with spool_watch the daemon sends a new file at once instead of after its rest,
// and with rest 0 it no longer spins over an empty spool directory.
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DaemonHarness.h"

namespace {

namespace fs = std::filesystem;
using corfitest::DaemonTest;
using std::chrono::milliseconds;
using std::chrono::seconds;
using testsupport::pollUntil;
using Names = std::vector<std::string>;

long long nowMillis() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

// User and system CPU seconds the process has used so far.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            user = std::stoull(field);
        } else if (i == 15) {
            system = std::stoull(field);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(DaemonTest, AWatchedSpoolSendsAFileDroppedDuringALongRestAtOnce) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout("rest: 60\nspool_watch: TRUE\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitForLog("Process File [lock] \n"));  // the first cycle is over
    for (int i = 0; i < 3; ++i) {
        const long long dropped = nowMillis();
        drop("spool/corfi_" + std::to_string(i), "RECEIVER: Jane\nMESSAGE: m\n");
        ASSERT_TRUE(pollUntil([&] { return record().size() > static_cast<size_t>(i); }));
        EXPECT_LT(receiptTimes().back() - dropped, 1000) << "file " << i;
    }
}

// TIME_AT counts in whole minutes of local standard time. A zone whose offset has seconds puts
// the next minute a few seconds ahead, so the test need not wait for the clock.
TEST_F(DaemonTest, AWatchedSpoolSendsAScheduledFileRightAfterItsTime) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout("rest: 3600\nspool_watch: TRUE\n");
    const long long now = nowMillis();
    const long long due = (now / 1000 + 6) * 1000;  // a whole second 5 to 6 s ahead
    const int offset = static_cast<int>((60 - (due / 1000) % 60) % 60);  // makes `due` hh:mm:00
    char zone[32];
    std::snprintf(zone, sizeof zone, "TZ=CVT-00:00:%02d", offset);
    const time_t local = static_cast<time_t>(due / 1000 + offset + 3600);  // the hour plus one
    struct tm fields;
    gmtime_r(&local, &fields);
    char timeAt[32];
    std::snprintf(timeAt, sizeof timeAt, "%02d-%02d-%02d-%02d-%02d", fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_year % 100, fields.tm_hour, fields.tm_min);
    drop("spool/corfi_later", "RECEIVER: Jane\nTIME_AT: " + std::string(timeAt) + "\nMESSAGE: m\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon({}, {zone}));
    ASSERT_TRUE(pollUntil([&] { return !record().empty(); }, seconds(20)));
    const long long sent = receiptTimes().front();
    EXPECT_GE(sent, due + 1000) << "sent before its time";  // a file goes once its second is past
    EXPECT_LT(sent, due + 3000) << "sent " << sent - due << " ms after its time";
}

TEST_F(DaemonTest, AWatchedBulkDirectoryIsPolledAsSoonAsAFileArrives) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    fs::create_directories(at("bulk"));
    layout("spool_watch: TRUE\nbulk_enable: TRUE\nbulk_dir: " + at("bulk") +
           "\nbulk_recipient_pattern: TO=(\\d+)\nbulk_message_pattern: MSG=(.*)$\n"
           "bulk_check_period: 3600\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitForLog("Bulk File Processing resting for [3600] seconds."));
    const long long dropped = nowMillis();
    drop("bulk/list", "TO=1 MSG=hello\n");
    ASSERT_TRUE(pollUntil([&] { return !record().empty(); }, seconds(10)));
    EXPECT_LT(receiptTimes().front() - dropped, 1000);
}

TEST_F(DaemonTest, WithoutInotifyTheDaemonWarnsAndRestsAsBefore) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout("rest: 1\nspool_watch: TRUE\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon({}, {"CORFI_TEST_NO_INOTIFY=1"}));
    EXPECT_TRUE(waitForLog("[WARN] Cannot watch directory [" + at("spool") + "] for new files: "));
    drop("spool/corfi_1", "RECEIVER: Jane\nMESSAGE: m\n");
    EXPECT_TRUE(waitForLog("COMPLETED RCPT(Jane), MSG(m)\n"));
    EXPECT_EQ(1, countInLog("Cannot watch directory"));
}

TEST_F(DaemonTest, RestZeroDoesNotSpinOverAnEmptySpool) {
    for (const char* watch : {"FALSE", "TRUE"}) {
        SCOPED_TRACE(watch);
        ASSERT_NO_FATAL_FAILURE(startStub());
        base = tmp.file(watch);
        layout("rest: 0\nspool_watch: " + std::string(watch) + "\n");
        logLevel("info");
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        const double before = cpuSeconds(daemon.pid());
        const long long start = nowMillis();
        ASSERT_TRUE(
            pollUntil([&] { return nowMillis() - start >= 3000; }, seconds(10), milliseconds(100)));
        EXPECT_LT(cpuSeconds(daemon.pid()) - before, 0.3);
        drop("spool/corfi_1", "RECEIVER: Jane\nMESSAGE: m\n");  // and it still delivers
        EXPECT_TRUE(waitForLog("COMPLETED RCPT(Jane), MSG(m)\n"));
        daemon.stop(SIGTERM);
        stub.stop(SIGTERM);
    }
}

}  // namespace
