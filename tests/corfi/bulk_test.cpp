// The bulk thread's parts: work names, line-by-line conversion, the status record, message files
// and the expressions (first capture group of the first match, default options). How they work
// together is covered through the daemon (bulk_daemon_test).
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "CVFIbulk.h"
#include "CVcorfiBulkFileDispatcher.h"
#include "CVcorfiBulkStatus.h"
#include "CVcorfiRegex.h"
#include "ChildProcess.h"
#include "CorfiTestLog.h"
#include "createMessageFile.h"

namespace {

namespace fs = std::filesystem;

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
    // As long a work name as the dispatcher makes is read whole; a count too long to keep whole
    // is no count, even when its kept part would parse.
    const std::string longName = "/b/" + std::string(1016, 'a') + "_1_M";
    for (const std::string& count : {std::string("5"), std::string(100, '0') + "5"}) {
        testsupport::writeFile(path, longName + "\n" + count + "\n");
        CVcorfiBulkStatus status(tmp.path());
        EXPECT_EQ(longName, status.getFileName());
        EXPECT_EQ(count.size() == 1, status.isCountValid());
        EXPECT_EQ(count.size() == 1 ? 5 : 0, status.getLineCount());
    }
}

TEST(CorfiRegex, ExtractsTheFirstGroupOfTheFirstMatch) {
    const struct {
        const char* pattern;
        const char* text;
        bool found;
        const char* group;
    } cases[] = {
        // The README's bulk patterns.
        {R"(TO=(\d+))", "TO=4711 MSG=Server room above 30 C", true, "4711"},
        {"MSG=(.*)$", "TO=4711 MSG=Server room above 30 C", true, "Server room above 30 C"},
        {R"(TO=(\d+))", "MSG=no recipient", false, ""},
        // The first of several matches; case matters and bytes above 0x7f are no error without
        // UTF mode.
        {R"((\d))", "a1b2", true, "1"},
        {"to=([0-9]+)", "TO=5", false, ""},
        {"(.+)", "caf\xe9", true, "caf\xe9"},
        // An empty group; a group that took no part, alone or before one that did.
        {"x()y", "axyb", true, ""},
        {"a(b)?", "ac", false, ""},
        {"(a)?(c)", "c", true, ""},
        // No group at all, and patterns that do not compile.
        {R"(\d+)", "123", false, ""},
        {"(unclosed", "unclosed", false, ""},
        {"[z-a](.)", "za", false, ""},
    };
    for (const auto& c : cases) {
        std::string out = "unchanged";
        EXPECT_EQ(c.found, CVcorfiRegex(c.pattern).extractFirstGroup(c.text, out))
            << c.pattern << " on " << c.text;
        if (c.found) {
            EXPECT_EQ(c.group, out) << c.pattern << " on " << c.text;
        }
    }
}

}  // namespace
