#include "CVsysEventLogFileWriter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "ChildProcess.h"
#include "LockFile.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;

const std::string kStamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)";

using FileWriterTest = testsupport::TempDirTest;

// Whoever can open the lock file can hold its lock and stall every writer of the log.
TEST_F(FileWriterTest, LockFileIsPrivateToItsOwner) {
    const std::string fresh = tmp.file("fresh.lock"), open = tmp.file("open.lock");
    testsupport::writeFile(open, "");
    ASSERT_EQ(0, chmod(open.c_str(), 0644));
    for (const std::string& path : {fresh, open}) {
        LockFile lock(path);
        struct stat info;
        ASSERT_EQ(0, stat(path.c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 07777) << path;
    }
}

// A dangling symbolic link is the state of that race frozen: a plain open finds no file, yet an
// exclusive create finds one. The attempts after it must open the file as it then is.
TEST_F(FileWriterTest, FileAppearingBetweenCheckAndCreateDoesNotFailLaterAttempts) {
    const std::string path = tmp.file("log.txt.lock");
    ASSERT_EQ(symlink(tmp.file("real").c_str(), path.c_str()), 0);
    std::thread locker([&] { EXPECT_NO_THROW(LockFile(path, 20000, 1000)); });
    // Not synchronisation: only makes it likely that some attempts meet the dangling link.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    testsupport::writeFile(tmp.file("real"), "");
    locker.join();
}

// A writer as a default section would configure it, with the given limits.
std::unique_ptr<CVsysEventLogFileWriter> fileWriter(const std::string& path, int bytes = 204800,
                                                    int files = 20, bool perProcess = false) {
    auto writer = std::make_unique<CVsysEventLogFileWriter>();
    writer->setParameter("filePath", path);
    writer->setParameter("bytesPerFiles", std::to_string(bytes));
    writer->setParameter("numFiles", std::to_string(files));
    writer->setParameter("perProcessFile", perProcess ? "1" : "0");
    EXPECT_TRUE(writer->isReady());
    return writer;
}

TEST_F(FileWriterTest, LineCarriesStampModuleTagAndMessage) {
    time_t when = 1700000000;  // a given time is written in local time
    struct tm local;
    char stamp[32];
    strftime(stamp, sizeof stamp, "%m/%d/%Y %H:%M:%S", localtime_r(&when, &local));
    // Per process, the module names the file instead; the shared file stays untouched.
    for (bool perProcess : {true, false}) {
        auto writer = fileWriter(tmp.file("a.txt"), 204800, 20, perProcess);
        ASSERT_TRUE(writer->write("File System Interface", 3, "text", 12, "main.cpp", when));
    }
    EXPECT_EQ(std::string(stamp) + " [INFO] text\n",
              readFile(tmp.file("File_System_Interface.txt")));
    EXPECT_EQ(std::string(stamp) + " File System Interface [INFO] text\n",
              readFile(tmp.file("a.txt")));
}

// Every entry is one line, whatever its text holds: nothing in a text can forge an entry.
TEST_F(FileWriterTest, EachLevelGetsItsTagAndEveryEntryIsOneLine) {
    const std::tuple<int, const char*, const char*> cases[] = {
        {0, "ends in a letter", "m  ends in a letter\n"},
        {1, "ends in a newline\n", "m [TRACE] ends in a newline\n"},
        {2, "newline then blanks\n  \t", "m [DEBUG] newline then blanks\\n  \t\n"},
        {3, "letter then blanks  ", "m [INFO] letter then blanks  \n"},
        {4, "two lines\n02/03/2024 10:00:00 m [INFO] forged",
         "m [WARN] two lines\\n02/03/2024 10:00:00 m [INFO] forged\n"},
        {5, "", "m [ERROR] \n"},
        {6, "cr\r bell\a del\x7f \xc3\xa9", "m [CRITICAL] cr\\r bell\\x07 del\\x7f \xc3\xa9\n"},
        {7, "200 OK\n\n", "m [FATAL] 200 OK\\n\n"},
        {8, "x", "m  x\n"}};
    const std::string path = tmp.file("a.txt");
    auto writer = fileWriter(path);
    ASSERT_TRUE(writer->setParameter("autoAppend", "0"));  // cannot switch it off
    for (const auto& [level, message, written] : cases) {
        fs::remove(path);
        ASSERT_TRUE(writer->write("m", level, message, -1, nullptr, 0));
        EXPECT_EQ(readFile(path).substr(20), written) << level;
    }
}

// The daemon's tests of cvlogs.ini cover values at and beyond the upper bounds.
TEST_F(FileWriterTest, SizeAndCountOutsideTheirLimitsLeaveTheWriterUnready) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"bytesPerFiles", "1023", false},  {"bytesPerFiles", "1024", true},
        {"bytesPerFiles", "-2048", false}, {"bytesPerFiles", "2048 bytes", false},
        {"numFiles", "0", false},          {"numFiles", "1001", false},
    };
    for (const auto& [key, value, accepted] : cases) {
        auto writer = fileWriter(tmp.file("a.txt"));
        EXPECT_EQ(accepted, writer->setParameter(key, value)) << key << "=" << value;
        EXPECT_EQ(accepted, writer->isReady()) << key << "=" << value;
    }
}

