#include <gtest/gtest.h>

#include <string>

#include "CVDBexception.h"
#include "CVconException.h"
#include "CVioException.h"

// The one table that pins how a source file and line appear in an exception's text; every
// other test checks what went wrong, never where in the source it was raised.
TEST(ExceptionsTest, EachFamilyPrintsItsFieldsInFormatOrderAndWhole) {
    // Printed through the base class, as a handler that catches CVException sees them.
    auto viaBase = [](const CVException& e) { return e.toString(); };
    const std::string path(3000, 'p'), message(5000, 'm');
    const std::pair<std::string, std::string> cases[] = {
        {viaBase(CVException("../src/CVioFile", 12, "Base msg", "No such file")),
         "File[../src/CVioFile] Line[12] Msg[Base msg] SysMsg[No such file]"},
        {viaBase(CVconException(7, "../src/CVconLock", 66, "Create Lock Failed", "busy")),
         "ThreadID[7] File[../src/CVconLock] Line[66] Msg[Create Lock Failed] SysMsg[busy]"},
        {viaBase(CVioException(path, "../src/CVioFile", 215, message, "denied")),
         "IO path[" + path + "] File[../src/CVioFile] Line[215] Msg[" + message +
             "] SysMsg[denied]"},
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
