// Fast pickup and parallel delivery: with spool_watch the daemon sends a new file at once
// instead of after its rest, with rest 0 it no longer spins over an empty spool directory, and
// with max_parallel it posts several files at once, each still with exactly one outcome.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>
#include <thread>

#include "DaemonHarness.h"

namespace {

using namespace corfitest;

long long nowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// User and system CPU seconds the process has used so far (fields 14 and 15 of its stat).
double cpuSeconds(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    unsigned long long user = 0, system = 0;
    EXPECT_EQ(2,
              std::sscanf(stat.substr(stat.rfind(')') + 2).c_str(),
                          "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu", &user, &system))
        << stat;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Both the spool and the bulk directory are watched: a bulk file becomes a message file, which
// goes out at once too.
TEST_F(DaemonTest, WatchedDirectoriesSendAFileDroppedDuringALongRestAtOnce) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    fs::create_directories(at("bulk"));
    layout("rest: 60\nspool_watch: TRUE\nbulk_enable: TRUE\nbulk_dir: " + at("bulk") +
           "\nbulk_recipient_pattern: TO=(\\d+)\nbulk_message_pattern: MSG=(.*)$\n"
           "bulk_check_period: 3600\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitForLog("Bulk File Processing resting for [3600] seconds."));
    ASSERT_TRUE(waitForLog("Process File [lock] \n"));  // the first cycle is over
    for (int i = 0; i < 4; ++i) {
        const long long dropped = nowMillis();
        if (i == 0) {
            drop("bulk/list", "TO=1 MSG=hello\n");
        } else {
            drop("spool/corfi_" + std::to_string(i), "RECEIVER: Jane\nMESSAGE: m\n");
        }
        ASSERT_TRUE(pollUntil([&] { return record().size() > static_cast<size_t>(i); }));
        EXPECT_LT(receiptTimes().back() - dropped, 1000 * testsupport::kSlowdown) << "file " << i;
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
    drop("spool/corfi_later", "RECEIVER: Jane\nTIME_AT: " + timeAtText(local) + "\nMESSAGE: m\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon({}, {zone}));
    ASSERT_TRUE(pollUntil([&] { return !record().empty(); }, seconds(20)));
    const long long sent = receiptTimes().front();
    EXPECT_GE(sent, due + 1000) << "sent before its time";  // a file goes once its second is past
    EXPECT_LT(sent, due + 3000 * testsupport::kSlowdown)
        << "sent " << sent - due << " ms after its time";
}

// Without inotify a watched spool warns once and rests as if it were not watched.
TEST_F(DaemonTest, RestZeroDoesNotSpinOverAnEmptySpool) {
    const std::pair<const char*, Names> cases[] = {
        {"FALSE", {}}, {"TRUE", {}}, {"TRUE", {"CORFI_TEST_NO_INOTIFY=1"}}};
    ASSERT_NO_FATAL_FAILURE(startStub());
    for (const auto& [watch, env] : cases) {
        SCOPED_TRACE(std::string(watch) + (env.empty() ? "" : " without inotify"));
        base = tmp.file(watch + std::to_string(env.size()));
        layout("rest: 0\nspool_watch: " + std::string(watch) + "\n");
        logLevel("info");
        ASSERT_NO_FATAL_FAILURE(startDaemon({}, env));
        const double before = cpuSeconds(daemon.pid());
        std::this_thread::sleep_for(seconds(3));  // the time measured, not a wait for the daemon
        EXPECT_LT(cpuSeconds(daemon.pid()) - before, 0.3 * testsupport::kSlowdown);
        drop("spool/corfi_1", "RECEIVER: Jane\nMESSAGE: m\n");  // and it still delivers
        EXPECT_TRUE(waitForLog("COMPLETED RCPT(Jane), MSG(m)\n"));
        EXPECT_EQ(env.empty() ? 0 : 1, countInLog("[WARN] Cannot watch directory [" + at("spool") +
                                                  "] for new files: "));
        daemon.stop(SIGTERM);
    }
}

class ParallelTest : public DaemonTest {
protected:
    // `files` messages for a daemon that posts up to `parallel` at once.
    void start(const Names& stubOptions, int parallel, int files) {
        ASSERT_NO_FATAL_FAILURE(startStub(stubOptions));
        layout("max_parallel: " + std::to_string(parallel) + "\n");
        logLevel("info");
        dropMessages(0, files);
        ASSERT_NO_FATAL_FAILURE(startDaemon());
    }
};

TEST_F(ParallelTest, TwentyTransfersAtOnceDeliverEachFileOnce) {
    constexpr int files = 200;
    ASSERT_NO_FATAL_FAILURE(start({"--delay-ms", "100"}, 20, files));
    ASSERT_TRUE(pollUntil([&] { return countInLog("] COMPLETED RCPT(") == files; }, seconds(30)));
    // One at a time this takes 20 s; twenty at once about 1 s.
    const std::vector<long long> received = receiptTimes();
    EXPECT_LT(received.back() - received.front(), 3000 * testsupport::kSlowdown);
    const Names sent = record();
    EXPECT_EQ(static_cast<size_t>(files), std::set<std::string>(sent.begin(), sent.end()).size());
    EXPECT_EQ(static_cast<size_t>(files), sent.size());
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(1, countInLog("] COMPLETED RCPT(R" + std::to_string(i) + ")")) << i;
    }
    EXPECT_TRUE(pollUntil([&] { return spoolEmpty(); }));
}

// Request n is dropped when n % 5 == 0, answered 500 when n % 3 == 0, else accepted.
TEST_F(ParallelTest, MixedAnswersAndDroppedConnectionsGiveEachFileItsOwnOutcome) {
    constexpr int files = 30;
    ASSERT_NO_FATAL_FAILURE(start({"--fail-every", "3", "--drop-every", "5"}, 8, files));
    // Of every receiver, or of the one `receiver` names with its closing parenthesis.
    const auto outcomes = [&](const std::string& receiver) {
        return countInLog("] COMPLETED RCPT(" + receiver) + countInLog("] FAILED RCPT(" + receiver);
    };
    ASSERT_TRUE(pollUntil([&] { return spoolEmpty(); }));
    EXPECT_TRUE(pollUntil([&] { return outcomes("") == files; }));
    EXPECT_EQ(16, countInLog("] COMPLETED RCPT("));
    EXPECT_EQ(14, countInLog("] FAILED RCPT("));
    EXPECT_EQ(6, countInLog("Failed to send message to HTTP(s) server"));
    EXPECT_EQ(8, countInLog("HTTP(s) server returns [500 Internal error]"));
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(1, outcomes("R" + std::to_string(i) + ")")) << i;
    }
}

// Each file either has its outcome and is gone, or has none and is still there.
TEST_F(ParallelTest, SigtermStartsNoNewTransferAndLetsThoseInFlightEnd) {
    constexpr int files = 100;
    ASSERT_NO_FATAL_FAILURE(start({"--delay-ms", "300"}, 10, files));
    ASSERT_TRUE(pollUntil([&] { return record().size() >= 15; }));
    ASSERT_TRUE(daemon.signal(SIGTERM));
    ASSERT_TRUE(daemon.waitForExit(seconds(10)));
    EXPECT_EQ(0, daemon.status());
    const size_t sent = record().size();
    EXPECT_LT(sent, 40u) << "transfers kept starting after the stop";
    EXPECT_EQ(static_cast<int>(sent), countInLog("] COMPLETED RCPT("))
        << "every transfer that started ended with its outcome";
    EXPECT_EQ(0, countInLog("] FAILED RCPT("));
    for (int i = 0; i < files; ++i) {
        const std::string id = std::to_string(i);
        const bool kept = fs::exists(at("spool/corfi_" + id));
        EXPECT_NE(kept, countInLog("] COMPLETED RCPT(R" + id + ")") == 1) << id;
    }
}

}  // namespace
