// The spool directory's lock file: whatever another user leaves under the name "lock", the
// daemon ends up holding a lock on its own regular file and never touches what a link points to.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "CVFIspool.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;

class SpoolTest : public testsupport::TempDirTest {
protected:
    void SetUp() override {
        fs::create_directories(spool);
        dir = CVFIopenSpoolDirectory(spool);
        ASSERT_TRUE(dir.valid());
    }
    const std::string spool = tmp.file("spool");
    const std::string lockPath = spool + "/lock";
    const std::string outside = tmp.file("outside");
    CVioDescriptor dir;
};

TEST_F(SpoolTest, LockFileIsOurOwnRegularFileWhateverStoodThere) {
    const struct {
        const char* what;
        std::function<void()> plant;
        bool hadTarget = false;  // `outside` exists, with "keep"
    } cases[] = {
        {"nothing", [] {}},
        {"a symbolic link to a missing file", [&] { fs::create_symlink(outside, lockPath); }},
        {"a symbolic link to a file", [&] { fs::create_symlink(outside, lockPath); }, true},
        {"a hard link", [&] { fs::create_hard_link(outside, lockPath); }, true},
        {"a FIFO", [&] { mkfifo(lockPath.c_str(), 0666); }},
        {"another user's file",
         [&] {
             writeFile(lockPath, "theirs");
             ASSERT_EQ(0, chown(lockPath.c_str(), 65534, 65534));
         }},
    };
    for (const auto& c : cases) {
        fs::remove(lockPath);
        fs::remove(outside);
        if (c.hadTarget) {
            writeFile(outside, "keep");
        }
        c.plant();
        CVioDescriptor lock;
        ASSERT_EQ(CVFIlockResult::LOCKED, CVFIlockSpoolDirectory(dir.get(), 0, lock)) << c.what;
        struct stat info {};
        ASSERT_EQ(0, lstat(lockPath.c_str(), &info)) << c.what;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << c.what;
        EXPECT_EQ(1u, info.st_nlink) << c.what;
        EXPECT_EQ(geteuid(), info.st_uid) << c.what;
        if (std::string(c.what) != "another user's file" && std::string(c.what) != "nothing") {
            EXPECT_EQ(0600u, info.st_mode & 07777) << c.what;
            EXPECT_EQ("locker", readFile(lockPath)) << c.what;
        }
        EXPECT_EQ(c.hadTarget, fs::exists(outside)) << c.what;
        if (c.hadTarget) {
            EXPECT_EQ("keep", readFile(outside)) << c.what;
        }
    }
}

TEST_F(SpoolTest, ALockHeldElsewhereIsBusyAndAnUnusableNameFails) {
    CVioDescriptor first, second;
    ASSERT_EQ(CVFIlockResult::LOCKED, CVFIlockSpoolDirectory(dir.get(), 0, first));
    EXPECT_EQ(CVFIlockResult::BUSY, CVFIlockSpoolDirectory(dir.get(), 50, second));
    first.reset();
    EXPECT_EQ(CVFIlockResult::LOCKED, CVFIlockSpoolDirectory(dir.get(), 50, second));
    second.reset();

    fs::remove(lockPath);
    fs::create_directory(lockPath);  // cannot be removed as a file
    EXPECT_EQ(CVFIlockResult::FAILED, CVFIlockSpoolDirectory(dir.get(), 0, first));
}

}  // namespace
