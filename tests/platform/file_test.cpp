#include "CVioFile.h"

#include <gtest/gtest.h>

#include <functional>

#include "CVioException.h"
#include "TestSupport.h"

namespace {

class FileTest : public testsupport::TempDirTest {};

CVioException raised(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const CVioException& e) {
        return e;
    }
    ADD_FAILURE() << "no CVioException raised";
    return CVioException("", "");
}

TEST_F(FileTest, OpeningTwiceOrAMissingFileRaises) {
    CVioFile missing(tmp.file("missing"));
    CVioException e = raised([&] { missing.open("r"); });
    EXPECT_EQ(e.toString(), "Exception raised! IO path[" + tmp.file("missing") +
                                "] File[../src/CVioFile] Line[215] Msg[File Open Failed] "
                                "SysMsg[No such file or directory]");
    EXPECT_FALSE(missing.isOpen());

    CVioFile file(tmp.file("f"));
    file.open("w+");
    EXPECT_EQ(file.getMode(), "w+");
    EXPECT_EQ(raised([&] { file.open("r"); }).getMessage(), "File Was Already Open");
    EXPECT_TRUE(file.isOpen());
}

TEST_F(FileTest, OperationsOnAClosedFileNameTheMissingAccess) {
    CVioFile file(tmp.file("f"));
    char buffer[8];
    std::string line;
    const std::string reading = "File not opened for reading";
    const std::string writing = "File not opened for writting";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { file.write("x", 1); }, writing},
        {[&] { file.write(std::string("x")); }, writing},
        {[&] { file.printf("%d", 1); }, writing},
        {[&] { file.rewind(); }, writing},
        {[&] { file.readLine(buffer, sizeof buffer); }, reading},
        {[&] { file.readLine(line); }, reading},
        {[&] { file.readIniLine(buffer, sizeof buffer); }, reading},
        {[&] { file.truncate(0); }, reading},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(raised(c.first).getMessage(), c.second);
    }
}

TEST_F(FileTest, LongLineComesBackInPiecesOf1022Characters) {
    std::string longLine;
    for (int i = 0; i < 3000; ++i) {
        longLine += static_cast<char>('a' + i % 26);
    }
    testsupport::writeFile(tmp.file("f"), longLine + "\nnext\n");
    CVioFile file(tmp.file("f"));
    file.open("r");
    std::string piece;
    EXPECT_EQ(file.readLine(piece), 1022u);
    EXPECT_EQ(piece, longLine.substr(0, 1022));
    EXPECT_EQ(file.readLine(piece), 1022u);
    EXPECT_EQ(piece, longLine.substr(1022, 1022));
    file.readLine(piece);
    EXPECT_EQ(piece, longLine.substr(2044) + "\n");
    EXPECT_EQ(file.readLine(piece), 5u);
    EXPECT_EQ(file.readLine(piece), 0u);
}

TEST_F(FileTest, WritesReachTheFileAndTruncateRewinds) {
    CVioFile file(tmp.file("f"));
    file.open("w+");
    file.write(std::string("abc"));
    file.write("defg", 2);
    file.printf("-%d-", 42);
    EXPECT_EQ(testsupport::readFile(tmp.file("f")), "abcde-42-");
    file.truncate(3);
    file.write(std::string("X"));
    EXPECT_EQ(file.getSize(), 3);
    EXPECT_EQ(testsupport::readFile(tmp.file("f")), "Xbc");
}

}  // namespace
