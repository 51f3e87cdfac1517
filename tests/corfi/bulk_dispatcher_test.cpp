#include "CVcorfiBulkFileDispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "CVFIbulk.h"
#include "CVcorfiBulkStatus.h"
#include "CorfiTestLog.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

TEST(MakeWorkName, MarksUnclaimedNamesAndRefusesMarkedOnes) {
    const char* const cases[][2] = {
        // path, work name (null: refused)
        {"list.txt", "list.txt_1700000000_M"},
        {"/b/list.txt_1700000000_M", nullptr},
        {"/b/list.txt_1700000000_R", nullptr},
        {"/b/list_F3", nullptr},
        {"/b/list_F0", nullptr},
        {"/b/list_F", "/b/list_F_1700000000_M"},
        {"/b/list_Fx", "/b/list_Fx_1700000000_M"},
        {"/b/a_M.txt", "/b/a_M.txt_1700000000_M"},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        std::string workName = "untouched";
        EXPECT_EQ(c[1] != nullptr,
                  CVcorfiBulkFileDispatcher::makeWorkName(c[0], 1700000000, workName))
            << c[0];
        EXPECT_EQ(workName, c[1] ? c[1] : "untouched") << c[0];
    }
}

// Line-by-line conversion and its log lines are covered through the daemon (bulk_daemon_test).
class ProcessFile : public testsupport::TempDirTest {
protected:
    void SetUp() override {
        fs::create_directories(tmp.file("spool"));
        settings.spoolDirectory = tmp.file("spool");
        settings.recipientPattern = "TO=(\\d+)";
        settings.messagePattern = "MSG=(.*)$";
        dispatcher.setArgument(&settings);
        status.setFileName(work);
    }

    corfitest::CorfiTestLog log{tmp};
    CVcorfiBulkSettings settings;
    CVcorfiBulkFileDispatcher dispatcher{"corfidir", log.operator->(), tmp.path()};
    const std::string work = tmp.file("list_5_M");
    CVcorfiBulkStatus status{tmp.path()};

    // The message files in the spool directory, sorted.
    std::vector<std::string> messageFiles() const {
        std::vector<std::string> contents;
        for (const auto& entry : fs::directory_iterator(tmp.file("spool"))) {
            if (entry.path().filename().string().rfind("corfi", 0) == 0) {
                contents.push_back(testsupport::readFile(entry.path().string()));
            }
        }
        std::sort(contents.begin(), contents.end());
        return contents;
    }
};

using Outcome = CVcorfiBulkFileDispatcher::Outcome;

// Lines are taken whole: a NUL byte neither ends the line nor the file, and a line over the
// limit is skipped rather than cut into pieces that read as messages of their own.
TEST_F(ProcessFile, ReadsEveryLineWholeAndSkipsOverlongOnes) {
    const size_t limit = CVcorfiBulkFileDispatcher::MAX_LINE_LENGTH;
    const std::string longest = "TO=4 MSG=" + std::string(limit - 9, 'y');
    const std::string overlong = "TO=9 MSG=" + std::string(limit, 'z') + " TO=99 MSG=x";
    testsupport::writeFile(work, std::string("TO=1 MSG=a\0b\n\0TO=2 MSG=c\n", 25) + overlong +
                                     "\n" + longest + "\nTO=5 MSG=e");
    EXPECT_EQ(dispatcher.processFile(work, status), Outcome::DONE);

    EXPECT_EQ(messageFiles(),
              (std::vector<std::string>{
                  std::string("NAME:\t1\nMESSAGE:\ta\0b\n", 21), "NAME:\t2\nMESSAGE:\tc\n",
                  "NAME:\t4\nMESSAGE:\t" + longest.substr(9) + "\n", "NAME:\t5\nMESSAGE:\te\n"}));
    const std::string logged = log.take();
    for (const char* what : {"Recipient", "Message"}) {
        EXPECT_NE(logged.find("[ERROR] Bulk File[" + work + ":3] Failed to Extract " + what),
                  std::string::npos)
            << what;
    }
    EXPECT_TRUE(fs::exists(tmp.file("list_5_R")));
}

TEST_F(ProcessFile, GivesAnUnreadableFileItsFailureNameAndKeepsTheRecord) {
    fs::create_directories(work);  // opens, but every read fails
    dispatcher.processFile(work, status);

    EXPECT_TRUE(fs::is_directory(tmp.file("list_5_F0")));
    EXPECT_NE(log.take().find("[ERROR] Error occurred Processing Bulk File[" + work + ":0]"),
              std::string::npos);
    EXPECT_EQ(status.getFileName(), work);
}

}  // namespace
