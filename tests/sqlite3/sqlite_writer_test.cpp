#include "CVsysEventLogSQLiteWriter.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "CVsysEventLogInterface.h"
#include "ChildProcess.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::string>;

class SQLiteWriterTest : public testsupport::TempDirTest {
protected:
    void TearDown() override { CVsysEventLogInterface::DestroyAll(); }
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
    const std::string db_ = tmp.file("log.db");
};

TEST_F(SQLiteWriterTest, SplitsTheModuleAtTheFirstPointAndStoresOtherLevelsAsZero) {
    CVsysEventLogSQLiteWriter writer;
    EXPECT_FALSE(writer.write("corfi", 3, "lost", 1, "a.c", 1000));  // no database yet
    ASSERT_TRUE(writer.setParameter("DbFileName", db_));
    ASSERT_TRUE(writer.isReady());
    const time_t before = time(nullptr);
    EXPECT_TRUE(writer.write("Scheduler.Jobs", 3, "one", 7, "a.c", 1000));
    EXPECT_TRUE(writer.write("Scheduler.Jobs.Run", 9, "two", -1, nullptr, 2000));
    EXPECT_TRUE(writer.write("corfi", 7, "three", 5, "b.c", 0));
    EXPECT_EQ(Rows({"Jobs|1000|3|one|7|a.c", "Jobs.Run|2000|0|two|-1|"}), rows("Scheduler"));
    const Rows daemon = rows("corfi");
    ASSERT_EQ(1u, daemon.size());
    const long stamp = std::atol(daemon[0].c_str() + 1);  // after the empty module column
    EXPECT_GE(stamp, before);
    EXPECT_EQ("|" + std::to_string(stamp) + "|7|three|5|b.c", daemon[0]);
}

TEST_F(SQLiteWriterTest, TruncateEmptiesTheTablesOnlyWhenItFollowsTheDatabaseName) {
    const struct {
        std::vector<std::pair<std::string, std::string>> keys;
        size_t rowsLeft;
    } cases[] = {{{{"truncate", "1"}, {"dbfilename", db_}}, 1},
                 {{{"filename", db_}, {"Truncate", "0"}}, 1},
                 {{{"filename", db_}, {"TRUNCATE", "1"}}, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::filesystem::remove(db_);
        {
            CVsysEventLogSQLiteWriter seed;
            ASSERT_TRUE(seed.setParameter("dbfilename", db_));
            ASSERT_TRUE(seed.write("Mod", 3, "kept?", 1, "a.c", 1));
        }
        CVsysEventLogSQLiteWriter writer;
        for (const auto& [key, value] : c.keys) {
            writer.setParameter(key, value);
        }
        EXPECT_TRUE(writer.isReady());
        EXPECT_EQ(c.rowsLeft, rows("Mod").size());
    }
}

// Two daemons logging to one database meet its module "Bulk" for the first time at once: each
// creates what it finds missing, and neither may take away what the other made.
TEST_F(SQLiteWriterTest, TwoProcessesMeetingANewModuleLoseNoRow) {
    std::string ini = "[main]\n";
    for (const char* module : {"Bulk.A", "Bulk.B"}) {
        ini += std::string(module) + "=" + module + "_logger\n";
    }
    for (const char* module : {"Bulk.A", "Bulk.B"}) {
        ini += std::string("\n[") + module +
               "_logger]\nwriter=sqlite\nlevel=info\ndbfilename=" + db_ + "\n";
    }
    testsupport::writeFile(tmp.file("cvlogs.ini"), ini + "\n[common]\nwriter=file\nlevel=info\n" +
                                                       "filePath=" + tmp.file("common.txt") + "\n");
    const std::string go = tmp.file("go");
    auto logger = [&](testsupport::ChildProcess& child, const std::string& module) {
        child.fork([&, module] {
            CVsysEventLogInterface* log = CVsysEventLogInterface::CreateInstance(
                module, CVsysEventLogInterface::MULTI_THREADED, tmp.path(), "");
            if (log == nullptr || !testsupport::pollUntil([&] { return fs::exists(go); }) ||
                !log->Start()) {
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

// A batch is one transaction: its rows appear together, at its end.
TEST_F(SQLiteWriterTest, BatchIsCommittedOnceAtItsEnd) {
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

}  // namespace
