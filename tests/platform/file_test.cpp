#include "CVioFile.h"

#include <gtest/gtest.h>

#include <functional>

#include "CVioException.h"
#include "TestSupport.h"

using testsupport::thrown;

namespace {

using FileTest = testsupport::TempDirTest;

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
        {[&] { closed.truncate(0); }, reading},
    };
    for (const auto& [operation, message] : cases)
        EXPECT_EQ(message, thrown<CVioException>(operation, &CVioException::getMessage));
    EXPECT_EQ(tmp.file("missing"), thrown<CVioException>(cases[1].first, &CVioException::getPath));
    EXPECT_EQ("No such file or directory",
              thrown<CVioException>(cases[1].first, &CVioException::getSysMessage));
}

TEST_F(FileTest, LongLineComesBackInPiecesOf1022Characters) {
    std::string longLine;
    for (int i = 0; i < 3000; ++i)
        longLine += static_cast<char>('a' + i % 26);
    testsupport::writeFile(tmp.file("f"), longLine + "\nnext\n");
    CVioFile file(tmp.file("f"));
    file.open("r");
    std::string piece;
    for (const std::string& expected :
         {longLine.substr(0, 1022), longLine.substr(1022, 1022), longLine.substr(2044) + "\n",
          std::string("next\n"), std::string()}) {
        EXPECT_EQ(expected.size(), file.readLine(piece));
        EXPECT_EQ(expected, piece.substr(0, expected.size()));
    }
}

}  // namespace
