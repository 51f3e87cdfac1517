// The SQLite log: the writer's tables and batches, the processor under it meeting a locked or
// foreign database file, and corfi-logq reading what the daemon and the writer left.
#include "CVsysEventLogSQLiteWriter.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "CVDBProcessorFatalException.h"
#include "CVLogSQLiteProcessor.h"
#include "CVsysEventLogInterface.h"
#include "DaemonHarness.h"

namespace {

namespace fs = std::filesystem;
using testsupport::pollUntil;
using Rows = std::vector<std::string>;
using Lines = std::vector<std::string>;

struct Outcome {
    int status;
    Lines lines;  // standard output and error, line by line
};

class SQLiteLogTest : public corfitest::DaemonTest {
protected:
    // "module|timestamp|level|message|line|srcfile" of every row of `table`, in insert order.
    Rows rows(const std::string& table) const {
        return select(
            "SELECT module||'|'||timestamp||'|'||level||'|'||message||'|'||line||'|'||srcfile "
            "FROM " +
            table + " ORDER BY id;");
    }
    // The first column of every row `sql` returns, through a connection of its own.
    Rows select(const std::string& sql) const {
        sqlite3* db = nullptr;
        Rows out;
        EXPECT_EQ(SQLITE_OK, sqlite3_open(db_.c_str(), &db));
        auto collect = [](void* to, int, char** values, char**) {
            static_cast<Rows*>(to)->push_back(values[0]);
            return 0;
        };
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), collect, &out, nullptr)) << sql;
        sqlite3_close(db);
        return out;
    }
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
    // q.db with five entries of module "Mod"; its path.
    std::string seeded() const {
        const std::string db = tmp.file("q.db");
        CVLogSQLiteProcessor processor(db, true);
        const std::tuple<const char*, int32_t, const char*> entries[] = {
            {"a", 1, "disk full"}, {"b", 3, "it's here"}, {"a", 3, "disk ok"},
            {"b", 5, "its here"},  {"a", 3, "cpu hot"},
        };
        time_t when = 1000;
        for (const auto& [sub, level, message] : entries)
            EXPECT_TRUE(processor.insertEntry("Mod", sub, when++, level, message, 1, "a.c"));
        return db;
    }
    const std::string stamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d )";
    const std::string db_ = tmp.file("log.db");
};

// The module's part before the first point names its table ('.', ' ' and '-' become '_'), which
// the catalogue records; the rest is the sub-module.
TEST_F(SQLiteLogTest, WriterSplitsTheModuleAtTheFirstPointAndStoresOtherLevelsAsZero) {
    CVsysEventLogSQLiteWriter writer;
    ASSERT_TRUE(writer.setParameter("DbFileName", db_));
    const time_t before = time(nullptr);
    EXPECT_TRUE(writer.write("Sched-1 x.Jobs", 3, "one", 7, "a.c", 1000));
    EXPECT_TRUE(writer.write("Sched-1 x.Jobs.Run", 9, "two", -1, nullptr, 2000));
    EXPECT_TRUE(writer.write("corfi", 7, "three", 5, "b.c", 0));
    EXPECT_EQ(Rows({"Jobs|1000|3|one|7|a.c", "Jobs.Run|2000|0|two|-1|"}), rows("Sched_1_x"));
    EXPECT_EQ(Rows({"Sched-1 x|Sched_1_x", "corfi|corfi"}),
              select("SELECT module_name||'|'||table_name FROM metatable ORDER BY 1;"));
    const Rows daemon = rows("corfi");
    ASSERT_EQ(1u, daemon.size());
    const long stamp = std::atol(daemon[0].c_str() + 1);  // after the empty module column
    EXPECT_GE(stamp, before);
    EXPECT_EQ("|" + std::to_string(stamp) + "|7|three|5|b.c", daemon[0]);
}

TEST_F(SQLiteLogTest, TruncateEmptiesTheTablesOnlyWhenItFollowsTheDatabaseName) {
    const std::pair<std::vector<std::pair<std::string, std::string>>, size_t> cases[] = {
        {{{"truncate", "1"}, {"dbfilename", db_}}, 1},
        {{{"filename", db_}, {"Truncate", "0"}}, 1},
        {{{"filename", db_}, {"TRUNCATE", "1"}}, 0}};
    for (const auto& [keys, rowsLeft] : cases) {
        SCOPED_TRACE(keys.back().first);
        fs::remove(db_);
        ASSERT_TRUE(CVLogSQLiteProcessor(db_).insertEntry("Mod", "", 1, 3, "kept?", 1, "a.c"));
        CVsysEventLogSQLiteWriter writer;
        for (const auto& [key, value] : keys)
            writer.setParameter(key, value);
        EXPECT_TRUE(writer.isReady());
        EXPECT_EQ(rowsLeft, rows("Mod").size());
    }
}

