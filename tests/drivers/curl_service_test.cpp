#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <tuple>

#include "CVcurlService.h"
#include "CVcurlShare.h"
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
            m_resumed = req.ssl != nullptr && SSL_session_reused(req.ssl);
            if (req.path.rfind("/status/", 0) == 0)
                res.status = std::stoi(req.path.substr(8));
            res.set_header("X-Test", "yes");
            res.set_content("200 OK", "text/plain");
            if (req.path.rfind("/big/", 0) == 0)  // a body of N bytes
                res.set_content(std::string(std::stoul(req.path.substr(5)), 'b'), "text/plain");
            for (int i = 0; req.path == "/headers" && i < 10; ++i)  // 100,000 bytes of headers
                res.set_header("X-Big-" + std::to_string(i), std::string(10000, 'h'));
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
    // Whether the last request came over a resumed TLS session.
    bool resumed() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_resumed;
    }

private:
    std::unique_ptr<httplib::Server> m_server;
    std::string m_base;
    std::thread m_thread;
    std::mutex m_mutex;
    std::pair<httplib::Request, std::vector<std::string>> m_last;  // guarded by m_mutex
    bool m_resumed = false;                                        // guarded by m_mutex
};

std::string testCa(const std::string& file) {
    return std::string(TEST_CA_DIR) + "/" + file;
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
    const std::string a100000(100000, 'a');
    std::string spaces;
    for (int i = 0; i < 5000; ++i)
        spaces += "%20";
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
        {{"n=" + a100000}, "", "n=" + a100000, ""},
        {{"n=" + std::string(5000, ' ')}, "", "n=" + spaces, ""},
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

CVcurlSettings trusting(const std::string& caFile, bool verify = true) {
    CVcurlSettings settings;
    settings.caFile = caFile;
    settings.verifyPeer = verify;
    return settings;
}

TEST_F(CurlServiceTest, HttpsIsVerifiedAgainstTheGivenCaOrTheSystemStore) {
    const struct {
        const char* server;  // the certificate's name in the test CA
        CVcurlSettings settings;
        int result;
    } cases[] = {
        {"server", trusting(testCa("ca.pem")), CURLE_OK},
        {"server", trusting(""), CURLE_PEER_FAILED_VERIFICATION},
        {"server", trusting("", false), CURLE_OK},
        {"otherhost", trusting(testCa("ca.pem")), CURLE_PEER_FAILED_VERIFICATION},
        {"otherhost", trusting("", false), CURLE_OK},
        {"server", trusting("/nonexistent/ca.pem"), CURLE_SSL_CACERT_BADFILE},
    };
    // Each case also with a share, which parses the CAs once for all its handles.
    for (const auto& c : cases) {
        for (bool shared : {false, true}) {
            TestServer https(temp, testCa(c.server + std::string(".pem")),
                             testCa(c.server + std::string(".key")));
            CVcurlShare share;
            CVcurlSettings settings = c.settings;
            settings.share = shared ? &share : nullptr;
            CVcurlService tls(true, settings);
            CVcurlRequest request;
            request.url = https.url("/send");
            request.parameters = {"message=Hi there"};
            const int result = tls.SendRequest(request);
            EXPECT_EQ(c.result, result) << c.server << " " << c.settings.caFile << " " << shared
                                        << " " << CVcurlService::GetErrorText(result);
            EXPECT_EQ(c.result == CURLE_OK ? "message=Hi%20there" : "", https.last().first.body);
        }
    }
}

// One handle per request, as delivery makes them: only a share lets the second one resume.
TEST_F(CurlServiceTest, ServicesSharingTheSessionCacheResumeTlsSessions) {
    TestServer https(temp, testCa("server.pem"), testCa("server.key"));
    CVcurlShare share, casOnly(false);
    ASSERT_NE(nullptr, share.handle());
    for (CVcurlShare* shared : {static_cast<CVcurlShare*>(nullptr), &casOnly, &share}) {
        for (bool resumed : {false, shared == &share}) {
            CVcurlSettings settings = trusting(testCa("ca.pem"));
            settings.share = shared;
            CVcurlService tls(true, settings);
            CVcurlRequest request;
            request.url = https.url("/send");
            ASSERT_EQ(CURLE_OK, tls.SendRequest(request));
            EXPECT_EQ(resumed, https.resumed()) << (shared == &share ? "shared" : "not shared");
        }
    }
}

TEST_F(CurlServiceTest, KeepsTheFirst65536BytesOfBodyAndHeadersAndReadsTheRest) {
    const std::pair<std::string, size_t> cases[] = {
        {"/big/100", 100},       {"/big/65536", 65536}, {"/big/65537", 65536},
        {"/big/3000000", 65536}, {"/headers", 65536},
    };
    for (const auto& [path, kept] : cases) {
        ASSERT_EQ(CURLE_OK, send(server.url(path), CVcurlGet)) << path;
        const bool headers = path == "/headers";
        EXPECT_EQ(kept, strlen(headers ? service.GetResponseHeaders() : service.GetResponseBody()))
            << path;
    }
}

// A server that takes the connection into its backlog and never says a word.
class SilentServer {
public:
    SilentServer() : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        EXPECT_EQ(0, bind(m_fd, raw, length));
        EXPECT_EQ(0, listen(m_fd, 4));
        EXPECT_EQ(0, getsockname(m_fd, raw, &length));
        m_url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/send";
    }
    ~SilentServer() { close(m_fd); }
    const std::string& url() const { return m_url; }

private:
    int m_fd;
    std::string m_url;
};

TEST_F(CurlServiceTest, AStopRequestAbortsTheTransferAfterItsGraceTime) {
    const struct {
        std::function<bool()> stop;
        long long graceMs;
    } cases[] = {
        {[] { return true; }, 0},
        {[] { return true; }, 1500},
        {[]() -> bool { throw std::runtime_error("cannot tell"); }, 0},
    };
    SilentServer silent;
    for (const auto& c : cases) {
        CVcurlSettings settings;
        settings.stopRequested = c.stop;
        settings.stopGrace = std::chrono::milliseconds(c.graceMs);
        CVcurlService stopping(true, settings);
        CVcurlRequest request;
        request.url = silent.url();
        const long long before = testsupport::steadyMillis();
        EXPECT_EQ(CURLE_ABORTED_BY_CALLBACK, stopping.SendRequest(request));
        EXPECT_GE(testsupport::steadyMillis() - before, c.graceMs);
    }
}

}  // namespace
