// One delivery's outcome and its log lines, against a real server on 127.0.0.1.
#include <gtest/gtest.h>

#include "CVFIdelivery.h"
#include "CorfiTestLog.h"
#include "HttpTestServer.h"

namespace {

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
