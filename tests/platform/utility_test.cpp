#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "CVsysUtility.h"
#include "CVtextBuffer.h"
#include "TestSupport.h"

TEST(UtilityTest, TrimRemovesWhiteSpaceAtBothEndsInPlace) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {"   ", ""},       {" a ", "a"},           {"x", "x"},
        {"", ""},          {"\t\r\n v w \f\v", "v w"}, {"left  ", "left"},
        {"  right", "right"},
    };
    for (const Case& c : cases) {
        char buffer[64];
        strcpy(buffer, c.input);
        EXPECT_EQ(CVsysUtility::trim(buffer), buffer);
        EXPECT_STREQ(buffer, c.expected) << "input [" << c.input << "]";
    }
    EXPECT_EQ(CVsysUtility::trim(nullptr), nullptr);
}

TEST(UtilityTest, NumbersAndComparison) {
    EXPECT_EQ(CVsysUtility::uintToString(4294967295u), "4294967295");
    EXPECT_EQ(CVsysUtility::intToString(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(CVsysUtility::compareNoCase("CorFi_1", "corfi_1"), 0);
    EXPECT_LT(CVsysUtility::compareNoCase("a", "B"), 0);
}

TEST(UtilityTest, FormatKeepsTextsLongerThanAnyFixedBuffer) {
    std::string big(10000, 'z');
    EXPECT_EQ(CVsysUtility::format("[%s]%d", big.c_str(), 42), "[" + big + "]42");
    EXPECT_EQ(CVsysUtility::format("%s", ""), "");
}

TEST(UtilityTest, SystemErrorMessageIsTheErrnoTextAndKeepsErrno) {
    errno = ENOENT;
    EXPECT_EQ(CVsysUtility::getSystemErrorMessage(), std::string(strerror(ENOENT)));
    EXPECT_EQ(errno, ENOENT);
}

TEST(UtilityTest, FormatTimeGivesLocalTimeOfDay) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char expected[16];
    strftime(expected, sizeof(expected), "%H:%M:%S", &local);
    std::string text = CVsysUtility::formatTime(now, "%H:%M:%S");
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.size(), 8u);
}

TEST(UtilityTest, SleepMillisecondsSleepsAtLeastTheTimeAsked) {
    long long start = testsupport::steadyMillis();
    EXPECT_EQ(CVsysUtility::sleepMilliseconds(1200), 0);
    EXPECT_GE(testsupport::steadyMillis() - start, 1200);
}

TEST(TextBufferTest, GrowsByTheDocumentedSteps) {
    CVtextBuffer buffer;
    ASSERT_TRUE(textBufferCreate(buffer, 0));
    EXPECT_EQ(buffer.data, nullptr);
    ASSERT_TRUE(textBufferAppend(buffer, "0123456789", 10));
    EXPECT_EQ(buffer.capacity, 110);
    EXPECT_EQ(buffer.length, 10);
    std::string ninety(90, 'n');
    ASSERT_TRUE(textBufferAppendText(buffer, ninety.c_str()));
    EXPECT_EQ(buffer.capacity, 110);  // 10 + 90 + 2 still fits
    ASSERT_TRUE(textBufferAppend(buffer, "abcdefghi", 9));
    EXPECT_EQ(buffer.capacity, 209);
    EXPECT_EQ(buffer.length, 109);
    EXPECT_EQ(std::string(buffer.data), "0123456789" + ninety + "abcdefghi");
}

TEST(TextBufferTest, RejectsNullAndEmptyAndClearsToEmptyText) {
    CVtextBuffer buffer;
    ASSERT_TRUE(textBufferCreate(buffer, 16));
    EXPECT_EQ(buffer.capacity, 16);
    EXPECT_FALSE(textBufferAppend(buffer, nullptr, 3));
    EXPECT_FALSE(textBufferAppend(buffer, "abc", 0));
    EXPECT_FALSE(textBufferAppendText(buffer, nullptr));
    ASSERT_TRUE(textBufferAppendText(buffer, "hello"));
    textBufferClear(buffer);
    EXPECT_EQ(buffer.length, 0);
    EXPECT_STREQ(buffer.data, "");
    textBufferFree(buffer);
    EXPECT_EQ(buffer.data, nullptr);
    ASSERT_TRUE(textBufferAppendText(buffer, "again"));
    EXPECT_STREQ(buffer.data, "again");
}
