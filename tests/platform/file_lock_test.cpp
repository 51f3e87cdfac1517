#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

#include "CVioException.h"
#include "CVioFile.h"
#include "TestSupport.h"

namespace {

class FileLockTest : public testsupport::TempDirTest {
  protected:
    void SetUp() override { testsupport::writeFile(path, "data"); }
    const std::string path = tmp.file("locked");
};

// True when some process is blocked waiting for a lock on `path`.
bool hasBlockedWaiter(const std::string& path) {
    struct stat info;
    stat(path.c_str(), &info);
    std::istringstream locks(testsupport::readFile("/proc/locks"));
    std::string inode = ":" + std::to_string(info.st_ino) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) {
            return true;
        }
    }
    return false;
}

char readByte(int fd) {
    char byte = 0;
    return read(fd, &byte, 1) == 1 ? byte : 0;
}

TEST_F(FileLockTest, WaitingLockReturnsWhenTheHoldingChildUnlocks) {
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 2;
        try {
            CVioFile file(path);
            file.open("r+");
            file.lock('w', false);
            (void)!write(ready[1], "L", 1);
            readByte(go[0]);
            // Unlock only once the parent is seen blocked, so the wait is really exercised.
            status = testsupport::pollUntil([&] { return hasBlockedWaiter(path); }) ? 0 : 1;
            file.unlock();
            readByte(go[0]);  // unlock, not exit, must be what frees the parent
        } catch (...) {
        }
        _exit(status);
    }
    close(ready[1]);  // a child that dies early then ends our reads instead of hanging them
    close(go[0]);
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(readByte(ready[0]), 'L');
    CVioFile file(path);
    file.open("r+");
    try {
        file.lock('w', false);
        ADD_FAILURE() << "lock granted while the child holds it";
    } catch (const CVioException& e) {
        EXPECT_EQ(e.getMessage(), "File Lock Failed");
        EXPECT_EQ(e.getSysMessage(), "Resource temporarily unavailable");
    }
    EXPECT_EQ(write(go[1], "G", 1), 1);
    file.lock('w', true);
    file.unlock();
    EXPECT_EQ(write(go[1], "X", 1), 1);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(ready[0]);
    close(go[1]);
}

TEST_F(FileLockTest, ClosingAnotherDescriptorOfTheFileKeepsTheLock) {
    CVioFile holder(path);
    holder.open("r+");
    holder.lock('r', false);
    {
        CVioFile reader(path);
        reader.open("r");
    }
    close(open(path.c_str(), O_RDONLY));
    int status = testsupport::runInChild([&] {
        CVioFile file(path);
        file.open("r+");
        try {
            file.lock('w', false);
        } catch (const CVioException& e) {
            return e.getMessage() == "File Lock Failed" ? 0 : 2;
        }
        return 1;
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
