// Retries and the failed directory: no page is lost while the messaging server is briefly away,
// none is sent twice, and what finally fails is kept with its reason.
#include <sys/stat.h>

#include <map>
#include <optional>

#include "DaemonHarness.h"

namespace {

using namespace corfitest;

class RetryTest : public DaemonTest {
protected:
    // The stand-in with `options`, then the daemon with `config` and messages 0 to `files` - 1.
    void start(const Names& options, const std::string& config, int files,
               const std::string& level = "trace") {
        ASSERT_NO_FATAL_FAILURE(startStub(options));
        layout(config);
        logLevel(level);
        dropMessages(0, files);
        ASSERT_NO_FATAL_FAILURE(startDaemon());
    }
    // When each message text reached the stand-in, in ms since 1970.
    std::map<std::string, std::vector<long long>> attempts() const {
        std::map<std::string, std::vector<long long>> times;
        const Names bodies = record();
        const std::vector<long long> at = receiptTimes();
        for (size_t i = 0; i < bodies.size() && i < at.size(); ++i) {
            times[bodies[i].substr(bodies[i].rfind('=') + 1)].push_back(at[i]);
        }
        return times;
    }
};

TEST_F(RetryTest, FilesArrivingWhileTheServerIsDownAreDeliveredOnceItIsBack) {
    constexpr int files = 10;
    ASSERT_NO_FATAL_FAILURE(start({"--refuse-ms", "20000"}, "retry_period: 120\n", 0, "info"));
    dropMessages(0, files);
    ASSERT_TRUE(waitForLog("Delivery of [corfi_0] failed; retry 1 in 5 s\n")) << log();
    ASSERT_TRUE(
        pollUntil([&] { return spoolEmpty(); }, seconds(90), std::chrono::milliseconds(200)))
        << log();
    EXPECT_EQ(files, countInLog("] COMPLETED RCPT("));
    EXPECT_EQ(0, countInLog("FAILED"));
    const auto sent = attempts();  // a refused connection never reaches the stand-in
    EXPECT_EQ(static_cast<size_t>(files), sent.size());
    for (const auto& [text, times] : sent) {
        EXPECT_EQ(1u, times.size()) << text;
    }
}

// The state file carries the schedule over a restart: no attempt comes early, none is lost.
TEST_F(RetryTest, ARestartKeepsTheRetrySchedule) {
    ASSERT_NO_FATAL_FAILURE(start({"--unavailable-ms", "20000"}, "retry_period: 120\n", 2, "info"));
    ASSERT_TRUE(waitForLog("failed; retry 2 in 10 s\n", 2)) << log();
    daemon.stop(SIGTERM);
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(
        pollUntil([&] { return spoolEmpty(); }, seconds(90), std::chrono::milliseconds(200)))
        << log();
    EXPECT_EQ(0, countInLog("FAILED"));
    // 503 until 20 s: attempts at 0, 5 and 15 s fail, the one at 35 s goes through.
    for (const auto& [text, times] : attempts()) {
        ASSERT_EQ(4u, times.size()) << text;
        const long long first = times[0];
        const long long expected[] = {5000, 15000, 35000};
        for (int i = 0; i < 3; ++i) {
            // The schedule counts in whole seconds.
            EXPECT_GE(times[i + 1] - first, expected[i] - 1000) << text << " attempt " << i + 2;
            EXPECT_LE(times[i + 1] - first, expected[i] + 3000 * testsupport::kSlowdown)
                << text << " attempt " << i + 2;
        }
    }
}

TEST_F(RetryTest, ADefiniteRefusalFailsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(
        start({"--status", "400", "--answer", "400 Unknown receiver"}, "retry_period: 120\n", 1));
    ASSERT_TRUE(waitForLog("[INFO] FAILED RCPT(R0), MSG(m0)\n")) << log();
    EXPECT_TRUE(pollUntil([&] { return spoolEmpty(); }));
    EXPECT_EQ(0, countInLog("failed; retry"));
    EXPECT_EQ(1u, record().size());
}

// retry_period 12: the attempt at 5 s fails, and the next (at 15 s) would be too late.
TEST_F(RetryTest, RetriesEndWithOneFailedLineAndTheFileInTheFailedDirectory) {
    fs::create_directories(at("failed"));
    ASSERT_NO_FATAL_FAILURE(start({"--unavailable-ms", "600000"},
                                  "retry_period: 12\nfailed_dir: " + at("failed") + "\n", 1));
    ASSERT_TRUE(pollUntil([&] { return countInLog("FAILED RCPT(R0)") == 1; }, seconds(30)))
        << log();
    EXPECT_EQ(1, countInLog("Delivery of [corfi_0] failed; retry 1 in 5 s\n"));
    EXPECT_EQ(0, countInLog("retry 2"));
    EXPECT_EQ(2u, record().size());
    EXPECT_TRUE(spoolEmpty());
    EXPECT_EQ("RECEIVER: R0\nMESSAGE: m0\n", readFile(at("failed/corfi_0")));
    EXPECT_NE(npos, readFile(at("failed/corfi_0.reason"))
                        .find("HTTP(s) server returns [503 Service unavailable]"));
}

// A failed directory on a file system of its own must be filled by copying.
TEST_F(RetryTest, FailedFilesOfEveryKindAreKeptWithTheirReasons) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    for (const bool otherFileSystem : {false, true}) {
        SCOPED_TRACE(otherFileSystem ? "failed directory on a tmpfs" : "on the same file system");
        base = tmp.file(otherFileSystem ? "tmpfs" : "same");
        const std::string failed = at("failed");
        fs::create_directories(failed);
        std::optional<testsupport::Tmpfs> tmpfs;
        if (otherFileSystem) {
            tmpfs.emplace(failed, "size=1m");
            REQUIRE_TMPFS(*tmpfs);
        }
        layout("failed_dir: " + failed + "\n");
        writeFile(failed + "/corfi_bad", "an earlier one");  // the name is taken
        drop("spool/corfi_bad", "RECEIVER: R\nGROUP: G\nMESSAGE: m\n");
        mkfifo(at("spool/corfi_fifo").c_str(), 0600);
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        EXPECT_TRUE(pollUntil([&] { return spoolEmpty(); })) << log();
        daemon.stop(SIGTERM);
        EXPECT_EQ("an earlier one", readFile(failed + "/corfi_bad"));
        EXPECT_EQ("RECEIVER: R\nGROUP: G\nMESSAGE: m\n", readFile(failed + "/corfi_bad.1"));
        EXPECT_NE(npos, readFile(failed + "/corfi_bad.1.reason")
                            .find("RECEIVER and GROUP fields can not be existed together"));
        // A FIFO is moved itself; across file systems it cannot be copied and is removed.
        struct stat info {};
        const bool kept = lstat((failed + "/corfi_fifo").c_str(), &info) == 0;
        EXPECT_EQ(!otherFileSystem, kept && S_ISFIFO(info.st_mode));
        EXPECT_EQ(otherFileSystem ? 1 : 0, countInLog("Cannot move [corfi_fifo] to the failed"));
    }
}

