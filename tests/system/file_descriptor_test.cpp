#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "CVfileDescriptor.h"
#include "ChildProcess.h"
#include "TestSupport.h"

namespace {

using FileDescriptorTest = testsupport::TempDirTest;

TEST_F(FileDescriptorTest, ModeLettersChooseAccessCreationTruncationAndAppending) {
    const std::string path = tmp.file("data");
    struct Row {
        const char* mode;
        int access;
        bool append, truncates, creates;
    } rows[] = {
        {"r", O_RDONLY, false, false, false}, {"r+", O_RDWR, false, false, false},
        {"w", O_WRONLY, false, true, true},   {"w+", O_RDWR, false, true, true},
        {"a", O_WRONLY, true, false, true},   {"a+", O_RDWR, true, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        testsupport::writeFile(path, "old");
        int fd = CVfdOpen(path.c_str(), row.mode);
        const int flags = fcntl(fd, F_GETFL);
        EXPECT_EQ(row.access, flags & O_ACCMODE);
        EXPECT_EQ(row.append, (flags & O_APPEND) != 0);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(row.truncates ? 0 : 3, lseek(fd, 0, SEEK_END));
        close(fd);
        unlink(path.c_str());
        fd = CVfdOpen(path.c_str(), row.mode);
        EXPECT_EQ(row.creates, fd >= 0);
        close(fd);
    }
    EXPECT_EQ(-1, CVfdOpen(path.c_str(), "x"));
}

TEST_F(FileDescriptorTest, LocksConflictAcrossProcessesUnlessBothAreShared) {
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
    lseek(fd, 2, SEEK_SET);
    EXPECT_EQ(-1, CVfdLock(fd, true, false));
    EXPECT_EQ(0, lseek(fd, 0, SEEK_CUR));  // locking rewinds
    testsupport::writeFile(done, "");
    EXPECT_EQ(0, CVfdLock(fd, true, true));  // waits out the child
    EXPECT_EQ(0, child.wait());
    EXPECT_EQ(0, CVfdReleaseClose(fd));
    EXPECT_EQ(-1, CVfdLockedOpen(tmp.file("missing").c_str(), "r", true));
}

TEST_F(FileDescriptorTest, ReadLineKeepsTheLineFeedAndStopsAtTheBufferSize) {
    testsupport::writeFile(tmp.file("data"), "first\nsecond line\nlast");
    const int fd = CVfdOpen(tmp.file("data").c_str(), "r");
    char buffer[32];
    std::string steps;
    for (size_t size : {32, 5, 32, 32, 32})
        steps += std::to_string(CVfdReadLine(fd, buffer, size)) + "[" + buffer + "]";
    EXPECT_EQ("6[first\n]4[seco]8[nd line\n]4[last]0[]", steps);
    close(fd);
}

}  // namespace
