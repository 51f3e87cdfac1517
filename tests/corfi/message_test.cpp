// One message's way through the daemon's parts: the file read into fields and checked, TIME_AT
// in both directions, its text cleaned, and its delivery and outcome lines against a real server
// on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "CVFIdelivery.h"
#include "CVFImessage.h"
#include "CVFItimeAt.h"
#include "CorfiTestLog.h"
#include "HttpTestServer.h"

namespace {

using MessageLogTest = testsupport::TempDirTest;

std::string describe(const CVFImessage& m) {
    static const char* const kinds[] = {"receiver", "group", "name", "quick"};
    std::string text = kinds[m.kind];
    const std::pair<const char*, const std::string*> fields[] = {
        {"rcv", &m.receiver}, {"grp", &m.group}, {"pin", &m.pin},
        {"car", &m.carrier},  {"job", &m.jobId}, {"msg", &m.message}};
    for (const auto& [name, value] : fields)
        text += value->empty() ? "" : std::string(" ") + name + "=" + *value;
    return text + (m.valid ? " valid" : " invalid");
}

TEST_F(MessageLogTest, FilesAreReadIntoFieldsAndCheckedPerKind) {
    corfitest::CorfiTestLog log(tmp);
    const std::string longJob(100000, 'j');  // lines are read whole, whatever their length
    const struct {
        std::string text, expected, errors;
    } cases[] = {
        {"MESSAGE: hi\n", "receiver msg=hi invalid", "Empty Receiver field"},
        {"RECEIVER:   Jane Doe  \nMESSAGE: Hello\n", "receiver rcv=Jane Doe msg=Hello valid", ""},
        {"RECEIVER: Jane\nNAME: Jim\nGROUP: G\nPIN: 1\nNAME: Jo\nMESSAGE: m",
         "name rcv=Jo grp=G pin=1 msg=m valid", ""},
        {"Receiver: x\n RECEIVER: y\nRECEIVER : z\nGROUP:\tOps\t\nMESSAGE: m",
         "group grp=Ops msg=m valid", ""},
        {"GROUP: Ops\nRECEIVER: Jane\nMESSAGE: m", "receiver rcv=Jane grp=Ops msg=m invalid",
         "RECEIVER and GROUP fields can not be existed together"},
        {"RECEIVER: Jane\nGROUP: Ops\nMESSAGE: m", "group rcv=Jane grp=Ops msg=m invalid",
         "RECEIVER and GROUP fields can not be existed together"},
        {"GROUP: Ops\nCARRIER: C\nGROUP: Ops\nMESSAGE: m", "group grp=Ops car=C msg=m invalid",
         "RECEIVER and PIN or CARRIER fields can not be existed together"},
        {"PIN: 123\nMESSAGE: m", "quick pin=123 msg=m invalid",
         "Unknow CARRIER field in Quick message"},
        {"GROUP: G\nPIN: 1\nCARRIER: X\nMESSAGE: m", "quick grp=G pin=1 car=X msg=m invalid",
         "Can not have GROUP field in Quick message"},
        {"PIN: 5\nCARRIER: Tel\nJOBID: J1\nJOBID: J2\nMESSAGE: m",
         "quick pin=5 car=Tel job=J2 msg=m valid", ""},
        {"RECEIVER: Jane\nMESSAGE: Hello\nRECEIVER: Bob\nworld\n",
         "receiver rcv=Jane msg=HelloRECEIVER: Bob\nworld valid", ""},
        {"RECEIVER: \xe9ric\nJOBID: \x80x\nTIME_AT: \xff\nMESSAGE: \xe9t\nmore\n",
         "receiver rcv=\xe9ric msg=more invalid", "Empty JOBID field\nEmpty TIME_AT field"},
        {"RECEIVER: Jane\r\nMESSAGE: Hello  \r\nworld\r\nagain\r\n",
         "receiver rcv=Jane msg=Hello  world \nagain valid", ""},
        {"RECEIVER: Jane\nJOBID: " + longJob + "GROUP: x\nMESSAGE: m\n",
         "receiver rcv=Jane job=" + longJob + "GROUP: x msg=m valid", ""},
        {"RECEIVER: Jane\n", "receiver rcv=Jane invalid", "Empty MESSAGE field"},
        {"RECEIVER:\nGROUP: #\nPIN:\nCARRIER: \t\nJOBID:\nTIME_AT:\nNAME:\nMESSAGE:\n",
         "receiver invalid",
         "Empty RECEIVER field\nEmpty GROUP field\nEmpty PIN field\nEmpty CARRIER field\nEmpty "
         "JOBID field\nEmpty TIME_AT field\nEmpty NAME field\nEmpty MESSAGE field"},
        {"RECEIVER: J\nTIME_AT: 13-01-10-10-00 \nMESSAGE: m", "receiver rcv=J msg=m invalid",
         "Invalid TIME_AT paramters [13-01-10-10-00]. Should be [MM-DD-YY-HH-MM] format"},
    };
    for (const auto& c : cases) {
        CVFImessage record;
        CVFIparseMessageText(c.text, record);
        CVFIvalidateMessage(record);
        EXPECT_EQ(c.expected, describe(record)) << c.text;
        const std::string errors = c.errors.empty() ? "" : "[ERROR] " + c.errors + "\n";
        EXPECT_EQ(std::regex_replace(errors, std::regex("\n(?=.)"), "\n[ERROR] "), log.take())
            << c.text;
    }
}

// `value` as local time in `zone`.
std::string localText(const char* zone, const char* value) {
    setenv("TZ", zone, 1);
    tzset();
    time_t when = 0;
    if (!CVFIparseTimeAt(value, &when))
        return "out of range";
    char text[32];
    struct tm local {};
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", localtime_r(&when, &local));
    return text;
}

TEST(TimeAt, IsReadAsStandardTimeOneHourEarlyWithinRange) {
    EXPECT_EQ("2010-03-03 09:00:00", localText("UTC", "02-31-10-10-00"));
    EXPECT_EQ("2099-12-31 22:59:00", localText("UTC", "12-31-99-23-59"));
    EXPECT_EQ("1999-12-31 23:00:00", localText("UTC", "01-01-00-00-00"));
    EXPECT_EQ("2003-01-02 03:05:00", localText("UTC", "1-2-3-4-5"));
    EXPECT_EQ("2009-12-31 23:00:00", localText("UTC", "01-01-10"));
    for (const char* value :
         {"13-01-10-10-00", "00-01-10-10-00", "01-00-10-10-00", "01-32-10-10-00", "01-01--1-10-00",
          "01-01-10-24-00", "01-01-10-10-60", "01-01-10--1-00", "tomorrow"})
        EXPECT_EQ("out of range", localText("UTC", value)) << value;
    // Read as standard time even in summer, when the clock then shows the hour written.
    EXPECT_EQ("2010-07-01 10:00:00", localText("America/New_York", "07-01-10-10-00"));
    EXPECT_EQ("2010-01-15 09:00:00", localText("America/New_York", "01-15-10-10-00"));
    unsetenv("TZ");
    tzset();
}

TEST(CleanMessage, KeepsPrintableAsciiAndLineFeedsOnly) {
    EXPECT_EQ("a b-cd", CVFIcleanMessage("a\tb~c\351d"));
    EXPECT_EQ("x \ny", CVFIcleanMessage("x\r\ny\r\n"));
    EXPECT_EQ("ctl  v", CVFIcleanMessage("\001\177ctl\v\fv\033 \n\n\t"));
}

// Wall-clock minutes to TIME_AT values, in zones with and without daylight-saving time.
TEST(TimeAtValue, WritesTheHourOneMoreThanMeantInStandardTime) {
    const struct {
        const char* zone;
        const char* wallClock;
        const char* value;  // empty: refused
    } cases[] = {
        {"UTC", "2026-07-01 09:30", "07-01-26-10-30"},
        // Summer: 10:30 CEST is 09:30 CET. Winter: the hour is simply one more.
        {"Europe/Berlin", "2026-07-01 10:30", "07-01-26-10-30"},
        {"Europe/Berlin", "2026-01-15 10:30", "01-15-26-11-30"},
        // Around midnight: in summer 00:30 is 23:30 standard time the day before, so the value
        // has hour 00; in winter 23:30 moves to hour 00 of the next day, here of the next year.
        {"Europe/Berlin", "2026-07-01 00:30", "07-01-26-00-30"},
        {"Europe/Berlin", "2026-12-31 23:30", "01-01-27-00-30"},
        {"Europe/Berlin", "2026-06-30 23:30", "06-30-26-23-30"},
        // The spring gap does not exist; in the autumn the repeated 02:30 is taken at its
        // first, summer-time occurrence.
        {"Europe/Berlin", "2026-03-29 02:30", ""},
        {"Europe/Berlin", "2026-03-29 03:30", "03-29-26-03-30"},
        {"Europe/Berlin", "2026-10-25 02:30", "10-25-26-02-30"},
        {"Europe/Berlin", "2026-10-25 03:30", "10-25-26-04-30"},
        // The southern summer, and a saving of half an hour.
        {"Australia/Sydney", "2026-01-15 10:30", "01-15-26-10-30"},
        {"Australia/Lord_Howe", "2026-01-15 10:30", "01-15-26-11-00"},
        // Two-digit years: from the first hour of 2000 (read back as the day before) to 2099.
        {"UTC", "1999-12-31 23:30", "01-01-00-00-30"},
        {"UTC", "1999-12-31 22:59", ""},
        {"UTC", "2099-12-31 22:59", "12-31-99-23-59"},
        {"UTC", "2099-12-31 23:00", ""},
        // Malformed texts and dates.
        {"UTC", " 2026-07-01 10:30", ""},
        {"UTC", "2026-07-01T10:30", ""},
        {"UTC", "2026-02-29 10:30", ""},
        {"UTC", "2026-07-01 24:00", ""},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        std::string value, error;
        const bool ok = CVFItimeAtFromWallClock(c.wallClock, value, error);
        EXPECT_EQ(*c.value != '\0', ok) << c.zone << " " << c.wallClock << ": " << error;
        EXPECT_EQ(c.value, ok ? value : "") << c.zone << " " << c.wallClock;
        EXPECT_EQ(ok, error.empty()) << c.wallClock;
    }
    unsetenv("TZ");
    tzset();
}

using DeliveryTest = testsupport::TempDirTest;

TEST_F(DeliveryTest, OnlyAnAnswerBeginningWith200AndASpaceIsADelivery) {
    unsetenv("http_proxy");
    corfitest::CorfiTestLog log(tmp);
    testsupport::HttpTestServer server;
    const CVFImessage jane{CVFI_KIND_RECEIVER, "Jane", "", "", "", "", 0, "Hello world"};
    const std::pair<const char*, bool> cases[] = {{"200 OK", true}, {"200 ", true},
                                                  {"200", false},   {"201 Created", false},
                                                  {"", false},      {"2000 ", false}};
    for (const auto& [answer, delivered] : cases) {
        server.answerWith(answer);
        EXPECT_EQ(delivered, CVFIdeliverMessage(jane, server.url("/").c_str(), 0) == CVFI_DELIVERED)
            << answer;
        EXPECT_EQ(std::string("[INFO] HTTP(s) server returns [") + answer + "]\n", log.take());
    }
}

TEST_F(DeliveryTest, OutcomeLinesNameTheFirstTargetPresent) {
    corfitest::CorfiTestLog log(tmp);
    const struct {
        CVFImessage record;
        std::string completed, failed;
    } cases[] = {
        {{CVFI_KIND_GROUP, "Jane", "Ops", "", "", "", 0, "a\nb"}, "RCPT(Jane), MSG(a\\nb)", ""},
        {{CVFI_KIND_NAME, "Jim", "", "", "", "", 0, "m"}, "RCPT(Jim), MSG(m)", ""},
        {{CVFI_KIND_QUICK, "", "Ops", "5", "Tel", "", 0, "m"}, "GROUP(Ops), MSG(m)", ""},
        {{CVFI_KIND_QUICK, "", "", "5", "Tel", "", 0, "m"}, "QUICK(5), CAR(Tel), MSG(m)", ""},
        {{CVFI_KIND_RECEIVER, "Jane", "", "", "", "", 0, ""}, "RCPT(Jane), MSG()", "Parsing error"},
        {{CVFI_KIND_QUICK, "", "", "5", "", "", 0, "m"}, "", "Parsing error"}};
    for (const auto& c : cases) {
        CVFIlogCompleted(c.record);
        CVFIlogFailed(c.record);
        EXPECT_EQ((c.completed.empty() ? "" : "[INFO] COMPLETED " + c.completed + "\n") +
                      "[INFO] FAILED " + (c.failed.empty() ? c.completed : c.failed) + "\n",
                  log.take());
    }
}

}  // namespace
