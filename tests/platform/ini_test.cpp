#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "CVIniReaderWriterEx.h"
#include "ChildProcess.h"
#include "IniReaderWriter.h"
#include "TestSupport.h"

using testsupport::writeFile;

namespace {

class IniTest : public testsupport::TempDirTest {
protected:
    // Loads `content` through a fresh reader; the caller checks lookups and saves.
    IniReaderWriter& loaded(const std::string& content) {
        writeFile(path, content);
        ini = std::make_unique<IniReaderWriter>(path, true, true, false);
        EXPECT_TRUE(ini->isLoaded());
        return *ini;
    }
    std::string saved() {
        EXPECT_TRUE(ini->saveTo(out));
        return testsupport::readFile(out);
    }

    std::string path = tmp.file("cvlogs.ini");
    std::string out = tmp.file("out.ini");
    std::unique_ptr<IniReaderWriter> ini;
};

TEST_F(IniTest, RoundTripKeepsCommentsOrderAndValuesInNormalisedLayout) {
    loaded("# top comment\ntop=1\n\n\n[First]\na = 1\n# inside\nb=two words  \n\n[second]\nc=3");
    const std::string expected =
        "# top comment\ntop=1\n\n[First]\na =1\n# inside\nb=two words\n\n[second]\nc=3\n";
    EXPECT_EQ(expected, saved());

    loaded(expected);
    EXPECT_EQ(expected, saved());
}

// A line the model cannot hold as written is reported by number, and loading goes on after it.
TEST_F(IniTest, LinesTheModelCannotHoldAreReportedAndCutWithoutOverrun) {
    const struct {
        std::string content;
        int faulty;
    } cases[] = {
        {"[a]\nk=v\n# note\nbare\n=x\n[b]\n", 0},
        {"k=" + std::string(509, 'v') + "\n", 0},
        {"k=" + std::string(600, 'v') + "\nnext=1\n", 1},
        {std::string("[a]\nk=v\0ignored\nnext=1\n", 24), 2},
        {std::string("\0", 1), 1},
        {"[a]\n[b\nk=v\n", 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.faulty, loaded(c.content).faultyLine()) << c.content.substr(0, 20);
    }
    EXPECT_EQ("1", loaded(cases[3].content).getValue("[a]", "next"));
    IniReaderWriter& r = loaded(cases[2].content);
    EXPECT_EQ(std::string(509, 'v'), r.getValue(nullptr, "k"));
    EXPECT_EQ("1", r.getValue(nullptr, "next"));
    r.valueOf(r.getSection("[s]"), "long") = std::string(1000, 'x');
    r.valueOf(r.getSection("[s]"), "after") = "ok";
    EXPECT_NE(std::string::npos, saved().find("\nlong=" + std::string(505, 'x') + "\nafter=ok\n"));
}

TEST_F(IniTest, TwoProcessesIncrementingUnderTheExclusiveLockLoseNothing) {
    writeFile(path, "[c]\nn=0\n");
    auto incrementer = [this] {
        CVIniReaderWriterEx ini(path, true, true);
        // Both children start on one signal so that their updates really interleave.
        testsupport::pollUntil([this] { return CVioFile::exists(tmp.file("go")); },
                               std::chrono::seconds(20), std::chrono::milliseconds(0));
        for (int i = 0; i < 200; ++i) {
            ini.lock(false);
            ini.load();
            int n = std::stoi(ini.getValue("[c]", "n"));
            ini.valueOf(ini.getSection("[c]"), "n") = std::to_string(n + 1);
            ini.save();
            ini.unlock();
        }
        return 0;
    };
    testsupport::ChildProcess first, second;
    first.fork(incrementer);
    second.fork(incrementer);
    writeFile(tmp.file("go"), "");
    EXPECT_EQ(0, first.wait());
    EXPECT_EQ(0, second.wait());
    EXPECT_EQ("400", IniReaderWriter(path, true).getValue("[c]", "n"));
}

}  // namespace