TEST_F(RetryTest, AMissingFailedDirectoryIsReportedAndFilesAreRemovedAsBefore) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout("failed_dir: " + at("nowhere") + "\n");
    drop("spool/corfi_bad", "MESSAGE: no target\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    EXPECT_TRUE(waitForLog("[ERROR] Failed directory [" + at("nowhere") + "] is not accessible\n"));
    EXPECT_TRUE(waitForLog("FAILED Parsing error\n"));
    EXPECT_TRUE(pollUntil([&] { return spoolEmpty(); }));
    EXPECT_EQ(Names{}, record());
}

// Without retry_period a failure ends at once with its error and FAILED line, as ever.
TEST_F(RetryTest, RetryPeriodZeroFailsAtOnceAndKeepsNoState) {
    ASSERT_NO_FATAL_FAILURE(start({"--unavailable-ms", "600000"}, "retry_period: 0\n", 1));
    ASSERT_TRUE(waitForLog("FAILED RCPT(R0), MSG(m0)\n"));
    const std::string text = log();
    const size_t answer = text.find("[INFO] HTTP(s) server returns [503 Service unavailable]\n");
    ASSERT_NE(npos, answer);
    EXPECT_EQ(text.find("[INFO] FAILED RCPT(R0), MSG(m0)\n"), text.find('\n', answer) + 21);
    EXPECT_EQ(npos, text.find("failed; retry"));
    EXPECT_FALSE(fs::exists(at("temp/.ACorFi_RetryState")));
    EXPECT_TRUE(spoolEmpty());
}

}  // namespace
