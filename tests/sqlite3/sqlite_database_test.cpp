#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CVSQLite3Database.h"
#include "ChildProcess.h"
#include "TestSupport.h"

using testsupport::TempDirTest;

class SQLite3DatabaseTest : public TempDirTest {
protected:
    std::string path = tmp.file("test.sdb");
};

TEST_F(SQLite3DatabaseTest, ConstructionCreatesMissingSchemaTablesAndKeepsExistingOnes) {
    const char* const schema[][2] = {{"messages", "msg_id INTEGER PRIMARY KEY, message TEXT"},
                                     {"langs", "id INTEGER"}};
    {
        CVSQLite3Database db(path, schema, 2, false);
        EXPECT_TRUE(db.isInitialized());
        CVSQLite3ResultSet rs;
        int64_t id = -1;
        ASSERT_TRUE(db.executeUpdate("INSERT INTO messages (message) VALUES ('hi');", rs, id));
        EXPECT_EQ(id, 1);
        EXPECT_EQ(rs.getAffectedRowCount(), 1);
    }
    CVSQLite3Database db(path, CVSQLite3Database::Schema{{"messages", "x"}, {"extra", "y"}}, false);
    EXPECT_TRUE(db.tableExists("langs") && db.tableExists("extra"));
    CVSQLite3ResultSet rs;
    ASSERT_TRUE(db.executeQuery("SELECT message FROM messages;", rs));
    EXPECT_EQ(rs.getRowCount(), 1);
}

TEST_F(SQLite3DatabaseTest, FailedStatementRaisesWithTheStatementAndSQLiteText) {
    CVSQLite3Database db(path, true);
    CVSQLite3ResultSet rs;
    try {
        db.executeUpdate("INSERT INTO missing VALUES (1);", rs);
        FAIL() << "nothing was thrown";
    } catch (const CVDBexception& e) {
        EXPECT_EQ(e.getErrorCode(), static_cast<uint32_t>(SQLITE_ERROR));
        EXPECT_EQ(e.getMessage(),
                  "Unable to execute UPDATE query [INSERT INTO missing VALUES (1);].");
        EXPECT_NE(e.getSysMessage().find("no such table: missing"), std::string::npos);
        EXPECT_NE(e.getSysMessage().find(path), std::string::npos);
    }
    EXPECT_EQ(db.getErrorCode(), SQLITE_ERROR);
}

// Only another connection's lock is worth waiting for; these fail for good.
TEST_F(SQLite3DatabaseTest, FileThatIsNoDatabaseFailsAtOnce) {
    testsupport::writeFile(path, std::string(4096, 'x'));
    const char* const schema[][2] = {{"t", "a"}};
    for (const std::string& file : {path, tmp.path()}) {
        const long long started = testsupport::steadyMillis();
        EXPECT_THROW(CVSQLite3Database(file, schema, 1, false), CVDBexception) << file;
        EXPECT_LT(testsupport::steadyMillis() - started, 10000) << file;
    }
}

TEST_F(SQLite3DatabaseTest, BusyCommitIsRetriedThenGivesUpAfterReopen) {
    const std::string held = tmp.file("held"), release = tmp.file("release");
    // Forked before this process opens the file: SQLite's lock bookkeeping must not be shared.
    testsupport::ChildProcess reader;
    reader.fork([&] {
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        const int rc = sqlite3_exec(db, "CREATE TABLE t (a); BEGIN; SELECT * FROM t;", nullptr,
                                    nullptr, nullptr);
        testsupport::writeFile(held, "");
        testsupport::pollUntil([&] { return access(release.c_str(), F_OK) == 0; });
        sqlite3_close_v2(db);
        return rc;
    });
    ASSERT_TRUE(testsupport::pollUntil([&] { return access(held.c_str(), F_OK) == 0; }));
    CVSQLite3Database db(path, true);
    db.setBusyTimeout(0);
    CVSQLite3ResultSet rs;
    ASSERT_TRUE(db.beginImmediate("", false, 1, 0));
    ASSERT_TRUE(db.executeUpdate("INSERT INTO t VALUES (1);", rs));
    const long long started = testsupport::steadyMillis();
    EXPECT_FALSE(db.commit("", true, 3, 100));
    EXPECT_GE(testsupport::steadyMillis() - started, 300);
    EXPECT_FALSE(db.isInTransaction());
    EXPECT_TRUE(db.isInitialized());
    testsupport::writeFile(release, "");
    EXPECT_EQ(0, reader.wait());
    ASSERT_TRUE(db.executeQuery("SELECT * FROM t;", rs));
    EXPECT_EQ(rs.getRowCount(), 0);
}
