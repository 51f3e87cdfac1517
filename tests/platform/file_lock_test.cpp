#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "CVioException.h"
#include "CVioFile.h"
#include "ChildProcess.h"
#include "TestSupport.h"

using testsupport::pollUntil;
using testsupport::thrown;

namespace {

class FileLockTest : public testsupport::TempDirTest {
protected:
    void SetUp() override { testsupport::writeFile(path, "data"); }
    // Parent and child tell each other their steps through marker files.
    void mark(const char* step) { testsupport::writeFile(tmp.file(step), ""); }
    bool seen(const char* step) {
        return pollUntil([&] { return CVioFile::exists(tmp.file(step)); });
    }
    const std::string path = tmp.file("shared");
};

// True when some process is blocked waiting for a lock on `path`.
bool hasBlockedWaiter(const std::string& path) {
    struct stat info;
    stat(path.c_str(), &info);
    std::istringstream locks(testsupport::readFile("/proc/locks"));
    const std::string inode = ":" + std::to_string(info.st_ino) + " ";
    for (std::string line; std::getline(locks, line);)
        if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos)
            return true;
    return false;
}

TEST_F(FileLockTest, ChildsLockFailsANonWaitingLockAndHoldsAWaitingOneUntilUnlocked) {
    testsupport::ChildProcess child;
    child.fork([&] {
        CVioFile file(path);
        file.open("r+");
        file.lock('w', false);
        mark("locked");
        // Unlock only once the parent is seen blocked, so the wait is really exercised.
        bool blocked = seen("waiting") && pollUntil([&] { return hasBlockedWaiter(path); });
        file.unlock();
        seen("done");  // unlock, not exit, must be what frees the parent
        return blocked ? 0 : 1;
    });
    ASSERT_TRUE(seen("locked"));
    CVioFile file(path);
    file.open("r+");
    auto tryLock = [&] { file.lock('w', false); };
    EXPECT_EQ("File Lock Failed", thrown<CVioException>(tryLock, &CVioException::getMessage));
    EXPECT_EQ("Resource temporarily unavailable",
              thrown<CVioException>(tryLock, &CVioException::getSysMessage));
    mark("waiting");
    file.lock('w', true);
    file.unlock();
    mark("done");
    EXPECT_EQ(0, child.wait());
}

TEST_F(FileLockTest, ClosingAnotherDescriptorOfTheFileKeepsTheLock) {
    CVioFile holder(path);
    holder.open("r+");
    holder.lock('r', false);
    CVioFile(path).open("r");  // and closed again at once
    close(open(path.c_str(), O_RDONLY));
    const int lockFailed = testsupport::runInChild([&] {
        CVioFile file(path);
        file.open("r+");
        auto tryLock = [&] { file.lock('w', false); };
        return thrown<CVioException>(tryLock, &CVioException::getMessage) == "File Lock Failed";
    });
    EXPECT_EQ(1, lockFailed);
}

}  // namespace
