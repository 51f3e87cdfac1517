#include "CVcorfiBulkFileDispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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
};

TEST_F(ProcessFile, ResumesAfterTheRecordedLineCount) {
    testsupport::writeFile(work, "TO=1 MSG=a\nTO=2 MSG=b\nTO=3 MSG=c\nTO=4 MSG=d\nTO=5 MSG=e\n");
    status.setLineCount(3);
    dispatcher.processFile(work, status);

    std::vector<std::string> contents;
    for (const auto& entry : fs::directory_iterator(tmp.file("spool"))) {
        if (entry.path().filename().string().rfind("corfi", 0) == 0) {
            contents.push_back(testsupport::readFile(entry.path().string()));
        }
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents,
              (std::vector<std::string>{"NAME:\t4\nMESSAGE:\td\n", "NAME:\t5\nMESSAGE:\te\n"}));
    EXPECT_TRUE(fs::exists(tmp.file("list_5_R")));
    EXPECT_EQ(testsupport::readFile(status.getStatusPath()), "");
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