// A file size limit makes the system write part of an entry and then refuse the rest. Nothing of
// such an entry may stay, each failure need not be reported, and the next entries must work.
TEST_F(FileWriterTest, EntryThatCannotBeWrittenWholeLeavesNoTrace) {
    const std::string path = tmp.file("a.txt");
    int errors[2];  // a pipe: the limit would cut a file short
    ASSERT_EQ(0, pipe(errors));
    auto writer = fileWriter(path);
    ASSERT_TRUE(writer->write("m", 3, "before", -1, nullptr, 0));
    const off_t size = static_cast<off_t>(readFile(path).size());
    const int status = testsupport::runInChild([&] {
        dup2(errors[1], STDERR_FILENO);
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{static_cast<rlim_t>(size + 30), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        int failed = 0;
        for (int i = 0; i < 3; ++i) {
            failed += !writer->write("m", 3, "lost " + std::string(60, 'x'), -1, nullptr, 0);
        }
        const bool sameSize = static_cast<off_t>(readFile(path).size()) == size;
        limit.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool after = writer->write("m", 3, "after", -1, nullptr, 0);
        return failed == 3 && sameSize && after ? 0 : 1;
    });
    EXPECT_EQ(0, status);
    EXPECT_TRUE(std::regex_match(readFile(path), std::regex(kStamp + " m \\[INFO\\] before\n" +
                                                            kStamp + " m \\[INFO\\] after\n")))
        << readFile(path);
    close(errors[1]);
    const std::string reported = readFile("/proc/self/fd/" + std::to_string(errors[0]));
    close(errors[0]);
    EXPECT_NE(reported.find("Cannot write log file [" + path + "]: File too large"),
              std::string::npos)
        << reported;
    EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), 1) << reported;
}

const int kChildren = 4;
const int kEntries = 2000;

// Forked from this thread alone (a child forked while another thread holds an allocator lock
// would inherit it locked); calls `observe` until every child has ended.
void runWriters(const std::string& path, int bytes, int files,
                const std::function<void()>& observe) {
    testsupport::ChildProcess children[kChildren];
    for (int child = 0; child < kChildren; ++child) {
        children[child].fork([&, child] {
            auto writer = fileWriter(path, bytes, files);
            const std::string text = "child " + std::to_string(child) + " entry ";
            int failed = 0;
            for (int entry = 0; entry < kEntries; ++entry) {
                const std::string padded = std::to_string(entry) + " " + std::string(40, '.');
                failed += !writer->write("m", 3, text + padded, -1, nullptr, 0);
            }
            return failed;
        });
    }
    EXPECT_TRUE(testsupport::pollUntil(
        [&] {
            observe();
            return std::all_of(std::begin(children), std::end(children),
                               [](testsupport::ChildProcess& c) { return c.poll(); });
        },
        std::chrono::minutes(3), std::chrono::milliseconds(1)));
    for (const testsupport::ChildProcess& child : children) {
        EXPECT_EQ(0, child.status());
    }
}

// Checks every line of the archives (oldest first) and the log; returns the entries seen.
std::set<std::pair<int, int>> checkSeries(const std::string& path, size_t bytes) {
    const std::regex entryLine(kStamp + R"( m \[INFO\] child (\d) entry (\d+) \.{40})");
    const std::regex archiveLine(kStamp + " Archiving " + path);
    std::vector<std::string> files{path};
    for (int n = 1; fs::exists(path + "." + std::to_string(n)); ++n) {
        files.insert(files.begin(), path + "." + std::to_string(n));
    }
    std::set<std::pair<int, int>> seen;
    std::vector<int> last(kChildren, -1);
    for (const std::string& file : files) {
        const std::string content = readFile(file);
        EXPECT_TRUE(content.empty() || content.back() == '\n') << file;
        std::istringstream in(content);
        size_t offset = 0;
        for (std::string line; std::getline(in, line);) {
            offset += line.size() + 1;
            std::smatch match;
            if (file != path && offset == content.size()) {
                EXPECT_TRUE(std::regex_match(line, archiveLine)) << file << ": " << line;
                // Archived once it had reached the limit, and not one entry later.
                const size_t archived = content.size() - line.size() - 1;
                EXPECT_TRUE(archived >= bytes && archived < bytes + 100) << archived;
            } else if (std::regex_match(line, match, entryLine)) {
                const int child = std::stoi(match[1]), entry = std::stoi(match[2]);
                EXPECT_TRUE(seen.insert({child, entry}).second) << "twice: " << line;
                EXPECT_GT(entry, last.at(child)) << "child " << child << " out of order";
                last[child] = entry;
            } else {
                ADD_FAILURE() << "torn line in " << file << ": " << line;
            }
        }
    }
    return seen;
}

// Enough archives to keep every entry, then fewer: never more archives than numFiles, and each
// in its place, oldest last. The path is longer than any fixed path buffer.
TEST_F(FileWriterTest, ProcessesSharingALogWriteEveryEntryAtMostOnceAndWhole) {
    std::string deep = tmp.file("deep");
    while (deep.size() < 1100) {
        deep += "/" + std::string(200, 'd');
    }
    fs::create_directories(deep);
    for (const auto& [bytes, numFiles] : {std::pair(4096, 1000), {2048, 3}}) {
        const std::string path = deep + "/shared" + std::to_string(numFiles) + ".txt";
        const std::string beyond = path + "." + std::to_string(numFiles + 1);
        runWriters(path, bytes, numFiles, [&] { EXPECT_FALSE(fs::exists(beyond)); });
        EXPECT_TRUE(fs::exists(path + "." + std::to_string(std::min(numFiles, 50))));
        EXPECT_EQ(checkSeries(path, bytes).size() == size_t(kChildren * kEntries), numFiles > 3);
    }
}

}  // namespace