// Two daemons logging to one database meet its module "Bulk" for the first time at once: each
// creates what it finds missing, and neither may take away what the other made.
TEST_F(SQLiteLogTest, TwoProcessesMeetingANewModuleLoseNoRow) {
    std::string ini = "[main]\nBulk.A=Bulk.A_logger\nBulk.B=Bulk.B_logger\n";
    for (const char* module : {"Bulk.A", "Bulk.B"})
        ini += std::string("\n[") + module +
               "_logger]\nwriter=sqlite\nlevel=info\ndbfilename=" + db_ + "\n";
    testsupport::writeFile(tmp.file("cvlogs.ini"), ini + "\n[common]\nwriter=file\nlevel=info\n" +
                                                       "filePath=" + tmp.file("common.txt") + "\n");
    const std::string go = tmp.file("go");
    auto logger = [&](testsupport::ChildProcess& child, const std::string& module) {
        child.fork([&, module] {
            CVsysEventLogInterface* log = CVsysEventLogInterface::CreateInstance(
                module, CVsysEventLogInterface::MULTI_THREADED, tmp.path(), "");
            if (log == nullptr || !pollUntil([&] { return fs::exists(go); }) || !log->Start()) {
                return 2;
            }
            for (int i = 0; i < 500; ++i) {
                log->info("entry " + std::to_string(i), i, "w.c");
            }
            return log->Stop() ? 0 : 1;
        });
    };
    testsupport::ChildProcess first, second;
    logger(first, "Bulk.A");
    logger(second, "Bulk.B");
    testsupport::writeFile(go, "");
    EXPECT_EQ(0, first.wait());
    EXPECT_EQ(0, second.wait());
    const Rows all = rows("Bulk");
    EXPECT_EQ(1000u, all.size());
    EXPECT_EQ(500, std::count_if(all.begin(), all.end(), [](auto& r) { return r[0] == 'A'; }));
    EXPECT_EQ(Rows({"Bulk|Bulk"}), select("SELECT module_name||'|'||table_name FROM metatable;"));
}

TEST_F(SQLiteLogTest, BatchIsCommittedOnceAtItsEnd) {
    CVsysEventLogSQLiteWriter writer;
    ASSERT_TRUE(writer.setParameter("dbfilename", db_));
    ASSERT_TRUE(writer.write("Mod", 3, "alone", 1, "a.c", 1));
    writer.beginBatch();
    for (const char* message : {"one", "two"}) {
        ASSERT_TRUE(writer.write("Mod", 3, message, 1, "a.c", 1));
    }
    EXPECT_EQ(1u, rows("Mod").size());  // another connection sees nothing of the batch yet
    writer.endBatch();
    EXPECT_EQ(3u, rows("Mod").size());
}

// Only another connection's lock is worth waiting for; these fail for good, at once.
TEST_F(SQLiteLogTest, FileThatIsNoDatabaseFailsAtOnce) {
    testsupport::writeFile(db_, std::string(4096, 'x'));
    for (const std::string& file : {db_, tmp.path()}) {
        const long long started = testsupport::steadyMillis();
        try {
            EXPECT_FALSE(CVLogSQLiteProcessor(file).isInitialized()) << file;
        } catch (const CVDBProcessorFatalException&) {
        }
        EXPECT_LT(testsupport::steadyMillis() - started, 10000) << file;
    }
}

