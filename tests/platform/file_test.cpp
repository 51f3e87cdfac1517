#include "CVioFile.h"

#include <gtest/gtest.h>

#include <functional>

#include "CVioException.h"
#include "TestSupport.h"

using testsupport::thrown;

namespace {

class FileTest : public testsupport::TempDirTest {};

TEST_F(FileTest, MisuseRaisesAMessageNamingWhatWasMissing) {
    CVioFile closed(tmp.file("f")), opened(tmp.file("g")), missing(tmp.file("missing"));
    opened.open("w+");
    char buffer[8];
    std::string line;
    const std::string reading = "File not opened for reading";
    const std::string writing = "File not opened for writting";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { opened.open("r"); }, "File Was Already Open"},
        {[&] { missing.open("r"); }, "File Open Failed"},
        {[&] { closed.write("x", 1); }, writing},
        {[&] { closed.write(std::string("x")); }, writing},
        {[&] { closed.printf("%d", 1); }, writing},
        {[&] { closed.rewind(); }, writing},
        {[&] { closed.readLine(buffer, sizeof buffer); }, reading},
        {[&] { closed.readLine(line); }, reading},
        {[&] { closed.readIniLine(buffer, sizeof buffer); }, reading},
        {[&] { closed.truncate(0); }, reading},
    };
    for (const auto& [operation, message] : cases)
        EXPECT_EQ(message, thrown<CVioException>(operation, &CVioException::getMessage));
    EXPECT_TRUE(opened.isOpen());
    EXPECT_FALSE(missing.isOpen());
    EXPECT_EQ(thrown<CVioException>(cases[1].first, &CVioException::toString),
              "Exception raised! IO path[" + tmp.file("missing") +
                  "] File[../src/CVioFile] Line[215] Msg[File Open Failed] "
                  "SysMsg[No such file or directory]");
}

TEST_F(FileTest, LongLineComesBackInPiecesOf1022Characters) {
    std::string longLine;
    for (int i = 0; i < 3000; ++i)
        longLine += static_cast<char>('a' + i % 26);
    testsupport::writeFile(tmp.file("f"), longLine + "\nnext\n");
    CVioFile file(tmp.file("f"));
    file.open("r");
    std::string piece;
    for (size_t at = 0; at < 2044; at += 1022) {
        EXPECT_EQ(file.readLine(piece), 1022u);
        EXPECT_EQ(piece, longLine.substr(at, 1022));
    }
    EXPECT_EQ(file.readLine(piece), 3000u - 2044 + 1);
    EXPECT_EQ(piece, longLine.substr(2044) + "\n");
    EXPECT_EQ(file.readLine(piece), 5u);
    EXPECT_EQ(file.readLine(piece), 0u);
}

}  // namespace
