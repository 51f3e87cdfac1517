#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <tuple>

#include "CVcurlService.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

const bool kCurlReady = [] {
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}();

// A real server on 127.0.0.1 that remembers the last request; /status/N answers status N.
class TestServer {
public:
    explicit TestServer(const std::string& probeDir, const std::string& cert = "",
                        const std::string& key = "")
        : m_server(cert.empty() ? std::make_unique<httplib::Server>()
                                : std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())) {
        auto handler = [this, probeDir](const httplib::Request& req, httplib::Response& res) {
            std::vector<std::string> probed;
            std::error_code none;
            for (const auto& entry : fs::directory_iterator(probeDir, none))
                probed.push_back(entry.path().filename().string());
            std::lock_guard<std::mutex> guard(m_mutex);
            m_last = {req, probed};
            if (req.path.rfind("/status/", 0) == 0)
                res.status = std::stoi(req.path.substr(8));
            res.set_header("X-Test", "yes");
            res.set_content("200 OK", "text/plain");
        };
        m_server->Get(".*", handler).Post(".*", handler).Put(".*", handler).Delete(".*", handler);
        m_base = std::string(cert.empty() ? "http" : "https") +
                 "://127.0.0.1:" + std::to_string(m_server->bind_to_any_port("127.0.0.1"));
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        EXPECT_TRUE(testsupport::pollUntil([this] { return m_server->is_running(); }));
    }
    ~TestServer() {
        m_server->stop();
        m_thread.join();
    }
    std::string url(const std::string& path) const { return m_base + path; }
    // The last request, with the files that the probe directory held while it was answered.
    std::pair<httplib::Request, std::vector<std::string>> last() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_last;
    }

private:
    std::unique_ptr<httplib::Server> m_server;
    std::string m_base;
    std::thread m_thread;
    std::mutex m_mutex;
    std::pair<httplib::Request, std::vector<std::string>> m_last;  // guarded by m_mutex
};

// A self-signed certificate for 127.0.0.1, made once per run; `suffix` is ".pem" or ".key".
std::string certificate(const std::string& suffix) {
    static const testsupport::TempDir dir;
    static const int made = std::system(
        ("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
         "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
         dir.file("server.key") + " -out " + dir.file("server.pem") + " 2>/dev/null")
            .c_str());
    EXPECT_EQ(0, made);
    return dir.file("server" + suffix);
}

// Every test runs in tmp/work beside tmp/temp, so that "../temp" is a private directory.
class CurlServiceTest : public testsupport::TempDirTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(kCurlReady && fs::create_directory(tmp.file("work")) &&
                    fs::create_directory(temp));
        fs::current_path(tmp.file("work"));
    }
    void TearDown() override { fs::current_path(m_oldDir); }
    // Sends a request of these fields through `service`; `sent` keeps it.
    int send(const std::string& url, CVcurlMethod method,
             std::vector<std::string> parameters = {}) {
        sent = CVcurlRequest();
        sent.url = url;
        sent.method = method;
        sent.parameters = std::move(parameters);
        return service.SendRequest(sent);
    }

    const std::string temp = tmp.file("temp");
    TestServer server{temp};
    CVcurlService service{false};  // the body buffer gets storage from the first response
    CVcurlRequest sent;

private:
    const fs::path m_oldDir = fs::current_path();
};

TEST(CurlParameters, EncodeAndJoinAsTheTableSays) {
    const std::string a20000(20000, 'a'), a10235(10235, 'a');
    const struct {
        std::vector<std::string> parameters;
        std::string extra, buffered, string;  // string: when it differs from buffered
    } cases[] = {
        {{"cmd=Cli", "message=Hello world"}, "", "cmd=Cli&message=Hello%20world", ""},
        {{"=x y"}, "", "x%20y", "=x%20y"},
        {{"abc def"}, "", "abc%20def", ""},
        {{"v=\xE9-a/b_c.d"}, "", "v=%e9%2da/b_c.d", ""},
        {{"a=b=c", "e="}, "", "a=b%3dc&e=", ""},
        {{}, "x=1&y 2", "x=1&y 2", "x%3d1%26y%202"},
        {{"a=1"}, "x=1", "a=1&x=1", "a=1&x%3d1"},
        {{}, "", "", ""},
        {{"n=" + a20000}, "", "n=" + std::string(10236, 'a'), "n=" + a20000},
        {{"n=" + a10235 + " "}, "", "n=" + a10235 + "%20", ""},
    };
    CVcurlService service;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.buffered.substr(0, 40));
        CVcurlRequest built;
        built.parameters = c.parameters;
        built.extraParameters = c.extra;
        CVtextBuffer buffer;
        service.BuildParameters(built, buffer);
        EXPECT_EQ(c.buffered, buffer.data ? buffer.data : "");
        std::string output = "stale";
        service.BuildParameterString(c.parameters, c.extra, output);
        EXPECT_EQ(c.string.empty() ? c.buffered : c.string, output);
    }
    char out[8] = "";
    EXPECT_EQ(0u, CVcurlService::UrlEncode("ab", out, 4));
    EXPECT_EQ(1u, CVcurlService::UrlEncode("ab", out, 5));
    EXPECT_STREQ("a", out);
}

