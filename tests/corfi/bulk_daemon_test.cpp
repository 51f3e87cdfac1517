// Bulk files through the real daemon: claimed, turned into messages line by line, delivered to
// the stand-in server, and resumed after an interruption, a full spool or a forged status file.
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "DaemonHarness.h"

namespace {

using namespace corfitest;

class BulkDaemonTest : public DaemonTest {
protected:
    // `extra` comes first, so its values win.
    void layoutBulk(const std::string& extra = "") {
        fs::create_directories(at("bulk"));
        layout(extra + "bulk_enable: TRUE\nbulk_dir: " + at("bulk") +
               "\nbulk_recipient_pattern: TO=(\\d+)\nbulk_message_pattern: MSG=(.*)$\n"
               "bulk_check_period: 1\nrest: 0\n");
    }
    // The bulk status file's record: the work name and the number of lines done.
    std::pair<std::string, int> bulkStatus() const {
        const std::string text = readFile(at("temp/.ACorFi_BulkStatus"));
        const size_t end = text.find('\n');
        return {text.substr(0, end), end == npos ? 0 : std::atoi(text.c_str() + end + 1)};
    }
    // The name the work file `work` (a path ending "_M") ends under.
    static std::string doneName(const std::string& work) {
        const std::string name = work.substr(work.rfind('/') + 1);
        return name.substr(0, name.size() - 1) + "R";
    }
    // "TO=<i> MSG=<i>" for i from 1 to `count`.
    static std::string bulkLines(int count) {
        std::string content;
        for (int i = 1; i <= count; ++i) {
            content += "TO=" + std::to_string(i) + " MSG=" + std::to_string(i) + "\n";
        }
        return content;
    }
    // How many of the recipients 1 to `count` got their message more than once; a test failure
    // for one that got none, for any other recipient and for a text other than its number.
    int sentTwice(int count) const {
        const Names bodies = record();
        std::map<std::string, int> sent;
        for (const std::string& body : bodies) {
            const size_t name = body.find("&name=") + 6, message = body.find("&message=") + 9;
            const std::string to = body.substr(name, body.find('&', name) - name);
            ++sent[to];
            EXPECT_EQ(to, body.substr(message));
        }
        EXPECT_EQ(static_cast<size_t>(count), sent.size());
        int lost = 0;
        for (int i = 1; i <= count; ++i) {
            lost += sent.count(std::to_string(i)) == 0;
        }
        EXPECT_EQ(0, lost) << "lines lost";
        return static_cast<int>(bodies.size() - sent.size());
    }
    // Until the bulk file is done ("_R") and its message files are delivered; FAILED ends it.
    bool waitForAllDelivered(size_t messages) const {
        const auto delivered = [&] {
            const Names bulk = entries("bulk"), spool = entries("spool");
            return bulk.size() == 1 && bulk[0].size() > 2 &&
                   bulk[0].substr(bulk[0].size() - 2) == "_R" && record().size() >= messages &&
                   std::none_of(spool.begin(), spool.end(), [](const std::string& name) {
                       return strncasecmp(name.c_str(), "corfi", 5) == 0;
                   });
        };
        pollUntil([&] { return delivered() || log().find("FAILED") != npos; }, seconds(50),
                  std::chrono::milliseconds(100));
        return delivered();
    }
};

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
    EXPECT_EQ(Names({"cmd=Cli&name=1001&priority=3&modid=cli&message=Hello%20world",
                     "cmd=Cli&name=1003&priority=3&modid=cli&message=Bye"}),
              sorted(record()));
    EXPECT_EQ("", readFile(at("temp/.ACorFi_BulkStatus")));

    // Two more polls of the bulk directory claim nothing.
    const char* poll = "Rest time over, start processing Bulk Message Files";
    ASSERT_TRUE(waitForLog(poll, countInLog(poll) + 2));
    EXPECT_EQ(1, countInLog("Process Bulk File ["));
    EXPECT_EQ(Names{done}, entries("bulk"));
    EXPECT_EQ(2u, record().size());
}

