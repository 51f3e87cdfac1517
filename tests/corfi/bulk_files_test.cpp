#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "CVcorfiBulkStatus.h"
#include "ChildProcess.h"
#include "CorfiTestLog.h"
#include "createMessageFile.h"

namespace {

namespace fs = std::filesystem;

using MessageFileTest = testsupport::TempDirTest;

TEST_F(MessageFileTest, FailedWriteRemovesThePartialFile) {
    corfitest::CorfiTestLog log(tmp);
    const std::string spool = tmp.file("spool");
    fs::create_directories(spool);
    CVFImessageFields fields;
    fields.message = std::string(4096, 'x');
    fields.name = "1234";
    const int status = testsupport::runInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{512, 512};  // the write of the message passes the limit
        setrlimit(RLIMIT_FSIZE, &limit);
        int error = 0;
        return createMessageFile(spool, fields, &error) ? 1 : error;
    });
    EXPECT_EQ(status, EFBIG);
    for (const auto& entry : fs::directory_iterator(spool))
        EXPECT_EQ("lock", entry.path().filename()) << "a partial file was left behind";
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

}  // namespace
