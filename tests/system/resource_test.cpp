#include "CVresource.h"

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CorfiTestLog.h"
#include "TestSupport.h"

using namespace testing::internal;  // CaptureStderr and friends

namespace {

// What `action` wrote to standard error, without the "ident[pid]: " prefixes.
template <class F>
std::string reported(F action) {
    CaptureStderr();
    action();
    return std::regex_replace(GetCapturedStderr(), std::regex(R"(\w+\[\d+\]: )"), "");
}

// A small table of every type; "log_file" holds 7 characters at most. Not copyable: the
// entries point into it.
struct Table {
    int32_t rest = -1, bulk = -1, when = -1;
    char logFile[8] = "", secret[16] = "";
    CVresource entries[5] = {
        {"rest", CV_RES_INT, &rest, 0, "60", CV_RES_REQUIRED, "Time to rest", false},
        {"bulk_enable", CV_RES_BOOL, &bulk, 0, "FALSE", CV_RES_REQUIRED, "Bulk on", false},
        {"when", CV_RES_TIME, &when, 0, nullptr, CV_RES_OPTIONAL, "Start", false},
        {"log_file", CV_RES_TEXT, logFile, sizeof logFile, nullptr, CV_RES_REQUIRED, "Log", false},
        {"db_password", CV_RES_TEXT, secret, sizeof secret, "pw", CV_RES_HIDDEN, "Secret", false}};
    CVresource* at(const char* name) { return CVresourceFind(entries, 5, name); }
    std::string str(const char* name) { return CVresourceResStr(at(name)); }
};

// What `text` sets `name` to, or what was reported; times in seconds from now, to the minute.
std::string outcome(const char* name, const char* text) {
    Table t;
    const time_t before = time(nullptr);
    const std::string err = reported(
        [&] { EXPECT_EQ(CVresourceSetResource(t.entries, 5, t.at(name), text), t.at(name)->set); });
    if (err.empty() && t.at(name)->type == CV_RES_TIME)
        return "+" + std::to_string((t.when - before) / 60 * 60);
    return err.empty() ? t.str(name) : err;
}

TEST(ResourceSet, ConvertsEachTypeByItsRules) {
    EXPECT_EQ("42", outcome("rest", "  42abc"));
    EXPECT_EQ("0", outcome("rest", "abc"));
    EXPECT_EQ("TRUE", outcome("bulk_enable", "TRUE"));
    EXPECT_EQ("FALSE", outcome("bulk_enable", "true"));
    EXPECT_EQ("abcdefg", outcome("log_file", "abcdefghij"));
    EXPECT_EQ("+300", outcome("when", "+5"));
    EXPECT_EQ("+5400", outcome("when", "+1:30"));
    for (const std::string bad : {"+5x", "+1:", "+1:30x"})
        EXPECT_EQ("Corvane-ERROR CVresourceSetResource: Bad time format " + bad + " != +HH:MM\n",
                  outcome("when", bad.c_str()));
}

// Where the walk stopped, what it set and what it reported.
std::string loadArgs(std::vector<const char*> args) {
    Table t;
    int stop = 0;
    const std::string err = reported([&] {
        stop = CVresourceLoadArgs(t.entries, 5, static_cast<int>(args.size()),
                                  const_cast<char**>(args.data()), true);
    });
    return std::to_string(stop) + " rest=" + t.str("rest") + " bulk=" + t.str("bulk_enable") +
           (err.empty() ? "" : " " + err);
}

TEST(ResourceArgs, WalksNamePairsAndBooleanFlags) {
    EXPECT_EQ("4 rest=5 bulk=TRUE", loadArgs({"prog", "-bulk_enable", "-rest", "5"}));
    EXPECT_EQ("5 rest= bulk=", loadArgs({"prog", "foo", "-rest", "5"}));
    EXPECT_EQ("4 rest= bulk=TRUE prog-ERROR CVresourceLoadArgs: Invalid resource name nosuch\n",
              loadArgs({"prog", "-nosuch", "-rest", "-bulk_enable"}));
    EXPECT_EQ("-1 rest= bulk=", loadArgs({"prog", "-rest"}));
    EXPECT_EQ("-1 rest=3 bulk=", loadArgs({"prog", "-rest", "3", "-when", "later"}).substr(0, 15));
}

class ResourceFileTest : public testsupport::TempDirTest {
protected:
    // Loads `content` into `t` and returns what was reported.
    std::string load(Table& t, const std::string& content, bool report = true) {
        testsupport::writeFile(path, content);
        return reported(
            [&] { EXPECT_EQ(1, CVresourceLoadResFile(t.entries, 5, path.c_str(), report)); });
    }
    const std::string path = tmp.file("corfi_config");
};

TEST_F(ResourceFileTest, ReadsNameColonValueLinesAndReportsBadOnesByNumber) {
    for (auto [line, rest] :
         {std::pair{"rest: 30  ", "30"}, {"rest : 30", "0"}, {"rest: abc", "0"}, {"rest:", "0"}}) {
        Table t;
        EXPECT_EQ("", load(t, line)) << line;
        EXPECT_EQ(rest, t.str("rest")) << line;
    }
    const std::string content =
        "# log_file: /x\n\nrest: 30\nrest: 99\nno colon here\n : value\n"
        "log_file: averyverylongname\nwhen: nope\n  bulk_enable: TRUE\nunknown: 5\r\n";
    const std::string file = "Corvane-ERROR CVresourceLoadResFile: " + path;
    const std::string always =
        "Corvane-ERROR CVresourceSetResource: Bad time format nope != "
        "+HH:MM\n" +
        file + ": #8: bad value\n" + file + ": line 9: syntax error\n";
    Table t, quiet;
    EXPECT_EQ(file + ": line 5: syntax error\n" + file + ": line 6: syntax error\n" + always,
              load(t, content));
    EXPECT_EQ("30 averyve ", t.str("rest") + " " + t.str("log_file") + " " + t.str("bulk_enable"));
    EXPECT_EQ(always, load(quiet, content, false));  // the indented line's report among them
}

TEST_F(ResourceFileTest, RequiredOnesAreNamedWhenMissingAndDumpMasksPasswords) {
    corfitest::CorfiTestLog log(tmp);
    Table t;
    const std::string missing = "Corvane-ERROR CVresourceCheckReqRes: ";
    EXPECT_EQ(missing + "rest is required but not set!\n" + missing +
                  "bulk_enable is required but not set!\n" + missing +
                  "log_file is required but not set!\n",
              reported([&] { EXPECT_EQ(0, CVresourceCheckReqRes(t.entries, 5)); }));
    EXPECT_EQ(1, CVresourceSetResource(t.entries, 5, t.at("rest"), "12"));
    EXPECT_EQ(1, CVresourceSetDefaults(t.entries, 5));
    CVresourceDump(t.entries, 5);
    EXPECT_EQ("[INFO] rest:\t12\n[INFO] bulk_enable:\tFALSE\n[INFO] db_password:\t******\n",
              log.take());
}

}  // namespace
