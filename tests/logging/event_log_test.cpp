#include "CVsysEventLogInterface.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "CVsysEventLogConfig.h"
#include "CVsysEventLogFileWriter.h"
#include "CVsysEventLogSingleThreaded.h"
#include "LogTestSupport.h"
#include "TestSupport.h"

namespace {

using Log = CVsysEventLogInterface;
using MemoryLog = logtest::JournalLog<CVsysEventLogSingleThreaded>;
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
    struct Row {
        Op op;
        int code, threshold;
        bool result;
        int written;  // the level written (1 TRACE ... 7 FATAL); 0: nothing
    } rows[] = {
        {NAMED, 1, 0, true, 1},      {NAMED, 1, 1, true, 1},      {NAMED, 2, 3, false, 0},
        {NAMED, 3, 3, true, 3},      {NAMED, 4, 5, false, 0},     {NAMED, 5, 5, true, 5},
        {NAMED, 6, 7, false, 0},     {NAMED, 7, 9, true, 7},      {EVENT, 17, 0, true, 4},
        {EVENT, 18, 0, true, 5},     {EVENT, 19, 8, true, 7},     {EVENT, 20, 0, true, 0},
        {EVENT, 17, 5, false, 0},    {DEBUG_CODE, 1, 0, true, 2}, {DEBUG_CODE, 2, 2, true, 2},
        {DEBUG_CODE, 3, 0, true, 1}, {DEBUG_CODE, 4, 0, true, 0}, {DEBUG_CODE, 1, 3, false, 0},
        {DEBUG_CODE, 3, 2, false, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "op " << row.op << " code " << row.code);
        MemoryLog log(row.threshold);
        ASSERT_TRUE(log.Start());
        EXPECT_EQ(row.result, call(log, row.op, row.code));
        const std::vector<logtest::Entry>& written = log.journal->entries;
        ASSERT_EQ(row.written ? 1u : 0u, written.size());
        if (row.written) {
            EXPECT_EQ(row.written, written[0].level);
            EXPECT_EQ("v=7", written[0].message);
            EXPECT_EQ(row.op == NAMED ? 9 : -1, written[0].line);
            EXPECT_EQ(row.op == NAMED ? "a.c" : "<null>", written[0].file);
        }
    }
}

TEST(EventLogFormatting, NullFormatsLongTextsAndPrefixes) {
    MemoryLog log;
    ASSERT_TRUE(log.Start());
    const char* none = nullptr;
    EXPECT_TRUE(log.LogEvent(18, nullptr, none));
    EXPECT_FALSE(log.LogDebug(1, none));
    const std::string longText(2048, 'a');  // one too many
    log.LogEvent(18, "P", "%s", longText.c_str());
    log.LogDebug(1, "%s", longText.c_str());
    errno = ENOENT;
    log.LogSystemError("open", "file %s", "a.txt");
    const std::vector<logtest::Entry>& written = log.journal->entries;
    ASSERT_EQ(3u, written.size());  // the null formats wrote nothing
    EXPECT_EQ("P " + std::string(2045, 'a'), written[0].message);
    EXPECT_EQ(std::string(2047, 'a'), written[1].message);
    EXPECT_EQ("open file a.txt [System Library Error] No such file or directory",
              written[2].message);
    log.Stop();  // a stopped log refuses even the calls that write nothing
    EXPECT_FALSE(log.LogEvent(20, nullptr, "x"));
}

class LogDirTest : public testsupport::TempDirTest {
protected:
    void SetUp() override {
        Log::DestroyAll();
        std::filesystem::create_directories(config);
        std::filesystem::create_directories(logs);
    }
    void TearDown() override { Log::DestroyAll(); }
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
    for (const std::string keys : {"writer=qtdebug\n", "writer=SQLite\n", "writer=syslog\n",
                                   "writer=file\nbytesPerFiles=100\nnumFiles=0\n"}) {
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

}  // namespace
