// Bulk files through the real daemon: claimed, turned into messages line by line, delivered to
// the stand-in server, and resumed after an interruption.
#include <algorithm>
#include <filesystem>
#include <map>

#include "BulkDaemonTest.h"

namespace {

namespace fs = std::filesystem;
using corfitest::BulkDaemonTest;
using testsupport::pollUntil;
using testsupport::readFile;
using Names = std::vector<std::string>;
using std::chrono::seconds;

TEST_F(BulkDaemonTest, EachLineBecomesOneMessageAndTheFileEndsUnderItsDoneName) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layoutBulk();
    drop("bulk/list.txt", "TO=1001 MSG=Hello world\n\nnothing here\nTO=1002\nTO=1003 MSG=Bye\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitForAllDelivered(2)) << log();
    const std::string done = entries("bulk")[0];
    const std::string work = at("bulk/" + done.substr(0, done.size() - 1) + "M");
    EXPECT_EQ(at("bulk/list.txt_"), work.substr(0, work.rfind('_', work.size() - 3) + 1));
    for (const std::string& line :
         Names{"[ERROR] Bulk File[" + work + ":2] Failed to Extract Recipient\n",
               "[ERROR] Bulk File[" + work + ":3] Failed to Extract Message\n",
               "[ERROR] Bulk File[" + work + ":4] Failed to Extract Message\n",
               "[ERROR] Error Creating message File for RCV(1002), MSG()\n"}) {
        EXPECT_TRUE(waitForLog(line)) << line << log();
    }
    Names sent = record();
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(Names({"cmd=Cli&name=1001&priority=3&modid=cli&message=Hello%20world",
                     "cmd=Cli&name=1003&priority=3&modid=cli&message=Bye"}),
              sent);
    EXPECT_EQ("", readFile(at("temp/.ACorFi_BulkStatus")));

    // Two more polls of the bulk directory claim nothing.
    const char* poll = "Rest time over, start processing Bulk Message Files";
    ASSERT_TRUE(waitForLog(poll, countInLog(poll) + 2));
    EXPECT_EQ(1, countInLog("Process Bulk File ["));
    EXPECT_EQ(Names{done}, entries("bulk"));
    EXPECT_EQ(2u, record().size());
}

TEST_F(BulkDaemonTest, UnusableSettingsStartNoBulkThread) {
    const std::string missing = tmp.file("nowhere");
    const std::pair<std::string, std::string> cases[] = {
        {"bulk_enable: FALSE\n", "[INFO] Bulk Processing is disabled\n"},
        {"bulk_dir: " + missing + "\n",
         "[ERROR] Bulk processing dir [" + missing + "] is not accessible\n"},
        {"bulk_message_pattern:\n", "[ERROR] Bulk Message Pattern Not Set\n"},
        {"bulk_recipient_pattern:\n", "[ERROR] Bulk Recipient Pattern Not Set\n"},
    };
    for (const auto& [settings, expected] : cases) {
        base = tmp.file(std::to_string(&settings - &cases[0].first));
        layoutBulk(settings);
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        EXPECT_TRUE(waitForLog(expected)) << settings << log();
        EXPECT_TRUE(waitForLog("Process File [lock] \n"));  // the dispatch loop runs
        EXPECT_EQ(0, countInLog("Creating Bulk File Pooling Machine")) << settings;
        daemon.stop(SIGTERM);
    }
}

// After SIGKILL the line being written may be written again at the restart. The first run then
// rests for an hour, so that no delivery is in flight when the kill comes (a message posted but
// not yet removed would be sent twice, whatever the bulk thread does).
TEST_F(BulkDaemonTest, ResumesAfterASignalWithoutLosingALine) {
    constexpr int lines = 10000;
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        base = tmp.file(std::to_string(signal));
        stub.stop(SIGTERM);
        fs::remove(tmp.file("requests.jsonl"));
        ASSERT_NO_FATAL_FAILURE(startStub());
        layoutBulk();
        if (signal == SIGKILL) {
            ASSERT_NO_FATAL_FAILURE(startDaemon({"-rest", "3600"}));
            ASSERT_TRUE(waitForLog("Process File [lock] \n"));
        } else {
            logLevel("info");
            ASSERT_NO_FATAL_FAILURE(startDaemon());
        }
        drop("bulk/big", bulkLines(lines, ""));
        ASSERT_TRUE(pollUntil([&] { return bulkStatus().second >= 100; }, seconds(50)));
        daemon.signal(signal);
        ASSERT_TRUE(waitForExit());
        EXPECT_EQ(signal == SIGKILL ? 128 + SIGKILL : 0, daemon.status());
        const auto [work, linesDone] = bulkStatus();
        ASSERT_LT(linesDone, lines) << "the file was finished before the signal";

        fs::remove(at("temp/.ACFI"));  // so that it names the new daemon only
        logLevel("info");
        ASSERT_NO_FATAL_FAILURE(startDaemon({"-rest", "0"}));
        EXPECT_TRUE(waitForLog("[INFO] Processing previous bulk message file [" + work + "]\n"));
        ASSERT_TRUE(waitForAllDelivered(lines)) << record().size();
        EXPECT_EQ(Names{doneName(work)}, entries("bulk"));
        std::map<std::string, int> sent = receivedFrom("");
        EXPECT_EQ(static_cast<size_t>(lines), sent.size());  // no recipient of its own making
        int twice = 0;
        for (int i = 1; i <= lines; ++i) {
            ASSERT_GE(sent[std::to_string(i)], 1) << "line " << i << " was lost";
            twice += sent[std::to_string(i)] - 1;
        }
        EXPECT_LE(twice, signal == SIGKILL ? 1 : 0);
        daemon.stop(SIGTERM);
    }
}

}  // namespace
