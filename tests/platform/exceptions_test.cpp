#include <gtest/gtest.h>

#include <string>

#include "CVDBProcessorFatalException.h"
#include "CVDBexception.h"
#include "CVconException.h"
#include "CVioException.h"

TEST(ExceptionsTest, EachFamilyPrintsItsFieldsInFormatOrder) {
    CVException base("../src/CVioFile", 12, "Base msg", "No such file or directory");
    CVconException con(7, "../src/CVconLock", 66, "Create Lock Failed", "Resource busy");
    CVioException io("/tmp/x", "../src/CVioFile", 215, "File Open Failed", "Permission denied");
    CVDBexception db(255, "../sqlite3/src/CVSQLite3Database", 40, "Open failed", "disk I/O");

    EXPECT_EQ(base.toString(),
              "Exception raised! File[../src/CVioFile] Line[12] Msg[Base msg] "
              "SysMsg[No such file or directory]");
    EXPECT_EQ(con.toString(),
              "Exception raised! ThreadID[7] File[../src/CVconLock] Line[66] "
              "Msg[Create Lock Failed] SysMsg[Resource busy]");
    EXPECT_EQ(io.toString(),
              "Exception raised! IO path[/tmp/x] File[../src/CVioFile] Line[215] "
              "Msg[File Open Failed] SysMsg[Permission denied]");
    EXPECT_EQ(db.toString(),
              "Exception raised! Error code[FF] File[../sqlite3/src/CVSQLite3Database] Line[40] "
              "Msg[Open failed] SysMsg[disk I/O]");
}

TEST(ExceptionsTest, MessageOnlyFormsShowLineZeroAndEmptyBrackets) {
    EXPECT_EQ(CVioException("/p", "File Read Failed").toString(),
              "Exception raised! IO path[/p] File[] Line[0] Msg[File Read Failed] SysMsg[]");
    EXPECT_EQ(CVconException(3, "Lock failed").toString(),
              "Exception raised! ThreadID[3] File[] Line[0] Msg[Lock failed] SysMsg[]");
    EXPECT_EQ(CVDBexception(0x1A2B, "busy").toString(),
              "Exception raised! Error code[1A2B] File[] Line[0] Msg[busy] SysMsg[]");
    CVioException withoutSys("/p", "../src/CVioFile", 472, "File not opened for reading");
    EXPECT_EQ(withoutSys.getSysMessage(), "");
    EXPECT_EQ(withoutSys.getLine(), 472);
}

TEST(ExceptionsTest, LongMessagesArePrintedWhole) {
    std::string message(5000, 'm');
    std::string path(3000, 'p');
    CVioException io(path, "../src/CVioFile", 1, message, std::string(2000, 's'));
    std::string text = io.toString();
    EXPECT_NE(text.find("IO path[" + path + "]"), std::string::npos);
    EXPECT_NE(text.find("Msg[" + message + "]"), std::string::npos);
    EXPECT_NE(text.find("SysMsg[" + std::string(2000, 's') + "]"), std::string::npos);
}

TEST(ExceptionsTest, CaughtThroughTheBaseKeepsTheFamilyFormat) {
    try {
        throw CVioException("/dir", "../src/CVioDirectory", 245, "Read Directory Failed", "x");
    } catch (const CVException& e) {
        EXPECT_EQ(e.toString().rfind("Exception raised! IO path[/dir]", 0), 0u);
        EXPECT_EQ(e.getMessage(), "Read Directory Failed");
        EXPECT_EQ(e.getFile(), "../src/CVioDirectory");
    }
}

TEST(ExceptionsTest, ProcessorFatalDefaultsAndReset) {
    CVDBProcessorFatalException fatal;
    EXPECT_EQ(fatal.getCode(), -1);
    EXPECT_EQ(fatal.getMessage(), "");
    CVDBProcessorFatalException given(5, "cannot open");
    EXPECT_EQ(given.getCode(), 5);
    given.reset();
    EXPECT_EQ(given.getCode(), 0);
    EXPECT_EQ(given.getMessage(), "");
}
