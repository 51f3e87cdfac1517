#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "CVDBProcessorFatalException.h"
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

// A module's table is named after it ('.', ' ' and '-' become '_') and entered in the catalogue,
// where a later processor finds it.
TEST_F(LogProcessorTest, FirstEntryCreatesTheModuleTableAndItsCatalogueRow) {
    CVLogSQLiteProcessor p(db);
    ASSERT_TRUE(p.isInitialized());
    ASSERT_TRUE(p.insertEntry("Sched.x-1 y", "Jobs", 100, 3, "one", 1, "a.cpp"));
    ASSERT_TRUE(p.insertEntry("Sched.x-1 y", "Jobs", 101, 4, "two", 2, "a.cpp"));
    EXPECT_EQ(rowsOf(p, "SELECT * FROM metatable WHERE module_name='Sched.x-1 y';"), 1);
    EXPECT_EQ(rowsOf(p, "SELECT * FROM Sched_x_1_y WHERE module='Jobs';"), 2);
    p.close();
    CVLogSQLiteProcessor again(db);
    EXPECT_EQ(again.getModules().at("Sched.x-1 y"), "Sched_x_1_y");
}

TEST_F(LogProcessorTest, QueriesAndPageCountsSelectTheMatchingRows) {
    CVLogSQLiteProcessor p(db);
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
}

// Only another connection's lock is worth waiting for; these fail for good, at once.
TEST_F(LogProcessorTest, FileThatIsNoDatabaseFailsAtOnce) {
    testsupport::writeFile(db, std::string(4096, 'x'));
    for (const std::string& file : {db, tmp.path()}) {
        const long long started = testsupport::steadyMillis();
        try {
            EXPECT_FALSE(CVLogSQLiteProcessor(file).isInitialized()) << file;
        } catch (const CVDBProcessorFatalException&) {
        }
        EXPECT_LT(testsupport::steadyMillis() - started, 10000) << file;
    }
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
