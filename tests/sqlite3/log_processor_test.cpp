#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "CVLogSQLiteProcessor.h"
#include "ChildProcess.h"
#include "TestSupport.h"

using testsupport::TempDirTest;

namespace {

int32_t rowsOf(CVLogSQLiteProcessor& p, const std::string& select) {
    int32_t rows = -1;
    EXPECT_TRUE(p.executeUpdate(select, rows)) << p.getErrorMessage();
    return rows;
}

class LogProcessorTest : public TempDirTest {
protected:
    std::string db = tmp.file("log.db");
};

}  // namespace

TEST_F(LogProcessorTest, TableNameReplacesDotsBlanksAndDashes) {
    CVLogSQLiteProcessor p(db, false);
    EXPECT_EQ(p.makeTableName("corfi.bulk-1 x"), "corfi_bulk_1_x");
}

TEST_F(LogProcessorTest, FirstEntryCreatesTableAndCatalogueRowSecondReusesStatement) {
    CVLogSQLiteProcessor p(db);
    ASSERT_TRUE(p.isInitialized());
    ASSERT_TRUE(p.insertEntry("Sched.x", "Jobs", 100, 3, "one", 1, "a.cpp"));
    sqlite3_stmt* first = p.preparedInsert("Sched.x");
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(p.insertEntry("Sched.x", "Jobs", 101, 4, "two", 2, "a.cpp"));
    EXPECT_EQ(p.preparedInsert("Sched.x"), first);
    EXPECT_EQ(sqlite3_stmt_status(first, SQLITE_STMTSTATUS_RUN, 0), 2);
    EXPECT_EQ(rowsOf(p,
                     "SELECT * FROM metatable WHERE module_name='Sched.x' AND "
                     "table_name='Sched_x';"),
              1);
    EXPECT_EQ(rowsOf(p, "SELECT * FROM Sched_x WHERE module='Jobs';"), 2);
    // A fresh processor finds the module through the catalogue.
    p.close();
    CVLogSQLiteProcessor again(db);
    EXPECT_EQ(again.getModules().at("Sched.x"), "Sched_x");
}

TEST_F(LogProcessorTest, WhereClauseBindsEveryValue) {
    CVLogSQLiteProcessor p(db, false);
    CVLogQueryFilter ab;
    ab.modules = {"a", "b'"};
    ab.levels = {1, 3};
    ab.orderByTimestampDesc = true;
    ab.limit = 10;
    CVLogQueryFilter ordered;
    ordered.orderByModule = ordered.orderByLevel = ordered.orderByTimestampDesc = true;
    ordered.limit = 5;
    ordered.offset = -4;
    CVLogQueryFilter since;
    since.earliestTimestamp = 100;
    struct Case {
        CVLogQueryFilter filter;
        std::string date, message;
        int32_t level;
        std::string expected;
        CVLogSQLValues values;
    } cases[] = {
        {ab,
         "",
         "",
         0,
         "WHERE module IN (?, ?) AND level IN (?, ?) ORDER BY timestamp DESC LIMIT 10 OFFSET 0 ",
         {"a", "b'", int64_t{1}, int64_t{3}}},
        {CVLogQueryFilter{}, "", "", 0, " LIMIT -1 OFFSET 0 ", {}},
        {ordered, "", "", 0, "ORDER BY timestamp DESC, module, level LIMIT 5 OFFSET 0 ", {}},
        {since,
         "01/%",
         "x'%",
         3,
         "WHERE message LIKE ? AND level = ?  AND timestamp>=? AND tempcol LIKE ?  LIMIT -1 "
         "OFFSET 0 ",
         {"x'%", int64_t{3}, int64_t{100}, "01/%"}},
    };
    for (const Case& c : cases) {
        CVLogSQLValues values;
        EXPECT_EQ(p.buildWhereClause(c.filter, c.date, c.level, c.message, values), c.expected);
        EXPECT_EQ(values, c.values) << c.expected;
    }
}

TEST_F(LogProcessorTest, QueriesAndPageCountsSelectTheMatchingRows) {
    CVLogSQLiteProcessor p(db);
    EXPECT_FALSE(p.clearAll());  // no module yet
    const struct {
        const char* sub;
        int32_t level;
        const char* message;
    } rows[] = {{"a", 1, "disk full"},
                {"b", 3, "it's here"},
                {"a", 3, "disk ok"},
                {"b", 5, "net down"},
                {"a", 3, "cpu hot"}};
    int64_t time = 1000;
    for (const auto& r : rows) {
        ASSERT_TRUE(p.insertEntry("M", r.sub, time++, r.level, r.message, 7, "m.cpp"));
    }
    CVLogQueryFilter filter;
    filter.modules = {"a"};
    filter.orderByTimestampDesc = true;
    filter.limit = 2;
    CVLogQueryResult result;
    ASSERT_TRUE(p.queryEntries("M", result, filter, "%", 3, ""));
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].message, "cpu hot");
    EXPECT_EQ(result[0].timestamp, 1004);
    EXPECT_EQ(result[1].message, "disk ok");
    EXPECT_EQ(result[1].srcfile, "m.cpp");
    // A quote is just a character of the pattern.
    ASSERT_TRUE(p.queryEntries("M", result, CVLogQueryFilter{}, "", 0, "it's%"));
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0].module, "b");
    EXPECT_FALSE(p.queryEntries("nope", result, filter, "", 0, ""));

    EXPECT_EQ(p.countPages("M", 2, 0, "", ""), 3);
    EXPECT_EQ(p.countPages("M", 2, 3, "", ""), 2);
    EXPECT_EQ(p.countPages("M", 1, 0, "", "*disk*"), 2);
    EXPECT_EQ(p.countPages("M", 1, 5, "*", "*disk*"), 0);
    EXPECT_EQ(p.countPages("M", 0, 0, "", ""), 0);
    EXPECT_EQ(p.countPages("nope", 1, 0, "", ""), 0);

    EXPECT_TRUE(p.clearAll());
    EXPECT_EQ(p.countPages("M", 1, 0, "", ""), 0);
}

TEST_F(LogProcessorTest, DatabaseHeldByAnotherProcessIsWaitedForNotLost) {
    const std::string held = tmp.file("held");
    testsupport::ChildProcess child;
    child.fork([&] {
        CVLogSQLiteProcessor p(db);
        int32_t rows = 0;
        if (!p.insertEntry("M", "child", 1, 3, "before", 1, "c") ||
            !p.executeUpdate("BEGIN EXCLUSIVE TRANSACTION;", rows) ||
            !p.insertEntry("M", "child", 2, 3, "inside", 1, "c")) {
            return 1;
        }
        std::ofstream(held) << "x";
        // Holding the lock for a while is the point of this child.
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        return p.executeUpdate("COMMIT;", rows) ? 0 : 2;
    });
    ASSERT_TRUE(testsupport::pollUntil([&] { return access(held.c_str(), F_OK) == 0; }));
    CVLogSQLiteProcessor p(db);
    ASSERT_TRUE(p.isInitialized()) << p.getErrorMessage();
    EXPECT_TRUE(p.insertEntry("M", "parent", 3, 3, "after", 1, "p")) << p.getErrorMessage();
    EXPECT_EQ(0, child.wait());
    EXPECT_EQ(rowsOf(p, "SELECT * FROM M;"), 3);
}
