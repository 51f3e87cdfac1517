#include "CVioDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>

#include "CVioException.h"
#include "TestSupport.h"

namespace {

class DirectoryTest : public testsupport::TempDirTest {
  protected:
    std::vector<std::string> list(const char* pattern, int maxCount, time_t notAfter) {
        std::vector<std::unique_ptr<CVioFile>> files;
        CVioDirectory(tmp.path()).listFiles(files, pattern, maxCount, notAfter);
        std::vector<std::string> names;
        for (const auto& file : files) {
            EXPECT_EQ(file->getPath(), tmp.file(CVioFile::baseName(file->getPath())));
            names.push_back(CVioFile::baseName(file->getPath()));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST(PathTextTest, PatternsAndPathsFollowTheWildcardAndJoinRules) {
    const struct {
        const char* name;
        const char* pattern;
        bool match;
    } patterns[] = {
        {"report.txt", "*.txt", true},
        {"report.txt", "rep", true},
        {"a.txt.old", "*.txt", true},
        {"a", "a*bc", true},
        {"abc", "*x*", false},
        {"", "*", false},
        {"abc", "", false},
        {nullptr, "*", false},
        {"xcorfi", "corfi*", false},
    };
    for (const auto& p : patterns) {
        EXPECT_EQ(CVioFile::matchPattern(p.name, p.pattern), p.match)
            << (p.name ? p.name : "(null)") << " ~ " << p.pattern;
    }
    EXPECT_EQ(CVioFile::joinPath("dir/", "x"), "dir/x");
    EXPECT_EQ(CVioFile::joinPath("dir", "x"), "dir/x");
    EXPECT_EQ(CVioFile::joinPath("", "x"), "x");
    EXPECT_EQ(CVioFile::baseName("a\\b"), "b");
    EXPECT_EQ(CVioFile::baseName("x\\y/z"), "z");
}

TEST_F(DirectoryTest, ListingHonoursPatternCountAndTimeAndSkipsDirectoriesAndLock) {
    for (const char* name : {"a.txt", "b.txt", "c.log", "lock", "old.txt"}) {
        testsupport::writeFile(tmp.file(name), "x");
    }
    mkdir(tmp.file("sub.txt").c_str(), 0755);
    struct utimbuf old = {1000, 1000};
    utime(tmp.file("old.txt").c_str(), &old);

    EXPECT_EQ(list("*.txt", 0, 0), (std::vector<std::string>{"a.txt", "b.txt", "old.txt"}));
    EXPECT_EQ(list("*", 0, 0).size(), 4u);
    EXPECT_EQ(list("*", 1, 0).size(), 1u);
    EXPECT_EQ(list("*", 0, 1000), std::vector<std::string>{"old.txt"});
}

TEST_F(DirectoryTest, ListingAMissingDirectoryRaises) {
    std::vector<std::unique_ptr<CVioFile>> files;
    try {
        CVioDirectory(tmp.file("missing")).listFiles(files, "*", 0, 0);
        FAIL() << "no exception";
    } catch (const CVioException& e) {
        EXPECT_EQ(e.toString(), "Exception raised! IO path[" + tmp.file("missing") +
                                    "] File[../src/CVioDirectory] Line[245] Msg[Read Directory "
                                    "Failed] SysMsg[No such file or directory]");
    }
}

TEST_F(DirectoryTest, ExclusiveLockCreatesAFourByteLockFileForEveryone) {
    mode_t saved = umask(022);
    CVioDirectory directory(tmp.path());
    EXPECT_EQ(directory.lockDirectory('w', true), 0);
    umask(saved);
    struct stat info;
    ASSERT_EQ(stat(tmp.file("lock").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    EXPECT_EQ(testsupport::readFile(tmp.file("lock")), "lock");
    EXPECT_EQ(directory.unlockDirectory(), 0);
}

}  // namespace
