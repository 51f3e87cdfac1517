#include "CVioDirectory.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <algorithm>

#include "CVioException.h"
#include "CVioPath.h"
#include "TestSupport.h"

namespace {

class DirectoryTest : public testsupport::TempDirTest {
protected:
    std::vector<std::string> list(const char* pattern, int maxCount, time_t notAfter) {
        std::vector<std::unique_ptr<CVioFile>> files;
        CVioDirectory(tmp.path()).listFiles(files, pattern, maxCount, notAfter);
        std::vector<std::string> names;
        for (const auto& file : files) {
            EXPECT_EQ(file->getPath(), tmp.file(CVioPath::baseName(file->getPath())));
            names.push_back(CVioPath::baseName(file->getPath()));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST(PathTextTest, PatternsAndPathsFollowTheWildcardAndJoinRules) {
    const struct {
        const char *name, *pattern;
        bool match;
    } patterns[] = {
        {"a.txt", "*.txt", true}, {"report", "rep", true}, {"a.txt.old", "*.txt", true},
        {"a", "a*bc", true},      {"abc", "*x*", false},   {"", "*", false},
        {"abc", "", false},       {nullptr, "*", false},   {"xcorfi", "corfi*", false},
    };
    for (const auto& p : patterns)
        EXPECT_EQ(p.match, CVioFile::matchPattern(p.name, p.pattern)) << p.pattern;
    const struct {
        std::string got, expected;
    } paths[] = {
        {CVioPath::join("dir/", "x"), "dir/x"},
        {CVioPath::join("dir", "x"), "dir/x"},
        {CVioPath::join("", "x"), "x"},
        {CVioPath::joinSlashed("/", "x"), "/x"},
        {CVioPath::baseName("x/y/z"), "z"},
        {CVioPath::directoryOf("/var/log/corfi.txt"), "/var/log"},
        {CVioPath::directoryOf("corfi.txt"), "./"},
    };
    for (const auto& p : paths) {
        EXPECT_EQ(p.expected, p.got);
    }
}

TEST_F(DirectoryTest, ListingHonoursPatternCountAndTimeAndRaisesForAMissingDirectory) {
    for (const char* name : {"a.txt", "b.txt", "c.log", "lock", "old.txt"})
        testsupport::writeFile(tmp.file(name), "x");
    mkdir(tmp.file("sub.txt").c_str(), 0755);
    struct utimbuf old = {1000, 1000};
    utime(tmp.file("old.txt").c_str(), &old);

    EXPECT_EQ(list("*.txt", 0, 0), (std::vector<std::string>{"a.txt", "b.txt", "old.txt"}));
    EXPECT_EQ(list("*", 0, 0).size(), 4u);
    EXPECT_EQ(list("*", 1, 0).size(), 1u);
    EXPECT_EQ(list("*", 0, 1000), std::vector<std::string>{"old.txt"});
    std::vector<std::unique_ptr<CVioFile>> files;
    auto missing = [&] { CVioDirectory(tmp.file("missing")).listFiles(files, "*", 0, 0); };
    EXPECT_EQ(testsupport::thrown<CVioException>(missing, &CVioException::getMessage),
              "Read Directory Failed");
    EXPECT_EQ(testsupport::thrown<CVioException>(missing, &CVioException::getPath),
              tmp.file("missing"));
}

}  // namespace
