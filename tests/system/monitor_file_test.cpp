#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>
#include <ctime>
#include <string>

#include "CVmonitorFile.h"
#include "TestSupport.h"

namespace {

int32_t timeAt(const unsigned char* record, size_t offset) {
    int32_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

using MonitorFileTest = testsupport::TempDirTest;

TEST_F(MonitorFileTest, CreatesOrRewritesTheRecordAndTouchAdvancesOnlyTheTimes) {
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
    const std::string written = testsupport::readFile(path);
    struct utimbuf past = {1000000, 1000000};
    ASSERT_EQ(0, utime(path.c_str(), &past));
    std::memset(record + CV_MONITOR_UPDATE_OFFSET, 0, 4);
    const time_t before = time(nullptr);
    CVmonitorFileTouch(path.c_str(), record);
    struct stat info;
    ASSERT_EQ(0, stat(path.c_str(), &info));
    EXPECT_GE(info.st_mtime, before);
    EXPECT_GE(timeAt(record, CV_MONITOR_UPDATE_OFFSET), before);
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

    EXPECT_TRUE(CVisPrimaryServer(phs.c_str()));  // no file
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
