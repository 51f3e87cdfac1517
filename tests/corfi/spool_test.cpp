// The spool directory's lock file and message-file checks, on real files in a temporary
// directory: whatever another user leaves under the name "lock", the daemon ends up holding a
// lock on its own regular file and never touches what a link points to.
#include <fcntl.h>
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
    struct stat statOf(const std::string& path) const {
        struct stat info {};
        lstat(path.c_str(), &info);
        return info;
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
    } cases[] = {
        {"nothing", [] {}},
        {"a symbolic link to a missing file", [&] { fs::create_symlink(outside, lockPath); }},
        {"a symbolic link to a file",
         [&] {
             writeFile(outside, "keep");
             fs::create_symlink(outside, lockPath);
         }},
        {"a hard link",
         [&] {
             writeFile(outside, "keep");
             fs::create_hard_link(outside, lockPath);
         }},
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
        c.plant();
        const bool hadTarget = fs::exists(outside);
        CVioDescriptor lock;
        ASSERT_EQ(CVFIlockResult::LOCKED, CVFIlockSpoolDirectory(dir.get(), 0, lock)) << c.what;
        const struct stat info = statOf(lockPath);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << c.what;
        EXPECT_EQ(1u, info.st_nlink) << c.what;
        EXPECT_EQ(geteuid(), info.st_uid) << c.what;
        if (std::string(c.what) != "another user's file" && std::string(c.what) != "nothing") {
            EXPECT_EQ(0600u, info.st_mode & 07777) << c.what;
            EXPECT_EQ("locker", readFile(lockPath)) << c.what;
        }
        EXPECT_EQ(hadTarget, fs::exists(outside)) << c.what;
        if (hadTarget) {
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

TEST_F(SpoolTest, OnlySmallSingleLinkedRegularFilesAreOpened) {
    CVioDescriptor lock;
    ASSERT_EQ(CVFIlockResult::LOCKED, CVFIlockSpoolDirectory(dir.get(), 0, lock));
    struct stat lockInfo {};
    fstat(lock.get(), &lockInfo);
    writeFile(spool + "/corfi_ok", "RECEIVER: a\nMESSAGE: b\n");
    writeFile(outside, "RECEIVER: secret\nMESSAGE: secret\n");
    fs::create_symlink(outside, spool + "/corfi_link");
    fs::create_hard_link(spool + "/corfi_ok", spool + "/corfi_twice");
    mkfifo((spool + "/corfi_fifo").c_str(), 0666);
    writeFile(spool + "/corfi_big", "");
    fs::resize_file(spool + "/corfi_big", CVFI_MAX_MESSAGE_FILE + 1);
    const struct {
        const char* name;
        CVFIentryVerdict verdict;
        const char* text;
    } cases[] = {
        {"corfi_link", CVFIentryVerdict::NOT_REGULAR, "not a regular file"},
        {"corfi_fifo", CVFIentryVerdict::NOT_REGULAR, "not a regular file"},
        {"corfi_twice", CVFIentryVerdict::LINKS, "2 links"},
        {"corfi_big", CVFIentryVerdict::TOO_LARGE, "larger than 1048576 bytes"},
        {"corfi_gone", CVFIentryVerdict::CANNOT_OPEN, ""},
    };
    for (const auto& c : cases) {
        // Unopened (status unknown) and pre-judged by the walk's own status alike.
        struct stat seen {};
        const bool known = fstatat(dir.get(), c.name, &seen, AT_SYMLINK_NOFOLLOW) == 0;
        const struct stat* const walkStatuses[] = {nullptr, known ? &seen : nullptr};
        for (const struct stat* walkStatus : walkStatuses) {
            const CVFIspoolEntry entry =
                CVFIopenSpoolEntry(dir.get(), c.name, walkStatus, lockInfo);
            EXPECT_EQ(c.verdict, entry.verdict) << c.name;
            EXPECT_FALSE(entry.fd.valid()) << c.name;
            const std::string text = CVFIrefusalText(entry, c.name);
            EXPECT_EQ(*c.text ? "Refused spool entry [" + std::string(c.name) + "]: " + c.text : "",
                      text);
        }
    }
    fs::remove(spool + "/corfi_twice");
    const CVFIspoolEntry ok = CVFIopenSpoolEntry(dir.get(), "corfi_ok", nullptr, lockInfo);
    EXPECT_EQ(CVFIentryVerdict::ACCEPTED, ok.verdict);
    EXPECT_TRUE(ok.fd.valid() && CVFIlockSpoolEntry(ok.fd.get()));
    EXPECT_EQ("RECEIVER: secret\nMESSAGE: secret\n", readFile(outside));
}

TEST_F(SpoolTest, RemovalOnlyWhileTheNameStillNamesTheFileRead) {
    const std::string name = spool + "/corfi_alert";
    writeFile(name, "first");
    const struct stat first = statOf(name);
    writeFile(tmp.file("second"), "second");
    fs::rename(tmp.file("second"), name);
    EXPECT_FALSE(CVFIremoveSpoolEntry(dir.get(), "corfi_alert", first));
    EXPECT_EQ("second", readFile(name));
    EXPECT_TRUE(CVFIremoveSpoolEntry(dir.get(), "corfi_alert", statOf(name)));
    EXPECT_FALSE(fs::exists(name));
}

}  // namespace
