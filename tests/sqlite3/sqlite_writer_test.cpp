#include "CVsysEventLogSQLiteWriter.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "CVsysEventLogInterface.h"
#include "TestSupport.h"

namespace {

using Rows = std::vector<std::string>;

class SQLiteWriterTest : public testsupport::TempDirTest {
protected:
    void TearDown() override { CVsysEventLogInterface::DestroyAll(); }
    // "module|timestamp|level|message|line|srcfile" of every row of `table`, in insert order.
    Rows rows(const std::string& table) const {
        sqlite3* db = nullptr;
        Rows out;
        EXPECT_EQ(SQLITE_OK, sqlite3_open(db_.c_str(), &db));
        const std::string sql =
            "SELECT module||'|'||timestamp||'|'||level||'|'||message||'|'||"
            "line||'|'||srcfile FROM " +
            table + " ORDER BY id;";
        auto collect = [](void* to, int, char** values, char**) {
            static_cast<Rows*>(to)->push_back(values[0]);
            return 0;
        };
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), collect, &out, nullptr)) << table;
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

TEST_F(SQLiteWriterTest, EventLogIsCreatedOnlyWithAnOpenableDatabase) {
    const struct {
        std::string keys;
        bool created;
    } cases[] = {{"", false},
                 {"dbfilename=" + tmp.file("none/x.db") + "\n", false},
                 {"dbfilename=" + db_ + "\n", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        CVsysEventLogInterface::DestroyAll();
        testsupport::writeFile(tmp.file("cvlogs.ini"),
                               "[main]\nSched=Sched_logger\n\n[Sched_logger]\nwriter=sqlite\n"
                               "level=trace\n" +
                                   c.keys +
                                   "\n[common]\nwriter=file\nlevel=info\n"
                                   "filePath=" +
                                   tmp.file("common.txt") + "\n");
        // No log directory: with one, a section whose database lies elsewhere is rewritten.
        CVsysEventLogInterface* log = CVsysEventLogInterface::CreateInstance(
            "Sched", CVsysEventLogInterface::SINGLE_THREADED, tmp.path(), "");
        EXPECT_EQ(c.created, log != nullptr);
        if (log) {
            ASSERT_TRUE(log->Start());
            EXPECT_TRUE(log->warn("hello", 3, "s.c"));
            log->Stop();
            ASSERT_EQ(1u, rows("Sched").size());
            EXPECT_NE(std::string::npos, rows("Sched")[0].find("|4|hello|3|s.c"));
        }
    }
}

TEST_F(SQLiteWriterTest, TwoProcessesWritingAtOnceLoseNoRow) {
    {  // the table exists beforehand, so neither child creates it under the other
        CVsysEventLogSQLiteWriter seed;
        ASSERT_TRUE(seed.setParameter("dbfilename", db_));
        ASSERT_TRUE(seed.write("Bulk", 3, "seed", 1, "s.c", 1));
    }
    const std::string go = tmp.file("go");
    auto writer = [&](const std::string& module) {
        return testsupport::startChild([&, module] {
            CVsysEventLogSQLiteWriter writer;
            if (!writer.setParameter("dbfilename", db_) ||
                !testsupport::pollUntil([&] { return std::filesystem::exists(go); })) {
                return 2;
            }
            int lost = 0;
            for (int i = 0; i < 500; ++i) {
                lost += writer.write(module, 3, "entry " + std::to_string(i), i, "w.c", 1) ? 0 : 1;
            }
            return lost == 0 ? 0 : 1;
        });
    };
    const pid_t first = writer("Bulk.A");
    const pid_t second = writer("Bulk.B");
    testsupport::writeFile(go, "");
    EXPECT_EQ(0, testsupport::waitChild(first));
    EXPECT_EQ(0, testsupport::waitChild(second));
    const Rows all = rows("Bulk");
    EXPECT_EQ(1001u, all.size());
    EXPECT_EQ(500, std::count_if(all.begin(), all.end(), [](auto& r) { return r[0] == 'A'; }));
}

}  // namespace
