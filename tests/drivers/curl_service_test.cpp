// The HTTP client the daemon posts with: the form body, the results it reports, and TLS session
// reuse; verification, bounded answers, long bodies and stopping are checked through the daemon.
#include <curl/curl.h>
#include <gtest/gtest.h>

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
    std::string spaces;  // each expands to three characters, across many encoding slices
    for (int i = 0; i < 5000; ++i)
        spaces += "%20";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"=x y"}, "x%20y"},
        {{"v=\xE9-a/b_c.d"}, "v=%e9%2da/b_c.d"},
        {{"a=b=c", "e="}, "a=b%3dc&e="},
        {{}, ""},
        {{"n=" + std::string(5000, ' ')}, "n=" + spaces},
    };
    CVcurlService service;
    for (const auto& [parameters, body] : cases) {
        CVcurlRequest built;
        built.parameters = parameters;
        CVtextBuffer buffer;
        service.BuildParameters(built, buffer);
        EXPECT_EQ(body, buffer.data ? buffer.data : "") << body.substr(0, 40);
    }
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
    EXPECT_STREQ("", service.GetResponseBody());
}

// One handle per request, as delivery makes them: only a share lets the second one resume.
TEST_F(CurlServiceTest, ServicesSharingTheSessionCacheResumeTlsSessions) {
    HttpTestServer https(testCa("server.pem"), testCa("server.key"));
    CVcurlShare share, casOnly(false);
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

}  // namespace
