#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <thread>

#include "CVFIdelivery.h"
#include "CorfiTestLog.h"

namespace {

// Delivery to a messaging server on 127.0.0.1 that records the POST bodies and answers a set
// text.
class DeliveryTest : public testsupport::TempDirTest {
protected:
    static void SetUpTestSuite() {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            unsetenv(name);
        curl_global_init(CURL_GLOBAL_ALL);
    }
    void SetUp() override {
        server.Post("/post", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(mutex);
            bodies.push_back(req.body);
            res.set_content(answer, "text/plain");
        });
        url = "http://127.0.0.1:" + std::to_string(server.bind_to_any_port("127.0.0.1")) + "/post";
        thread = std::thread([this] { server.listen_after_bind(); });
        ASSERT_TRUE(testsupport::pollUntil([this] { return server.is_running(); }));
    }
    void TearDown() override { stopServer(); }
    void stopServer() {
        server.stop();
        if (thread.joinable())
            thread.join();
    }
    // The bodies posted since the last call.
    std::vector<std::string> taken() {
        std::lock_guard<std::mutex> guard(mutex);
        return std::move(bodies);
    }
    void answerWith(const std::string& text) {
        std::lock_guard<std::mutex> guard(mutex);
        answer = text;
    }

    const CVFImessage jane{CVFI_KIND_RECEIVER, "Jane", "", "", "", "", 0, "Hello world"};
    corfitest::CorfiTestLog log{tmp};
    httplib::Server server;
    std::string url;
    std::thread thread;
    std::mutex mutex;
    std::string answer = "200 OK";    // guarded by mutex
    std::vector<std::string> bodies;  // guarded by mutex
};

TEST_F(DeliveryTest, EachKindPostsItsParametersInOrder) {
    const std::pair<CVFImessage, std::string> cases[] = {
        {jane, "cmd=Cli&rcv_name=Jane&priority=3&modid=cli&message=Hello%20world"},
        {{CVFI_KIND_GROUP, "", "Ops", "", "", "J7", 0, "Hi"},
         "cmd=Cli&grp_name=Ops&priority=3&modid=cli&jobid=J7&message=Hi"},
        {{CVFI_KIND_QUICK, "", "", "555", "Tel Co", "J8", 0, "Hi"},
         "cmd=Cli&carrier_name=Tel%20Co&priority=3&modid=cli&jobid=J8&pin=555&message=Hi"},
        {{CVFI_KIND_NAME, "Jim", "Ops", "555", "Tel", "", 0, "a&b=c\nd"},
         "cmd=Cli&name=Jim&priority=3&modid=cli&message=a%26b%3dc%0ad"},
    };
    for (const auto& [record, body] : cases) {
        EXPECT_EQ(CVFI_DELIVERED, CVFIdeliverMessage(record, url.c_str(), 0));
        EXPECT_EQ(std::vector<std::string>{body}, taken());
    }
}

TEST_F(DeliveryTest, OnlyAnAnswerBeginningWith200AndASpaceIsADelivery) {
    const std::pair<const char*, bool> cases[] = {{"200 OK", true}, {"200 ", true},
                                                  {"200", false},   {"201 Created", false},
                                                  {"", false},      {"2000 ", false}};
    for (const auto& [answer, delivered] : cases) {
        answerWith(answer);
        EXPECT_EQ(delivered, CVFIdeliverMessage(jane, url.c_str(), 0) == CVFI_DELIVERED) << answer;
        EXPECT_EQ(std::string("[INFO] HTTP(s) server returns [") + answer + "]\n", log.take());
    }
}

TEST_F(DeliveryTest, NothingIsDeliveredBeforeTheTimeForAnInvalidRecordOrWithoutAServer) {
    CVFImessage record = jane;
    record.scheduledTime = 1000;
    EXPECT_EQ(CVFI_NOT_DUE, CVFIdeliverMessage(record, url.c_str(), 999));
    EXPECT_EQ(CVFI_NOT_DUE, CVFIdeliverMessage(record, url.c_str(), 1000));
    record.valid = false;
    EXPECT_EQ(CVFI_NOT_DELIVERED, CVFIdeliverMessage(record, url.c_str(), 1001));
    EXPECT_TRUE(taken().empty());
    EXPECT_EQ("", log.take());
    record.valid = true;
    EXPECT_EQ(CVFI_DELIVERED, CVFIdeliverMessage(record, url.c_str(), 1001));
    EXPECT_EQ(1u, taken().size());
    log.take();
    stopServer();
    EXPECT_EQ(CVFI_NOT_DELIVERED, CVFIdeliverMessage(jane, url.c_str(), 0));
    EXPECT_EQ("[ERROR] Failed to send message to HTTP(s) server [" + url +
                  "] : " + curl_easy_strerror(CURLE_COULDNT_CONNECT) + "\n",
              log.take());
}

TEST_F(DeliveryTest, OutcomeLinesNameTheFirstTargetPresent) {
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
