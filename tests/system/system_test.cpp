// The system library: resources from files and the command line, the descriptor helpers, and
// the monitor file and primary-server check built on them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "CVfileDescriptor.h"
#include "CVmonitorFile.h"
#include "CVresource.h"
#include "ChildProcess.h"
#include "TestSupport.h"

using namespace testing::internal;  // CaptureStderr and friends

namespace {

// What `action` wrote to standard error, without the "ident[pid]: " prefixes.
template <class F>
std::string reported(F action) {
    CaptureStderr();
    action();
    return std::regex_replace(GetCapturedStderr(), std::regex(R"(\w+\[\d+\]: )"), "");
}

// A small table of the types the daemon's resources have; "log_file" holds 7 characters at
// most. Not copyable: the entries point into it.
struct Table {
    int32_t rest = -1, bulk = -1;
    char logFile[8] = "", secret[16] = "";
    CVresource entries[4] = {
        {"rest", CV_RES_INT, &rest, 0, "60", CV_RES_REQUIRED, "Time to rest", false},
        {"bulk_enable", CV_RES_BOOL, &bulk, 0, "FALSE", CV_RES_REQUIRED, "Bulk on", false},
        {"log_file", CV_RES_TEXT, logFile, sizeof logFile, nullptr, CV_RES_REQUIRED, "Log", false},
        {"db_password", CV_RES_TEXT, secret, sizeof secret, "pw", CV_RES_HIDDEN, "Secret", false}};
    CVresource* at(const char* name) { return CVresourceFind(entries, 4, name); }
    std::string str(const char* name) { return CVresourceResStr(at(name)); }
};

// Where the walk stopped, what it set and what it reported.
std::string loadArgs(std::vector<const char*> args) {
    Table t;
    int stop = 0;
    const std::string err = reported([&] {
        stop = CVresourceLoadArgs(t.entries, 4, static_cast<int>(args.size()),
                                  const_cast<char**>(args.data()), true);
    });
    return std::to_string(stop) + " rest=" + t.str("rest") + " bulk=" + t.str("bulk_enable") +
           (err.empty() ? "" : " " + err);
}

TEST(ResourceArgs, WalksNamePairsAndBooleanFlags) {
    EXPECT_EQ("4 rest=5 bulk=TRUE", loadArgs({"prog", "-bulk_enable", "-rest", "5"}));
    EXPECT_EQ("5 rest= bulk=", loadArgs({"prog", "foo", "-rest", "5"}));
    EXPECT_EQ("4 rest= bulk=TRUE prog-ERROR CVresourceLoadArgs: Invalid resource name nosuch\n",
              loadArgs({"prog", "-nosuch", "-rest", "-bulk_enable"}));
}

class ResourceFileTest : public testsupport::TempDirTest {
protected:
    // Loads `content` into `t` and returns what was reported.
    std::string load(Table& t, const std::string& content, bool report = true) {
        testsupport::writeFile(path, content);
        return reported(
            [&] { EXPECT_EQ(1, CVresourceLoadResFile(t.entries, 4, path.c_str(), report)); });
    }
    const std::string path = tmp.file("corfi_config");
};

TEST_F(ResourceFileTest, ReadsNameColonValueLinesAndReportsBadOnesByNumber) {
    const std::pair<const char*, const char*> lines[] = {
        {"rest: 30  ", "30"},          {"rest : 30", "0"},
        {"rest: 42abc", "42"},         {"rest:", "0"},
        {"bulk_enable: TRUE", "TRUE"}, {"bulk_enable: true", "FALSE"},
    };
    for (const auto& [line, value] : lines) {
        Table t;
        EXPECT_EQ("", load(t, line)) << line;
        EXPECT_EQ(value, t.str("rest") + t.str("bulk_enable")) << line;  // only one is set
    }
    const std::string content =
        "# log_file: /x\n\nrest: 30\nrest: 99\nno colon here\n : value\n"
        "log_file: averyverylongname\n  bulk_enable: TRUE\nunknown: 5\r\n";
    const std::string file = "Corvane-ERROR CVresourceLoadResFile: " + path;
    const std::string always = file + ": line 8: syntax error\n";
    Table t, quiet;
    EXPECT_EQ(file + ": line 5: syntax error\n" + file + ": line 6: syntax error\n" + always,
              load(t, content));
    EXPECT_EQ("30 averyve ", t.str("rest") + " " + t.str("log_file") + " " + t.str("bulk_enable"));
    EXPECT_EQ(always, load(quiet, content, false));  // the indented line's report
}

TEST(ResourceCheck, RequiredOnesAreNamedWhenMissing) {
    Table t;
    const std::string missing = "Corvane-ERROR CVresourceCheckReqRes: ";
    EXPECT_EQ(missing + "rest is required but not set!\n" + missing +
                  "bulk_enable is required but not set!\n" + missing +
                  "log_file is required but not set!\n",
              reported([&] { EXPECT_EQ(0, CVresourceCheckReqRes(t.entries, 4)); }));
}

using MonitorFileTest = testsupport::TempDirTest;

TEST_F(MonitorFileTest, LocksConflictAcrossProcessesUnlessBothAreShared) {
    const std::string path = tmp.file("data"), held = tmp.file("held"), done = tmp.file("done");
    testsupport::writeFile(path, "data");
    testsupport::ChildProcess child;
    child.fork([&] {
        const int fd = CVfdOpen(path.c_str(), "r");
        if (fd < 0 || CVfdLock(fd, false, false) != 0)
            return 1;
        testsupport::writeFile(held, "");
        return testsupport::pollUntil([&] { return access(done.c_str(), F_OK) == 0; }) ? 0 : 2;
    });
    ASSERT_TRUE(testsupport::pollUntil([&] { return access(held.c_str(), F_OK) == 0; }));
    bool locked = false;
    CVfdReleaseClose(CVfdLockedOpen(path.c_str(), "r", false, &locked));  // shared
    EXPECT_TRUE(locked);
    const int fd = CVfdLockedOpen(path.c_str(), "r+", false, &locked);  // exclusive
    EXPECT_FALSE(locked);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    lseek(fd, 2, SEEK_SET);
    EXPECT_EQ(-1, CVfdLock(fd, true, false));
    EXPECT_EQ(0, lseek(fd, 0, SEEK_CUR));  // locking rewinds
    testsupport::writeFile(done, "");
    EXPECT_EQ(0, CVfdLock(fd, true, true));  // waits out the child
    EXPECT_EQ(0, child.wait());
    EXPECT_EQ(0, CVfdReleaseClose(fd));
    EXPECT_EQ(-1, CVfdLockedOpen(tmp.file("missing").c_str(), "r", true));
}

TEST_F(MonitorFileTest, ReadLineKeepsTheLineFeedAndStopsAtTheBufferSize) {
    testsupport::writeFile(tmp.file("data"), "first\nsecond line\nlast");
    const int fd = CVfdOpen(tmp.file("data").c_str(), "r");
    char buffer[32];
    std::string steps;
    for (size_t size : {32, 5, 32, 32, 32})
        steps += std::to_string(CVfdReadLine(fd, buffer, size)) + "[" + buffer + "]";
    EXPECT_EQ("6[first\n]4[seco]8[nd line\n]4[last]0[]", steps);
    close(fd);
}

int32_t timeAt(const unsigned char* record, size_t offset) {
    int32_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

TEST_F(MonitorFileTest, CreatesOrRewritesTheRecordAndTouchLeavesItAlone) {
    const std::string path = tmp.file(".ACFI"), pid = std::to_string(getpid());
    const char* argument = "corfi -rest 5";
    unsigned char record[CV_MONITOR_RECORD_SIZE] = {};
    const auto pad = [](std::string s, size_t size) { return s.append(size - s.size(), '\0'); };
    for (char old : {'\0', '\xAB'}) {
        if (old)
            testsupport::writeFile(path, std::string(CV_MONITOR_RECORD_SIZE, old));
        const time_t before = time(nullptr);
        ASSERT_TRUE(CVmonitorFileCreate(path.c_str(), "CVD-CORFI", record, "", 1, &argument));
        const std::string bytes = testsupport::readFile(path), kept(4, old);
        ASSERT_EQ(std::string(reinterpret_cast<char*>(record), sizeof record), bytes);
        EXPECT_EQ(kept + bytes.substr(4, 4) + kept + pad("CVD-CORFI", 64) + pad(pid, 32) +
                      pad("corfi -rest 5 ", 2048) + pad("", 256) + bytes.substr(2412),
                  bytes);
        for (size_t offset : {CV_MONITOR_START_OFFSET, CV_MONITOR_UPDATE_OFFSET})
            EXPECT_TRUE(timeAt(record, offset) >= before &&
                        timeAt(record, offset) <= time(nullptr));
    }
    // Touching leaves the record alone; the file's time advancing is checked through the daemon.
    const std::string written = testsupport::readFile(path);
    CVmonitorFileTouch(path.c_str(), record);
    EXPECT_EQ(written, testsupport::readFile(path));
}

// The host's addresses come from its interfaces: no program found on PATH (here one that an
// empty PATH entry would pick from the working directory) is ever run.
TEST_F(MonitorFileTest, PrimaryServerOnlyWhenTheFirstLineNamesALocalAddress) {
    const std::string phs = tmp.file("phs"), ran = tmp.file("ran");
    testsupport::writeFile(tmp.file("netstat"), "#!/bin/sh\ntouch " + ran + "\necho 1\n");
    chmod(tmp.file("netstat").c_str(), 0755);
    const std::string usualPath = getenv("PATH");
    setenv("PATH", (":" + tmp.path() + ":" + usualPath).c_str(), 1);
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(tmp.path().c_str()));

    const auto primaryWith = [&](const std::string& content) {
        testsupport::writeFile(phs, content);
        return CVisPrimaryServer(phs.c_str());
    };
    EXPECT_TRUE(primaryWith("") && primaryWith("  127.0.0.1\r\n") && primaryWith("127.0.0"));
    for (const char* content : {"203.0.113.77\n", "#10.0.0.1\n", "\n127.0.0.1\n", " \t\r\n",
                                "127.000.000.0001", "localhost\n", "127.0.0.1 x", "1;touch x\n"})
        EXPECT_FALSE(primaryWith(content)) << content;

    setenv("PATH", usualPath.c_str(), 1);
    ASSERT_EQ(0, chdir(cwd));
    EXPECT_NE(0, access(ran.c_str(), F_OK)) << "a program from PATH was run";
}

}  // namespace
