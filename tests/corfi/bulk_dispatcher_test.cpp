#include "CVcorfiBulkFileDispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "CVFIbulk.h"
#include "CVFIresources.h"
#include "CVcorfiBulkStatus.h"
#include "CorfiTestLog.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

TEST(MakeWorkName, MarksUnclaimedNamesAndRefusesMarkedOnes) {
    const struct {
        const char* path;
        const char* expected;  // null: refused
    } cases[] = {
        {"list.txt", "list.txt_1700000000_M"},
        {"/b/list.txt_1700000000_M", nullptr},
        {"/b/list.txt_1700000000_R", nullptr},
        {"/b/list_F3", nullptr},
        {"/b/list_F0", nullptr},
        {"/b/list_F", "/b/list_F_1700000000_M"},
        {"/b/list_Fx", "/b/list_Fx_1700000000_M"},
        {"/b/a_M.txt", "/b/a_M.txt_1700000000_M"},
        {"/b/plain", "/b/plain_1700000000_M"},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        std::string workName = "untouched";
        const bool made = CVcorfiBulkFileDispatcher::makeWorkName(c.path, 1700000000, workName);
        EXPECT_EQ(made, c.expected != nullptr) << c.path;
        EXPECT_EQ(workName, c.expected ? c.expected : "untouched") << c.path;
    }
}

class ProcessFile : public testsupport::TempDirTest {
protected:
    void SetUp() override {
        CVFIresetResources();
        fs::create_directories(tmp.file("spool"));
        fs::create_directories(tmp.file("temp"));
        std::snprintf(g_corfiValues.spoolDir, sizeof g_corfiValues.spoolDir, "%s",
                      tmp.file("spool").c_str());
        settings.recipientPattern = "TO=(\\d+)";
        settings.messagePattern = "MSG=(.*)$";
        dispatcher.setArgument(&settings);
    }

    // Contents of the message files in the spool directory, sorted.
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

    corfitest::CorfiTestLog log{tmp};
    CVcorfiBulkSettings settings;
    CVcorfiBulkFileDispatcher dispatcher{"corfidir", log.operator->(), tmp.file("temp")};
};

TEST_F(ProcessFile, WritesOneMessageFilePerLineAndLogsLinesThatYieldNothing) {
    const std::string work = tmp.file("list.txt_1700000000_M");
    testsupport::writeFile(work, "TO=1234 MSG=Hello\n\n  no match here \nTO=42 MSG=Bye all\n");
    CVcorfiBulkStatus status(tmp.file("temp"));
    status.setFileName(work);
    status.setLineCount(0);

    dispatcher.processFile(work, status);

    EXPECT_EQ(messageFiles(), (std::vector<std::string>{"NAME:\t1234\nMESSAGE:\tHello\n",
                                                        "NAME:\t42\nMESSAGE:\tBye all\n"}));
    const std::string logged = log.take();
    for (int line : {2, 3}) {
        const std::string at = "Bulk File[" + work + ":" + std::to_string(line) + "] ";
        EXPECT_NE(logged.find("[ERROR] " + at + "Failed to Extract Recipient"), std::string::npos);
        EXPECT_NE(logged.find("[ERROR] " + at + "Failed to Extract Message"), std::string::npos);
    }
    const std::string failed = "[ERROR] Error Creating message File for RCV(), MSG()";
    EXPECT_NE(logged.find(failed), logged.rfind(failed));
    EXPECT_NE(logged.find("[INFO] Create CorFi Node for RCV(42), MSG(Bye all)"), std::string::npos);
    EXPECT_FALSE(fs::exists(work));
    EXPECT_TRUE(fs::exists(tmp.file("list.txt_1700000000_R")));
    EXPECT_EQ(status.getFileName(), "");
    EXPECT_EQ(status.getLineCount(), 0);
    EXPECT_EQ(testsupport::readFile(status.getStatusPath()), "");
}

TEST_F(ProcessFile, ResumesAfterTheRecordedLineCount) {
    const std::string work = tmp.file("list_5_M");
    testsupport::writeFile(work, "TO=1 MSG=a\nTO=2 MSG=b\nTO=3 MSG=c\nTO=4 MSG=d\nTO=5 MSG=e\n");
    CVcorfiBulkStatus status(tmp.file("temp"));
    status.setFileName(work);
    status.setLineCount(3);

    dispatcher.processFile(work, status);

    EXPECT_EQ(messageFiles(),
              (std::vector<std::string>{"NAME:\t4\nMESSAGE:\td\n", "NAME:\t5\nMESSAGE:\te\n"}));
    EXPECT_TRUE(fs::exists(tmp.file("list_5_R")));
}

TEST_F(ProcessFile, GivesAnUnreadableFileItsFailureNameAndKeepsTheRecord) {
    const std::string work = tmp.file("odd_7_M");
    fs::create_directories(work);  // opens, but every read fails
    CVcorfiBulkStatus status(tmp.file("temp"));
    status.setFileName(work);

    dispatcher.processFile(work, status);

    EXPECT_TRUE(fs::is_directory(tmp.file("odd_7_F0")));
    EXPECT_NE(log.take().find("[ERROR] Error occurred Processing Bulk File[" + work + ":0]"),
              std::string::npos);
    EXPECT_EQ(status.getFileName(), work);
}

}  // namespace
