#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CVSQLite3Database.h"
#include "ChildProcess.h"
#include "TestSupport.h"

using testsupport::TempDirTest;

TEST(SQLite3QuotesTest, EscapesAndReplacesSingleQuotes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"O'Neil", "O''Neil"}, {"''", "''''"}, {"none", "none"}, {"", ""}, {"'a'", "''a''"}};
    for (const auto& [in, escaped] : cases) {
        std::string text = in;
        CVSQLite3Database::escapeQuotes(text);
        EXPECT_EQ(text, escaped);
    }
    char text[] = "it's 'x'";
    CVSQLite3Database::quotesToDouble(text);
    EXPECT_STREQ(text, "it\"s \"x\"");
    CVSQLite3Database::quotesToDouble(nullptr);
}

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

TEST_F(SQLite3DatabaseTest, UpdateOnOpenButUninitialisedDatabaseRunsNothing) {
    CVSQLite3Database db(path, true);
    ASSERT_TRUE(db.close());
    ASSERT_TRUE(db.open(false));
    CVSQLite3ResultSet rs;
    EXPECT_FALSE(db.executeUpdate("CREATE TABLE t (a);", rs));
    EXPECT_FALSE(db.executeQuery("SELECT 1;", rs));
    EXPECT_FALSE(db.tableExists("t"));
}

TEST_F(SQLite3DatabaseTest, ResultSetAccessorsGiveEmptyValuesOutOfRange) {
    CVSQLite3Database db(path, true);
    CVSQLite3ResultSet rs;
    ASSERT_TRUE(db.executeQuery("SELECT 'a' AS x, NULL AS y UNION ALL SELECT 'b', 'c';", rs));
    ASSERT_EQ(rs.getRowCount(), 2);
    EXPECT_TRUE(rs.getRow(-1).empty());
    EXPECT_TRUE(rs.getRow(2).empty());
    const CVDBiRow& row = rs.getRow(0);
    EXPECT_STREQ(CVDBiResultSet::getCell(row, 1).first, "y");
    EXPECT_EQ(CVDBiResultSet::getValue(CVDBiResultSet::getCell(row, 1)), "");
    EXPECT_EQ(CVDBiResultSet::getCell(row, 2).first, nullptr);
    EXPECT_EQ(CVDBiResultSet::getValue(CVDBiResultSet::getCell(rs.getRow(1), 1)), "c");
}

TEST_F(SQLite3DatabaseTest, FailedStatementRaisesWithLineCodeAndSQLiteText) {
    CVSQLite3Database db(path, true);
    CVSQLite3ResultSet rs;
    try {
        db.executeUpdate("INSERT INTO missing VALUES (1);", rs);
        FAIL() << "nothing was thrown";
    } catch (const CVDBexception& e) {
        EXPECT_EQ(e.getFile(), "../sqlite3/src/CVSQLite3Database");
        EXPECT_EQ(e.getLine(), 530);
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
