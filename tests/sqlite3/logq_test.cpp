// corfi-logq over a log database written by the running daemon, and over one made here.
#include <filesystem>
#include <regex>
#include <sstream>

#include "CVLogSQLiteProcessor.h"
#include "DaemonHarness.h"

namespace {

using corfitest::DaemonTest;
using testsupport::pollUntil;
using Lines = std::vector<std::string>;

struct Outcome {
    int status;
    Lines lines;  // standard output and error, line by line
};

class LogqTest : public DaemonTest {
protected:
    Outcome logq(const std::vector<std::string>& args) {
        const auto run = testsupport::runProgram(testsupport::concat({CORFI_LOGQ_PATH}, args), {});
        Outcome outcome{run.status, {}};
        std::istringstream text(run.out + run.err);
        for (std::string line; std::getline(text, line);)
            outcome.lines.push_back(line);
        return outcome;
    }
    static bool has(const Outcome& o, const std::string& pattern) {
        const std::regex re(pattern);
        for (const std::string& line : o.lines)
            if (std::regex_match(line, re))
                return true;
        return false;
    }
    const std::string stamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d )";
};

TEST_F(LogqTest, DaemonLoggingToSQLiteLeavesRowsThatLogqPrints) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout();
    const std::string db = at("logs/corfi.db");
    testsupport::writeFile(at("config/cvlogs.ini"),
                           "[main]\nFile System Interface=File System Interface_logger\n\n"
                           "[File System Interface_logger]\nwriter=sqlite\nlevel=trace\n"
                           "dbfilename=" +
                               db +
                               "\n\n[common]\nwriter=file\nlevel=info\n"
                               "filePath=" +
                               at("logs/common.txt") + "\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    drop("spool/corfi_a", "RECEIVER: Jane\nMESSAGE: Hello world\n");
    const std::string module = "File System Interface";
    ASSERT_TRUE(pollUntil(
        [&] {
            return has(logq({db, module}), ".*COMPLETED RCPT\\(Jane\\).*");
        },
        std::chrono::seconds(20), std::chrono::milliseconds(100)));
    daemon.signal(SIGTERM);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(0, daemon.status());

    EXPECT_EQ(Lines({module}), logq({db}).lines);
    const Outcome rows = logq({db, module});
    EXPECT_EQ(0, rows.status);
    for (const char* line : {R"(\[INFO\] FILESYSTEM INTERFACE \[.*\] STARTED)",
                             R"(\[INFO\] COMPLETED RCPT\(Jane\), MSG\(Hello world\))",
                             R"(\[INFO\] File interface exits)"}) {
        EXPECT_TRUE(has(rows, stamp + line)) << line;
    }
}

TEST_F(LogqTest, QuotesInOptionsAreMatchedLiterallyAndNeverRunAsSQL) {
    const std::string db = tmp.file("q.db");
    {
        CVLogSQLiteProcessor processor(db, true);
        for (const char* message : {"it's here", "its here", "other"})
            ASSERT_TRUE(processor.insertEntry("Mod", "", 1000, 3, message, 1, "a.c"));
    }
    const struct {
        std::string option, pattern;
        Lines messages;
    } cases[] = {{"--message", "it's*", {"it's here"}},
                 {"--message", "*' OR '1'='1", {}},
                 {"--message", "'; DROP TABLE Mod; --", {}},
                 {"--sub", "x') OR 1=1 --", {}},
                 {"--sub", "x'); DROP TABLE metatable; --", {}},
                 {"--date", "*'; DROP TABLE Mod; --", {}},
                 {"--message", "*here", {"it's here", "its here"}}};  // the table survived
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option + " " + c.pattern);
        const Outcome o = logq({db, "Mod", c.option, c.pattern});
        EXPECT_EQ(0, o.status);
        ASSERT_EQ(c.messages.size(), o.lines.size());
        for (size_t i = 0; i < o.lines.size(); ++i)
            EXPECT_TRUE(has({0, {o.lines[i]}}, stamp + R"(\[INFO\] )" + c.messages[i]));
    }
    EXPECT_EQ(Lines({"Mod"}), logq({db}).lines);  // the catalogue is intact
}

TEST_F(LogqTest, MissingDatabaseOrModuleIsAClearError) {
    {
        CVLogSQLiteProcessor processor(tmp.file("q.db"), true);
        ASSERT_TRUE(processor.insertEntry("Mod", "", 1000, 3, "x", 1, "a.c"));
    }
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {{{tmp.file("none.db")}, ".*" + tmp.file("none.db") + ".*"},
                 {{tmp.file("q.db"), "Nope"}, ".*Nope.*"}};
    for (const auto& c : cases) {
        const Outcome o = logq(c.args);
        EXPECT_NE(0, o.status) << c.error;
        EXPECT_TRUE(has(o, c.error)) << c.error;
    }
    EXPECT_FALSE(std::filesystem::exists(tmp.file("none.db")));  // not created by the query
}

}  // namespace
