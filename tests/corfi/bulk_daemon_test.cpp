// Bulk files through the real daemon: claimed, turned into messages line by line, delivered to
// the stand-in server, and resumed after an interruption.
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "DaemonHarness.h"

namespace {

namespace fs = std::filesystem;
using corfitest::DaemonTest;
using testsupport::pollUntil;
using testsupport::readFile;
using testsupport::writeFile;
using Names = std::vector<std::string>;
using std::chrono::milliseconds;
using std::chrono::seconds;
constexpr auto npos = std::string::npos;

// The value of `key` in a recorded request body (every test text is URL-safe).
std::string param(const std::string& body, const std::string& key) {
    const size_t from = body.find("&" + key + "=") + key.size() + 2;
    return body.substr(from, body.find('&', from) - from);
}

class BulkDaemonTest : public DaemonTest {
protected:
    // `extra` comes first, so its values win.
    void layoutBulk(const std::string& extra = "") {
        fs::create_directories(at("bulk"));
        layout(extra + "bulk_enable: TRUE\nbulk_dir: " + at("bulk") +
               "\nbulk_recipient_pattern: TO=(\\d+)\nbulk_message_pattern: MSG=(.*)$\n"
               "bulk_check_period: 1\nrest: 0\n");
    }
    // Written beside the bulk directory and moved in, so it is never claimed half-written.
    void dropBulk(const std::string& name, const std::string& content) const {
        writeFile(tmp.file("bulk.part"), content);
        fs::rename(tmp.file("bulk.part"), at("bulk/" + name));
    }
    Names bulkEntries() const {
        Names names;
        for (const auto& entry : fs::directory_iterator(at("bulk"))) {
            names.push_back(entry.path().filename());
        }
        return names;
    }
    bool bulkFileDone() const {
        const Names names = bulkEntries();
        return names.size() == 1 && names[0].size() > 2 &&
               names[0].substr(names[0].size() - 2) == "_R";
    }
    // The bulk status file's record: the work name and the number of lines done.
    std::pair<std::string, int> bulkStatus() const {
        std::istringstream lines(readFile(at("temp/.ACorFi_BulkStatus")));
        std::string name, count;
        std::getline(lines, name);
        std::getline(lines, count);
        return {name, std::atoi(count.c_str())};
    }
    // "TO=<i> MSG=<i><suffix>" for i from 1 to `count`.
    static std::string bulkLines(int count, const std::string& suffix) {
        std::string content;
        for (int i = 1; i <= count; ++i) {
            content += "TO=" + std::to_string(i) + " MSG=" + std::to_string(i) + suffix + "\n";
        }
        return content;
    }
    // Messages received per recipient; each must carry its whole text.
    std::map<int, int> receivedFrom(const std::string& suffix) const {
        std::map<int, int> sent;
        for (const std::string& body : record()) {
            ++sent[std::atoi(param(body, "name").c_str())];
            EXPECT_EQ(param(body, "name") + suffix, param(body, "message"));
        }
        return sent;
    }
    // Until the bulk file is done and its message files are delivered; a FAILED line ends it.
    bool waitForAllDelivered(size_t messages) const {
        const auto delivered = [&] {
            const Names spool = spoolEntries();
            return bulkFileDone() && record().size() >= messages &&
                   std::none_of(spool.begin(), spool.end(), [](const std::string& name) {
                       return strncasecmp(name.c_str(), "corfi", 5) == 0;
                   });
        };
        pollUntil([&] { return delivered() || log().find("FAILED") != npos; }, seconds(50),
                  milliseconds(100));
        return delivered();
    }
};

TEST_F(BulkDaemonTest, EachLineBecomesOneMessageAndTheFileEndsUnderItsDoneName) {
    startStub();
    layoutBulk();
    dropBulk("list.txt", "TO=1001 MSG=Hello world\n\nnothing here\nTO=1002\nTO=1003 MSG=Bye\n");
    startDaemon();
    ASSERT_TRUE(waitForAllDelivered(2)) << log();
    const std::string done = bulkEntries()[0];
    const std::string work = at("bulk/" + done.substr(0, done.size() - 1) + "M");
    EXPECT_EQ(at("bulk/list.txt_"), work.substr(0, work.rfind('_', work.size() - 3) + 1));

    for (const std::string& line :
         Names{"[ERROR] Bulk File[" + work + ":2] Failed to Extract Recipient\n",
               "[ERROR] Bulk File[" + work + ":2] Failed to Extract Message\n",
               "[ERROR] Error Creating message File for RCV(), MSG()\n",
               "[ERROR] Bulk File[" + work + ":3] Failed to Extract Message\n",
               "[ERROR] Bulk File[" + work + ":4] Failed to Extract Message\n",
               "[ERROR] Error Creating message File for RCV(1002), MSG()\n",
               "[INFO] Create CorFi Node for RCV(1003), MSG(Bye)\n"}) {
        EXPECT_TRUE(waitForLog(line)) << line << log();
    }
    Names sent = record();
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(Names({"cmd=Cli&name=1001&priority=3&modid=cli&message=Hello%20world",
                     "cmd=Cli&name=1003&priority=3&modid=cli&message=Bye"}),
              sent);
    EXPECT_EQ("", readFile(at("temp/.ACorFi_BulkStatus")));

    // Two more polls of the bulk directory claim nothing.
    const int rests = countInLog("Rest time over, start processing Bulk Message Files");
    ASSERT_TRUE(waitForLog("Rest time over, start processing Bulk Message Files", rests + 2));
    EXPECT_EQ(1, countInLog("Process Bulk File ["));
    EXPECT_TRUE(bulkFileDone());
    EXPECT_EQ(2u, record().size());
}

TEST_F(BulkDaemonTest, UnusableSettingsStartNoBulkThread) {
    const std::string top = base;
    const std::string missing = top + "/nowhere";
    const std::pair<std::string, std::string> cases[] = {
        {"bulk_enable: FALSE\n", "[INFO] Bulk Processing is disabled\n"},
        {"bulk_dir: " + missing + "\n",
         "[ERROR] Bulk processing dir [" + missing + "] is not accessible\n"},
        {"bulk_message_pattern:\n", "[ERROR] Bulk Message Pattern Not Set\n"},
        {"bulk_recipient_pattern:\n", "[ERROR] Bulk Recipient Pattern Not Set\n"},
    };
    for (const auto& [settings, expected] : cases) {
        base = top + "/" + std::to_string(&settings - &cases[0].first);
        layoutBulk(settings);  // the first value given wins
        startDaemon();
        EXPECT_TRUE(waitForLog(expected)) << settings << log();
        EXPECT_TRUE(waitForLog("Process File [lock] \n"));  // the dispatch loop runs
        EXPECT_EQ(0, countInLog("Creating Bulk File Pooling Machine")) << settings;
        daemon.stop(SIGTERM);
    }
}

class InterruptedBulkFile : public BulkDaemonTest, public ::testing::WithParamInterface<int> {};

// After SIGKILL the line being written may be written again at the restart. The first run then
// rests for an hour, so that no delivery is in flight when the kill comes (a message posted but
// not yet removed would be sent twice, whatever the bulk thread does).
TEST_P(InterruptedBulkFile, ResumesAfterARestartWithoutLosingALine) {
    constexpr int lines = 10000;
    const bool killed = GetParam() == SIGKILL;
    startStub();
    layoutBulk();
    if (killed) {
        startDaemon({"-rest", "3600"});
        ASSERT_TRUE(waitForLog("Process File [lock] \n"));
    } else {
        logLevel("info");
        startDaemon();
    }
    dropBulk("big", bulkLines(lines, ""));
    ASSERT_TRUE(pollUntil([&] { return bulkStatus().second >= 100; }, seconds(50)));
    kill(daemon.pid(), GetParam());
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(killed ? 128 + SIGKILL : 0, daemon.status());
    const auto [work, linesDone] = bulkStatus();
    ASSERT_LT(linesDone, lines) << "the file was finished before the signal";
    EXPECT_TRUE(fs::exists(work)) << work;

    fs::remove(at("temp/.ACFI"));  // so that it names the new daemon only
    logLevel("info");
    startDaemon({"-rest", "0"});
    EXPECT_TRUE(waitForLog("[INFO] Processing previous bulk message file [" + work + "]\n"));
    ASSERT_TRUE(waitForAllDelivered(lines)) << record().size();
    EXPECT_EQ(Names{work.substr(work.rfind('/') + 1, work.size() - work.rfind('/') - 2) + "R"},
              bulkEntries());

    std::map<int, int> sent = receivedFrom("");
    EXPECT_EQ(static_cast<size_t>(lines), sent.size());  // no recipient of its own making
    int twice = 0;
    for (int i = 1; i <= lines; ++i) {
        ASSERT_GE(sent[i], 1) << "line " << i << " was lost";
        twice += sent[i] - 1;
    }
    EXPECT_LE(twice, killed ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedBulkFile, ::testing::Values(SIGTERM, SIGKILL),
                         [](const auto& info) {
                             return std::string(info.param == SIGKILL ? "Sigkill" : "Sigterm");
                         });

TEST_F(BulkDaemonTest, TheDispatchCycleNeverReadsAMessageFileHalfWritten) {
    constexpr int lines = 3000;
    const std::string filler(200, 'x');
    startStub();
    layoutBulk();
    logLevel("info");
    startDaemon();
    dropBulk("many", bulkLines(lines, filler));
    const bool delivered = waitForAllDelivered(lines);
    const std::string text = log();
    EXPECT_EQ(npos, text.find("Empty MESSAGE field"));
    EXPECT_EQ(npos, text.find("FAILED"));
    ASSERT_TRUE(delivered) << record().size();
    const std::map<int, int> sent = receivedFrom(filler);
    EXPECT_EQ(static_cast<size_t>(lines), sent.size());
}

}  // namespace