TEST_F(BulkDaemonTest, NulLineAndHugeLineLeaveTheOtherLinesDelivered) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layoutBulk();
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    const std::string huge = "TO=3 MSG=" + std::string(100000, 'x') + " TO=99 MSG=tail";
    drop("bulk/list",
         std::string("TO=1 MSG=one\n\0TO=2 MSG=two\n", 27) + huge + "\nTO=4 MSG=four\n");
    ASSERT_TRUE(waitForAllDelivered(3)) << record().size();
    EXPECT_EQ(Names({"cmd=Cli&name=1&priority=3&modid=cli&message=one",
                     "cmd=Cli&name=2&priority=3&modid=cli&message=two",
                     "cmd=Cli&name=4&priority=3&modid=cli&message=four"}),
              sorted(record()));
    EXPECT_TRUE(waitForLog(":3] Failed to Extract Recipient\n"));
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
        drop("bulk/big", bulkLines(lines));
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
        EXPECT_LE(sentTwice(lines), signal == SIGKILL ? 1 : 0);
        daemon.stop(SIGTERM);
    }
}

// Room for four message files in the spool directory, then none: the bulk thread stops at the
// fifth line, keeps its place, and goes on once room is back. Every line arrives exactly once.
TEST_F(BulkDaemonTest, FullSpoolStopsABulkFileMidWayAndItGoesOnWhenThereIsRoomAgain) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layoutBulk();
    testsupport::Tmpfs spool(at("spool"),
                             "size=1m,mode=0700,nr_inodes=6");  // root, lock and four files
    REQUIRE_TMPFS(spool);
    // Nothing is delivered in this run, so no file leaves the spool to make room.
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-rest", "3600"}));
    ASSERT_TRUE(waitForLog("Process File [lock] \n"));
    drop("bulk/list", bulkLines(10));
    ASSERT_TRUE(waitForLog("] Failed to write message file: No space left on device\n")) << log();
    const auto [work, linesDone] = bulkStatus();
    EXPECT_EQ(4, linesDone);
    EXPECT_NE(npos, log().find("Bulk File[" + work + ":4] Failed to write message file"));
    EXPECT_EQ(Names{fs::path(work).filename()}, entries("bulk"));

    ASSERT_TRUE(spool.remount("nr_inodes=100"));
    EXPECT_TRUE(waitForLog("[INFO] Processing previous bulk message file [" + work + "]\n"));
    const Names done = {doneName(work)};
    ASSERT_TRUE(pollUntil([&] { return entries("bulk") == done; })) << log();
    EXPECT_EQ(11u, entries("spool").size());  // the lock file and ten messages
    daemon.stop(SIGTERM);
    EXPECT_EQ(0, daemon.status());

    fs::remove(at("temp/.ACFI"));
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-rest", "0"}));
    ASSERT_TRUE(waitForAllDelivered(10)) << log();
    EXPECT_EQ(0, sentTwice(10));
}

// A status file is a path the daemon would read and rename: only its own work names count.
TEST_F(BulkDaemonTest, StatusFileNamingNoUsableBulkFileIsIgnoredAndItsTargetUntouched) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    const std::string outside = tmp.file("outside_1_M");
    writeFile(outside, "TO=7 MSG=secret\n");
    const std::string passwd = readFile("/etc/passwd");
    const struct {
        std::string target;  // relative to the bulk directory, or absolute
        std::string count;
        bool link;  // the target is a link to `outside`
    } cases[] = {{"/etc/passwd", "0", false},
                 {"list_1_M", "0", true},
                 {"list_1_M", "-1", false},
                 {"list_1_M", "100000000000000000000", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + " " + c.count);
        base = tmp.file(std::to_string(&c - cases));
        layoutBulk();
        const std::string target = c.target[0] == '/' ? c.target : at("bulk/" + c.target);
        if (c.link) {
            fs::create_symlink(outside, target);
        } else if (c.target[0] != '/') {
            writeFile(target, "TO=8 MSG=kept\n");
        }
        const std::string status = at("temp/.ACorFi_BulkStatus");
        writeFile(status, target + "\n" + c.count + "\n");
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        EXPECT_TRUE(waitForLog("[ERROR] Bulk status file [" + status +
                               "] names no usable bulk file; ignored\n"))
            << log();
        EXPECT_TRUE(waitForLog("Rest time over, start processing Bulk Message Files"));
        EXPECT_EQ("", readFile(status));
        EXPECT_EQ(c.target[0] == '/' ? Names{} : Names{c.target}, entries("bulk"));
        daemon.stop(SIGTERM);
    }
    EXPECT_EQ("TO=7 MSG=secret\n", readFile(outside));
    EXPECT_EQ(passwd, readFile("/etc/passwd"));
    EXPECT_TRUE(record().empty());
}

}  // namespace
