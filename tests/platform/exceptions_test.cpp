#include <gtest/gtest.h>

#include <string>

#include "CVDBexception.h"
#include "CVconException.h"
#include "CVioException.h"

TEST(ExceptionsTest, EachFamilyPrintsItsFieldsInFormatOrder) {
    // Printed through the base class, as a handler that catches CVException sees them.
    auto viaBase = [](const CVException& e) { return e.toString(); };
    const std::pair<std::string, std::string> cases[] = {
        {viaBase(CVException("../src/CVioFile", 12, "Base msg", "No such file")),
         "File[../src/CVioFile] Line[12] Msg[Base msg] SysMsg[No such file]"},
        {viaBase(CVconException(7, "../src/CVconLock", 66, "Create Lock Failed", "busy")),
         "ThreadID[7] File[../src/CVconLock] Line[66] Msg[Create Lock Failed] SysMsg[busy]"},
        {viaBase(CVioException("/tmp/x", "../src/CVioFile", 215, "Open", "denied")),
         "IO path[/tmp/x] File[../src/CVioFile] Line[215] Msg[Open] SysMsg[denied]"},
        {viaBase(CVioException("/p", "File Read Failed")),
         "IO path[/p] File[] Line[0] Msg[File Read Failed] SysMsg[]"},
        {viaBase(CVconException(3, "Lock failed")),
         "ThreadID[3] File[] Line[0] Msg[Lock failed] SysMsg[]"},
        {CVDBexception(255, "../src/CVSQLite3Database", 40, "Open", "I/O").toString(),
         "Error code[FF] File[../src/CVSQLite3Database] Line[40] Msg[Open] SysMsg[I/O]"},
        {CVDBexception(0x1A2B, "busy").toString(),
         "Error code[1A2B] File[] Line[0] Msg[busy] SysMsg[]"},
    };
    for (const auto& [printed, fields] : cases)
        EXPECT_EQ("Exception raised! " + fields, printed);
}

TEST(ExceptionsTest, LongTextsArePrintedWhole) {
    const std::string path(3000, 'p'), message(5000, 'm'), sys(2000, 's');
    const std::string text = CVioException(path, "../src/CVioFile", 1, message, sys).toString();
    EXPECT_NE(text.find("IO path[" + path + "]"), std::string::npos);
    EXPECT_NE(text.find("Msg[" + message + "]"), std::string::npos);
    EXPECT_NE(text.find("SysMsg[" + sys + "]"), std::string::npos);
}