TEST_F(CurlServiceTest, PostSendsTheEncodedFormBody) {
    ASSERT_EQ(0,
              send(server.url("/send"), CVcurlPost,
                   {"cmd=Cli", "rcv_name=Jane", "priority=3", "modid=cli", "message=Hello world"}));
    const httplib::Request seen = server.last().first;
    EXPECT_EQ("cmd=Cli&rcv_name=Jane&priority=3&modid=cli&message=Hello%20world", seen.body);
    EXPECT_EQ("application/x-www-form-urlencoded", seen.get_header_value("Content-Type"));
}

TEST_F(CurlServiceTest, GetAppendsTheParametersWithTheRightSeparator) {
    const std::pair<std::string, std::string> cases[] = {
        {"/send", "/send?b=2%203"},         {"/send?", "/send?b=2%203"},
        {"/send?a=1", "/send?a=1&b=2%203"}, {"/send?a", "/send?a&b=2%203"},
        {"\\send", "/send?b=2%203"},
    };
    for (const auto& [path, target] : cases) {
        ASSERT_EQ(0, send(server.url(path), CVcurlGet, {"b=2 3"}));
        EXPECT_EQ(server.url(target), sent.url);
        EXPECT_EQ(target, server.last().first.target);
    }
}

TEST_F(CurlServiceTest, PutUploadsThroughATemporaryFileThatIsRemovedAfterwards) {
    ASSERT_EQ(0, send(server.url("/up"), CVcurlPut, {"a=1", "b=x y"}));
    const auto [seen, probed] = server.last();
    EXPECT_EQ("a=1&b=x%20y", seen.body);
    ASSERT_EQ(1u, probed.size());
    EXPECT_EQ(0u, probed[0].rfind("CVFileUpload." + std::to_string(getpid()) + ".", 0));
    EXPECT_TRUE(fs::is_empty(temp));
}

// One service, one handle: each request is sent as its own method, whatever came before.
TEST_F(CurlServiceTest, DeleteSendsNoBodyAndEachMethodForgetsThePreviousOne) {
    const std::tuple<CVcurlMethod, const char*, const char*> cases[] = {
        {CVcurlPut, "PUT", "a=1"},    {CVcurlDelete, "DELETE", ""}, {CVcurlPost, "POST", "a=1"},
        {CVcurlDelete, "DELETE", ""}, {CVcurlGet, "GET", ""},
    };
    for (const auto& [method, name, body] : cases) {
        ASSERT_EQ(0, send(server.url("/item"), method, {"a=1"}));
        const httplib::Request seen = server.last().first;
        EXPECT_EQ(name, seen.method);
        EXPECT_EQ(body, seen.body);
        EXPECT_EQ(*body ? "3" : "", seen.get_header_value("Content-Length")) << name;
    }
}

TEST_F(CurlServiceTest, ResultsAndBuffersDescribeOnlyTheLastRequest) {
    EXPECT_EQ(CURLE_URL_MALFORMAT, send("", CVcurlPost, {"a=1"}));
    EXPECT_FALSE(service.IsOpen());

    EXPECT_EQ(nullptr, service.GetResponseBody());
    for (int status : {201, 404}) {
        ASSERT_EQ(0, send(server.url("/status/" + std::to_string(status)), CVcurlGet));
        EXPECT_EQ(status, service.GetResponseCode());
        EXPECT_STREQ("200 OK", service.GetResponseBody());
        const std::string headers = service.GetResponseHeaders();
        EXPECT_EQ(" " + std::to_string(status) + " ", headers.substr(8, 5)) << headers;
        EXPECT_NE(std::string::npos, headers.find("X-Test: yes\r\n"));
    }

    const std::string refused = TestServer(temp).url("/");  // stopped again: nothing listens
    ASSERT_EQ(CURLE_COULDNT_CONNECT, send(refused, CVcurlPost));
    EXPECT_STREQ("Couldn't connect to server", CVcurlService::GetErrorText(CURLE_COULDNT_CONNECT));
    EXPECT_STREQ("", service.GetResponseBody());
    EXPECT_STREQ("", service.GetResponseHeaders());
}

TEST_F(CurlServiceTest, HttpsWorksAgainstASelfSignedServer) {
    TestServer https(temp, certificate(".pem"), certificate(".key"));
    const int result = send(https.url("/send"), CVcurlPost, {"message=Hi there"});
    ASSERT_EQ(0, result) << CVcurlService::GetErrorText(result);
    EXPECT_STREQ("200 OK", service.GetResponseBody());
    EXPECT_EQ("message=Hi%20there", https.last().first.body);
}

}  // namespace
