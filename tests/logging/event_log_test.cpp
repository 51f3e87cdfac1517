// The event log's dispatch (levels, formatting, configuration) and its queued variant, both
// around a writer that records entries in memory.
#include "CVsysEventLogInterface.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CVsysEventLogConfig.h"
#include "CVsysEventLogFileWriter.h"
#include "CVsysEventLogMultiThreaded.h"
#include "CVsysEventLogSingleThreaded.h"
#include "TestSupport.h"

namespace {

struct Entry {
    int32_t level;
    std::string message;
    int32_t line;
    std::string file;
    time_t time;
};

// Records the entries; a test holding `mutex` holds up the writer.
class JournalWriter : public CVsysEventLogWriterInterface {
public:
    bool setParameter(const std::string&, const std::string&) override { return true; }
    bool write(const std::string&, int32_t level, const std::string& message, int32_t line,
               const char* file, time_t time) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (message == "throw") {
            throw std::runtime_error("disk gone");
        }
        entries.push_back({level, message, line, file ? file : "<null>", time});
        return true;
    }
    bool isReady() override { return true; }
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.size();
    }

    std::mutex mutex;
    std::vector<Entry> entries;  // guarded by mutex
};

// Started as it is made.
template <class Dispatch>
class JournalLog : public Dispatch {
public:
    explicit JournalLog(int32_t threshold = 0) {
        this->m_moduleName = "Journal";
        this->m_writer = std::make_unique<JournalWriter>();
        journal = static_cast<JournalWriter*>(this->m_writer.get());
        this->setLevel(threshold);
        EXPECT_TRUE(this->Start());
    }
    JournalWriter* journal;  // owned by the log
};

using Log = CVsysEventLogInterface;
using MemoryLog = JournalLog<CVsysEventLogSingleThreaded>;
using QueuedLog = JournalLog<CVsysEventLogMultiThreaded>;
using testsupport::pollUntil;
using testsupport::readFile;
using testsupport::writeFile;

enum Op { NAMED, EVENT, DEBUG_CODE };

// The named calls take `code` as their level.
bool call(Log& log, Op op, int code) {
    using Named = bool (Log::*)(const std::string&, int32_t, const char*);
    static const Named named[] = {nullptr,    &Log::trace, &Log::debug,    &Log::info,
                                  &Log::warn, &Log::error, &Log::critical, &Log::fatal};
    return op == NAMED   ? (log.*named[code])("v=7", 9, "a.c")
           : op == EVENT ? log.LogEvent(code, nullptr, "v=%d", 7)
                         : log.LogDebug(code, "v=%d", 7);
}

TEST(EventLogLevels, ThresholdAndKindCodeDecideWhatIsWritten) {
    // op, code, threshold, result, the level written (1 TRACE ... 7 FATAL; 0: nothing)
    const std::tuple<Op, int, int, bool, int> rows[] = {
        {NAMED, 1, 0, true, 1},      {NAMED, 1, 1, true, 1},      {NAMED, 2, 3, false, 0},
        {NAMED, 3, 3, true, 3},      {NAMED, 4, 5, false, 0},     {NAMED, 5, 5, true, 5},
        {NAMED, 6, 7, false, 0},     {NAMED, 7, 9, true, 7},      {EVENT, 17, 0, true, 4},
        {EVENT, 18, 0, true, 5},     {EVENT, 19, 8, true, 7},     {EVENT, 20, 0, true, 0},
        {EVENT, 17, 5, false, 0},    {DEBUG_CODE, 1, 0, true, 2}, {DEBUG_CODE, 2, 2, true, 2},
        {DEBUG_CODE, 3, 0, true, 1}, {DEBUG_CODE, 4, 0, true, 0}, {DEBUG_CODE, 1, 3, false, 0},
        {DEBUG_CODE, 3, 2, false, 0}};
    for (const auto& [op, code, threshold, result, level] : rows) {
        SCOPED_TRACE(testing::Message() << "op " << op << " code " << code);
        MemoryLog log(threshold);
        EXPECT_EQ(result, call(log, op, code));
        const std::vector<Entry>& written = log.journal->entries;
        ASSERT_EQ(level ? 1u : 0u, written.size());
        if (level) {
            EXPECT_EQ(level, written[0].level);
            EXPECT_EQ("v=7", written[0].message);
            EXPECT_EQ(op == NAMED ? 9 : -1, written[0].line);
            EXPECT_EQ(op == NAMED ? "a.c" : "<null>", written[0].file);
        }
    }
}

TEST(EventLogFormatting, CutsLongTextsAndAddsPrefixesAndSystemErrors) {
    MemoryLog log;
    const std::string longText(2048, 'a');  // one too many
    log.LogEvent(18, "P", "%s", longText.c_str());
    log.LogDebug(1, "%s", longText.c_str());
    errno = ENOENT;
    log.LogSystemError("open", "file %s", "a.txt");
    const std::vector<Entry>& written = log.journal->entries;
    ASSERT_EQ(3u, written.size());
    EXPECT_EQ("P " + std::string(2045, 'a'), written[0].message);
    EXPECT_EQ(std::string(2047, 'a'), written[1].message);
    EXPECT_EQ("open file a.txt [System Library Error] No such file or directory",
              written[2].message);
}

class LogDirTest : public testsupport::TempDirTest {
protected:
    void SetUp() override {
        std::filesystem::create_directories(config);
        std::filesystem::create_directories(logs);
    }
    const std::string config = tmp.file("opt/config");
    const std::string logs = tmp.file("opt/logs");
    const std::string ini = config + "/cvlogs.ini";
};

std::string defaultSection(const std::string& header, const std::string& filePath) {
    return "\n[" + header + "]\nwriter=file\nlevel=info\nfilePath=" + filePath +
           "\nbytesPerFiles=204800\nnumFiles=20\nautoAppend=1\nperProcessFile=0\n";
}