TEST_F(SQLiteLogTest, DatabaseHeldByAnotherProcessIsWaitedForNotLost) {
    const std::string held = tmp.file("held");
    testsupport::ChildProcess child;
    child.fork([&] {
        CVLogSQLiteProcessor p(db_);
        int32_t changed = 0;
        if (!p.insertEntry("M", "child", 1, 3, "before", 1, "c") ||
            !p.executeUpdate("BEGIN EXCLUSIVE TRANSACTION;", changed) ||
            !p.insertEntry("M", "child", 2, 3, "inside", 1, "c")) {
            return 1;
        }
        testsupport::writeFile(held, "");
        // Holding the lock for a while is the point of this child.
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        return p.executeUpdate("COMMIT;", changed) ? 0 : 2;
    });
    ASSERT_TRUE(pollUntil([&] { return access(held.c_str(), F_OK) == 0; }));
    CVLogSQLiteProcessor p(db_);
    ASSERT_TRUE(p.isInitialized()) << p.getErrorMessage();
    EXPECT_TRUE(p.insertEntry("M", "parent", 3, 3, "after", 1, "p")) << p.getErrorMessage();
    EXPECT_EQ(0, child.wait());
    EXPECT_EQ(3u, rows("M").size());
}

TEST_F(SQLiteLogTest, DaemonLoggingToSQLiteLeavesRowsThatLogqPrints) {
    ASSERT_NO_FATAL_FAILURE(startStub());
    layout();
    const std::string db = at("logs/corfi.db"), module = "File System Interface";
    // The daemon adds the missing [common] section itself.
    testsupport::writeFile(at("config/cvlogs.ini"),
                           "[main]\nFile System Interface=File System Interface_logger\n\n"
                           "[File System Interface_logger]\nwriter=sqlite\nlevel=trace\n"
                           "dbfilename=" +
                               db + "\n");
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    drop("spool/corfi_a", "RECEIVER: Jane\nMESSAGE: Hello world\n");
    const auto delivered = [&] { return has(logq({db, module}), ".*COMPLETED RCPT\\(Jane\\).*"); };
    ASSERT_TRUE(pollUntil(delivered, std::chrono::seconds(20), std::chrono::milliseconds(100)));
    daemon.signal(SIGTERM);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(0, daemon.status());

    EXPECT_EQ(Lines({module}), logq({db}).lines);
    const Outcome printed = logq({db, module});
    EXPECT_EQ(0, printed.status);
    for (const char* line : {R"(\[INFO\] FILESYSTEM INTERFACE \[.*\] STARTED)",
                             R"(\[INFO\] COMPLETED RCPT\(Jane\), MSG\(Hello world\))",
                             R"(\[INFO\] File interface exits)"}) {
        EXPECT_TRUE(has(printed, stamp + line)) << line;
    }
}

// Options filter, order, limit and count through bound parameters: quotes in them are matched
// literally and never run as SQL.
TEST_F(SQLiteLogTest, LogqOptionsSelectTheMatchingRowsAndQuotesNeverRunAsSQL) {
    const std::string db = seeded();
    const std::pair<Lines, Lines> cases[] = {
        {{"--sub", "a", "--level", "3", "--newest-first", "--limit", "2"},
         {"[INFO] cpu hot", "[INFO] disk ok"}},
        {{"--message", "it's*"}, {"[INFO] it's here"}},
        {{"--message", "*' OR '1'='1"}, {}},
        {{"--message", "'; DROP TABLE Mod; --"}, {}},
        {{"--sub", "x') OR 1=1 --"}, {}},
        {{"--sub", "x'); DROP TABLE metatable; --"}, {}},
        {{"--date", "*'; DROP TABLE Mod; --"}, {}},
        {{"--message", "*here"}, {"[INFO] it's here", "[ERROR] its here"}},  // the table survived
        {{"--pages", "2"}, {"3"}},
        {{"--pages", "1", "--message", "*disk*"}, {"2"}},
        {{"--pages", "1", "--level", "3", "--date", "*", "--message", "*disk*"}, {"1"}},
    };
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const Outcome o = logq(testsupport::concat({db, "Mod"}, args));
        EXPECT_EQ(0, o.status);
        Lines lines;
        for (const std::string& line : o.lines)
            lines.push_back(std::regex_replace(line, std::regex("^" + stamp), ""));
        EXPECT_EQ(expected, lines);
    }
}

TEST_F(SQLiteLogTest, LogqMissingDatabaseOrModuleIsAClearError) {
    const std::pair<Lines, std::string> cases[] = {
        {{tmp.file("none.db")}, ".*" + tmp.file("none.db") + ".*"},
        {{seeded(), "Nope"}, ".*Nope.*"}};
    for (const auto& [args, error] : cases) {
        const Outcome o = logq(args);
        EXPECT_NE(0, o.status) << error;
        EXPECT_TRUE(has(o, error)) << error;
    }
    EXPECT_FALSE(fs::exists(tmp.file("none.db")));  // not created by the query
}

}  // namespace
