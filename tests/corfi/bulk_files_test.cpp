#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "CVcorfiBulkStatus.h"
#include "ChildProcess.h"
#include "CorfiTestLog.h"
#include "createMessageFile.h"

namespace {

namespace fs = std::filesystem;

// A message to a recipient by name, as the bulk dispatcher writes it.
CVFImessageFields named(const std::string& message, const std::string& name) {
    CVFImessageFields fields;
    fields.message = message;
    fields.name = name;
    return fields;
}

class MessageFileTest : public testsupport::TempDirTest {
protected:
    void SetUp() override { fs::create_directories(spool); }
    // Every entry of `dir` except the directory's lock file.
    static std::vector<std::string> entries(const std::string& dir) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().filename() != "lock")
                names.push_back(entry.path().filename());
        return names;
    }

    corfitest::CorfiTestLog log{tmp};
    const std::string spool = tmp.file("spool");
};

TEST_F(MessageFileTest, WritesOneCompleteFileInTheSpoolDirectory) {
    const struct {
        CVFImessageFields fields;
        std::string content;
    } cases[] = {
        {named("Hello", "1234"), "NAME:\t1234\nMESSAGE:\tHello\n"},
        {{"m", "n", "p", "r", "g", "c", "j", "t"},
         "RECEIVER:\tr\nGROUP:\tg\nNAME:\tn\nPIN:\tp\nCARRIER:\tc\nJOBID:\tj\nTIME_AT:\tt\n"
         "MESSAGE:\tm\n"},
        {named("", "1234"), "NAME:\t1234\nMESSAGE:\t\n"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(createMessageFile(spool, c.fields));
        const auto names = entries(spool);
        ASSERT_EQ(names.size(), 1u) << "a temporary file was left behind";
        EXPECT_TRUE(std::regex_match(names[0], std::regex("corfi[A-Za-z0-9]{6}"))) << names[0];
        EXPECT_EQ(testsupport::readFile(spool + "/" + names[0]), c.content);
        fs::remove(spool + "/" + names[0]);
    }
}

TEST_F(MessageFileTest, FailedWriteRemovesThePartialFile) {
    const std::string message(4096, 'x');
    const int status = testsupport::runInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{512, 512};  // the write of the message passes the limit
        setrlimit(RLIMIT_FSIZE, &limit);
        int error = 0;
        return createMessageFile(spool, named(message, "1234"), &error) ? 1 : error;
    });
    EXPECT_EQ(status, EFBIG);
    EXPECT_TRUE(entries(spool).empty());
}

using BulkStatusTest = testsupport::TempDirTest;

TEST_F(BulkStatusTest, ReadsTheRecordAndEmptiesAnUnreadableOne) {
    const struct {
        const char* content;  // null: no status file yet
        std::string record;   // name|count|validity of the count
        std::string after;
    } cases[] = {
        {nullptr, "|0|valid", ""},
        {"/b/a_1_M\n", "|0|valid", ""},
        {"/b/a_1_M\nabc\n", "/b/a_1_M|0|invalid", "/b/a_1_M\nabc\n"},
        {"/b/a_1_M\n2147483647\n", "/b/a_1_M|2147483647|valid", "/b/a_1_M\n2147483647\n"},
        {"/b/a_1_M\n2147483648\n", "/b/a_1_M|0|invalid", "/b/a_1_M\n2147483648\n"},
        {"/b/a_1_M\n+3\n", "/b/a_1_M|0|invalid", "/b/a_1_M\n+3\n"},
        {" /b/a_1_M \r\n 7 \nleft-over\n", "/b/a_1_M|7|valid", " /b/a_1_M \r\n 7 \nleft-over\n"},
    };
    const std::string path = tmp.file(CVcorfiBulkStatus::FILE_NAME);
    for (const auto& c : cases) {
        fs::remove(path);
        if (c.content)
            testsupport::writeFile(path, c.content);
        CVcorfiBulkStatus status(tmp.path());
        EXPECT_EQ(status.getFileName() + "|" + std::to_string(status.getLineCount()) +
                      (status.isCountValid() ? "|valid" : "|invalid"),
                  c.record);
        EXPECT_EQ(testsupport::readFile(path), c.after) << c.record;
    }
}

TEST_F(BulkStatusTest, RewritesTheRecordInPlaceAndClearEmptiesIt) {
    const std::string path = tmp.file(CVcorfiBulkStatus::FILE_NAME);
    {
        CVcorfiBulkStatus status(tmp.path());
        EXPECT_TRUE(status.setFileName("/b/a_very_long_name_99_M") && status.setLineCount(12));
        EXPECT_TRUE(status.setFileName("/b/list_100_M") && status.setLineCount(0));
        EXPECT_TRUE(status.incrementLineCount() && status.incrementLineCount());
    }
    CVcorfiBulkStatus reopened(tmp.path());
    EXPECT_EQ(reopened.getFileName() + std::to_string(reopened.getLineCount()), "/b/list_100_M2");
    EXPECT_EQ(testsupport::readFile(path).substr(0, 16), "/b/list_100_M\n2\n");
    reopened.clear();
    EXPECT_EQ(testsupport::readFile(path), "");
    EXPECT_EQ(reopened.getFileName() + std::to_string(reopened.getLineCount()), "0");
}

}  // namespace