TEST(ParseLevel, KeywordsIgnoreCaseAndUnknownIsWarn) {
    const std::pair<const char*, int32_t> cases[] = {
        {"trace", 1}, {"DEBUG", 2}, {"infor", 3},    {"Information", 3}, {"WARNI", 4}, {"warn", 4},
        {"error", 5}, {"criti", 6}, {"Critical", 6}, {"FATAL", 7},       {"", 4},      {"inf", 4}};
    for (const auto& [text, level] : cases) {
        EXPECT_EQ(parseLevel(text), level) << text;
    }
}

TEST_F(LogDirTest, LogDirectoryMismatchRewritesOnlyTheModuleSection) {
    const std::string elsewhere = tmp.file("elsewhere");
    std::filesystem::create_directory(elsewhere);
    const std::string other = "\n[other_logger]\nwriter=sqlite\ndbfilename=/db/x.db\n";
    const std::string common = defaultSection("common", logs + "/common_logs.txt");
    writeFile(ini, "\n[main]\nMod=Mod_logger\n" + other +
                       "\n[Mod_logger]\nwriter=file\nlevel=debug\nfilePath=/old/m.txt\n"
                       "numFiles=3\nfoo=bar\n" +
                       common);
    writeFile(elsewhere + "/Mod_log.txt", "old entries\n");

    ASSERT_TRUE(ensureConfiguration("Mod", config, elsewhere));
    EXPECT_EQ(readFile(ini), "\n[main]\nMod=Mod_logger\n" + other +
                                 "\n[Mod_logger]\nwriter=file\nlevel=info\nfilePath=" + elsewhere +
                                 "/Mod_log.txt\nnumFiles=20\nfoo=bar\n"
                                 "bytesPerFiles=204800\nautoAppend=1\nperProcessFile=0\n" +
                                 common);
    EXPECT_EQ(readFile(elsewhere + "/Mod_log.txt"), "");
}

// A module missing from "[main]" logs through "[common]"; one with an unusable writer gets none.
TEST_F(LogDirTest, InitializeTakesTheModuleWriterOrCommonOrNone) {
    for (const std::string keys : {"writer=qtdebug\n", "writer=SQLite\n", "writer=syslog\n"}) {
        writeFile(ini, "\n[main]\nM=m\n\n[m]\n" + keys + "filePath=" + logs + "/m.txt\n" +
                           defaultSection("common", logs + "/c.txt"));
        CVsysEventLogSingleThreaded missing, unusable;
        ASSERT_TRUE(missing.initialize(config, "B"));
        EXPECT_EQ(dynamic_cast<CVsysEventLogFileWriter&>(*missing.getWriter()).getFilePath(),
                  logs + "/c.txt");
        EXPECT_FALSE(unusable.initialize(config, "M")) << keys;
        EXPECT_EQ(unusable.getWriter(), nullptr) << keys;
    }
}

TEST(MultiThreadedLog, EntriesOfTwoThreadsArriveInWriteOrderWithTheirEnqueueTimes) {
    QueuedLog log;
    std::unique_lock<std::mutex> gate(log.journal->mutex);  // held until the clock moves on
    constexpr int kPerThread = 2000;
    std::mutex order;  // makes the order of the write calls known
    int next = 0;
    auto produce = [&] {
        for (int i = 0; i < kPerThread; ++i) {
            std::lock_guard<std::mutex> lock(order);
            ASSERT_TRUE(log.info(std::to_string(next++)));
        }
    };
    const time_t before = time(nullptr);
    std::thread a(produce), b(produce);
    a.join();
    b.join();
    const time_t after = time(nullptr);
    ASSERT_TRUE(pollUntil([&] { return time(nullptr) > after; }));
    gate.unlock();
    ASSERT_TRUE(pollUntil([&] { return log.journal->size() == 2 * kPerThread; }));
    for (int i = 0; i < 2 * kPerThread; ++i) {
        const Entry& entry = log.journal->entries[i];
        ASSERT_EQ(std::to_string(i), entry.message);
        ASSERT_GE(entry.time, before);
        ASSERT_LE(entry.time, after);
    }
}

TEST(MultiThreadedLog, StopWritesEverythingQueuedAndRefusesLaterEntries) {
    QueuedLog log;
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(log.info("entry"));
    }
    EXPECT_TRUE(log.Stop());
    EXPECT_EQ(10000u, log.journal->size());
    EXPECT_FALSE(log.write(CVsysEventLogInterface::INFO, "late", -1, nullptr));
}

TEST(MultiThreadedLog, ThrowingWriterEndsTheWorkerAndLaterEntriesStayQueued) {
    QueuedLog log;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(log.info("first"));
    EXPECT_TRUE(log.info("throw"));
    EXPECT_TRUE(pollUntil([&] { return !log.isStarted(); }));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Journal-ERROR CVsysEventLogMultiThreaded::DoWork: Unknown error"),
              std::string::npos);
    EXPECT_TRUE(log.info("queued for good"));
    EXPECT_EQ(1u, log.journal->size());
}

// Each entry is written right after the worker wrote the previous one, which is when the
// worker is on its way back to sleep; none may wait for a later write.
TEST(MultiThreadedLog, EntryWrittenAsTheWorkerGoesIdleIsNotLeftBehind) {
    QueuedLog log;
    for (size_t i = 1; i <= 20000; ++i) {
        ASSERT_TRUE(log.info("entry"));
        ASSERT_TRUE(pollUntil([&] { return log.journal->size() == i; }, std::chrono::seconds(20),
                              std::chrono::milliseconds(0)))
            << "entry " << i << " was left in the queue";
    }
}

}  // namespace
