// The HTTP client the daemon posts with: the form body, TLS verification and session reuse,
// bounded answers, and a prompt end of a transfer once a stop is requested.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "CVcurlService.h"
#include "CVcurlShare.h"
#include "HttpTestServer.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

using testsupport::HttpTestServer;

const bool kCurlReady = [] {
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}();

std::string testCa(const std::string& file) {
    return std::string(TEST_CA_DIR) + "/" + file;
}

// Every test runs in tmp/work beside tmp/temp, so that the service's "../temp" is private.
class CurlServiceTest : public testsupport::TempDirTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(kCurlReady && fs::create_directory(tmp.file("work")) &&
                    fs::create_directory(tmp.file("temp")));
        fs::current_path(tmp.file("work"));
    }
    void TearDown() override { fs::current_path(m_oldDir); }
    int post(CVcurlService& service, const std::string& url,
             std::vector<std::string> parameters = {}) {
        CVcurlRequest request;
        request.url = url;
        request.method = CVcurlPost;
        request.parameters = std::move(parameters);
        return service.SendRequest(request);
    }

    HttpTestServer server;
    CVcurlService service{false};  // the body buffer gets storage from the first response

private:
    const fs::path m_oldDir = fs::current_path();
};

TEST(CurlParameters, EncodeAndJoinAsTheTableSays) {
    const std::string a100000(100000, 'a');
    std::string spaces;
    for (int i = 0; i < 5000; ++i)
        spaces += "%20";
    const struct {
        std::vector<std::string> parameters;
        std::string extra, body;
    } cases[] = {
        {{"cmd=Cli", "message=Hello world"}, "", "cmd=Cli&message=Hello%20world"},
        {{"=x y"}, "", "x%20y"},
        {{"v=\xE9-a/b_c.d"}, "", "v=%e9%2da/b_c.d"},
        {{"a=b=c", "e="}, "", "a=b%3dc&e="},
        {{"a=1"}, "x=1&y 2", "a=1&x=1&y 2"},
        {{}, "", ""},
        {{"n=" + a100000}, "", "n=" + a100000},
        {{"n=" + std::string(5000, ' ')}, "", "n=" + spaces},
    };
    CVcurlService service;
    for (const auto& c : cases) {
        CVcurlRequest built;
        built.parameters = c.parameters;
        built.extraParameters = c.extra;
        CVtextBuffer buffer;
        service.BuildParameters(built, buffer);
        EXPECT_EQ(c.body, buffer.data ? buffer.data : "") << c.body.substr(0, 40);
    }
    char out[8] = "";
    EXPECT_EQ(0u, CVcurlService::UrlEncode("ab", out, 4));
    EXPECT_EQ(1u, CVcurlService::UrlEncode("ab", out, 5));
    EXPECT_STREQ("a", out);
}

TEST_F(CurlServiceTest, PostsAFormAndResultsDescribeOnlyTheLastRequest) {
    EXPECT_EQ(CURLE_URL_MALFORMAT, post(service, "", {"a=1"}));
    EXPECT_EQ(nullptr, service.GetResponseBody());
    for (int status : {201, 404}) {
        ASSERT_EQ(0, post(service, server.url("/status/" + std::to_string(status)),
                          {"cmd=Cli", "message=Hello world"}));
        EXPECT_EQ(status, service.GetResponseCode());
        EXPECT_STREQ("200 OK", service.GetResponseBody());
    }
    const auto seen = server.take();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ("cmd=Cli&message=Hello%20world", seen[1].body);
    EXPECT_EQ("application/x-www-form-urlencoded", seen[1].get_header_value("Content-Type"));
    server.stop();
    ASSERT_EQ(CURLE_COULDNT_CONNECT, post(service, server.url("/")));
    EXPECT_STREQ("Couldn't connect to server", CVcurlService::GetErrorText(CURLE_COULDNT_CONNECT));
    EXPECT_STREQ("", service.GetResponseBody());
}

// One handle per request, as delivery makes them: only a share lets the second one resume.
TEST_F(CurlServiceTest, ServicesSharingTheSessionCacheResumeTlsSessions) {
    HttpTestServer https(testCa("server.pem"), testCa("server.key"));
    CVcurlShare share, casOnly(false);
    ASSERT_NE(nullptr, share.handle());
    for (CVcurlShare* shared : {static_cast<CVcurlShare*>(nullptr), &casOnly, &share}) {
        for (bool resumed : {false, shared == &share}) {
            CVcurlSettings settings;
            settings.caFile = testCa("ca.pem");
            settings.share = shared;
            CVcurlService tls(true, settings);
            ASSERT_EQ(CURLE_OK, post(tls, https.url("/send")));
            EXPECT_EQ(resumed, https.resumed()) << (shared == &share ? "shared" : "not shared");
        }
    }
}

// A stand-in that takes the connection into its backlog and never says a word.
TEST_F(CurlServiceTest, AStopRequestAbortsTheTransferAfterItsGraceTime) {
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    ASSERT_EQ(0, bind(silent, raw, length));
    ASSERT_EQ(0, listen(silent, 4));
    ASSERT_EQ(0, getsockname(silent, raw, &length));
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    const struct {
        std::function<bool()> stop;
        long long graceMs;
    } cases[] = {
        {[] { return true; }, 0},
        {[] { return true; }, 1500},
        {[]() -> bool { throw std::runtime_error("cannot tell"); }, 0},
    };
    for (const auto& c : cases) {
        CVcurlSettings settings;
        settings.stopRequested = c.stop;
        settings.stopGrace = std::chrono::milliseconds(c.graceMs);
        CVcurlService stopping(true, settings);
        const long long before = testsupport::steadyMillis();
        EXPECT_EQ(CURLE_ABORTED_BY_CALLBACK, post(stopping, url));
        EXPECT_GE(testsupport::steadyMillis() - before, c.graceMs);
    }
    close(silent);
}

}  // namespace
