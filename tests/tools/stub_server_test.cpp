// The stand-in messaging server that every daemon test relies on, spoken to over loopback with
// libcurl as the daemon speaks to it.
#include <curl/curl.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "DaemonHarness.h"

namespace {

using Args = std::vector<std::string>;

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// A daemon-like request: HTTP/1.0 by default, no certificate check, a form body for POST.
// Returns the libcurl code, the HTTP status and the body, separated by blanks.
std::string send(const std::string& url, const char* method = "POST", const std::string& body = "",
                 long version = CURL_HTTP_VERSION_1_0) {
    std::string answer;
    long status = 0;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, version);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    if (std::string(method) != "GET")
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    return std::to_string(code) + " " + std::to_string(status) + " " + answer;
}

class StubServerTest : public corfitest::DaemonTest {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }
    std::string url(const std::string& path, const char* scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
    }
    Args recorded() const {
        Args lines;
        std::istringstream in(testsupport::readFile(tmp.file("requests.jsonl")));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

TEST_F(StubServerTest, RecordsEachRequestAsAJsonLineWithItsParametersInOrder) {
    struct Case {
        const char *method, *target, *body, *recorded;  // recorded: after the time field
    };
    const Case cases[] = {
        {"POST", "/send", "cmd=Cli&rcv_name=Jane&priority=3&message=Hello%20world",
         R"("method":"POST","path":"/send","params":[["cmd","Cli"],["rcv_name","Jane"],)"
         R"(["priority","3"],["message","Hello world"]],)"
         R"("body":"cmd=Cli&rcv_name=Jane&priority=3&message=Hello%20world"})"},
        {"POST", "/", "z=%22q%22+%5c&a=%e9&bare&=v&k=",
         R"("method":"POST","path":"/","params":[["z","\"q\" \\"],["a","\u00e9"],)"
         R"(["bare",""],["","v"],["k",""]],"body":"z=%22q%22+%5c&a=%e9&bare&=v&k="})"},
        {"GET", "/a%20b?x=1&y=2", "",
         R"("method":"GET","path":"/a b","params":[["x","1"],["y","2"]],"body":""})"},
        {"PUT", "/p?q=1", "raw\n\x01\xff",
         R"("method":"PUT","path":"/p","params":[["raw\n\u0001\u00ff",""]],"body":"raw\n\u0001\u00ff"})"},
    };
    ASSERT_NO_FATAL_FAILURE(startStub());
    for (const Case& c : cases)
        EXPECT_EQ("0 200 200 OK", send(url(c.target), c.method, c.body));
    const Args lines = recorded();
    ASSERT_EQ(std::size(cases), lines.size());
    const std::regex time(R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z",)");
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_search(lines[i], time)) << lines[i];
        EXPECT_EQ(cases[i].recorded, lines[i].substr(lines[i].find("\"method\"")));
    }
}

// Every request is recorded, also the failed and dropped ones.
TEST_F(StubServerTest, AnswersAsConfigured) {
    const std::string ok = "0 200 200 OK", failed = "0 500 500 Internal error";
    const struct {
        Args options;
        long version;
        Args replies;
    } cases[] = {
        {{}, CURL_HTTP_VERSION_1_1, {ok}},
        {{"--status", "503", "--answer", "busy"}, CURL_HTTP_VERSION_1_0, {"0 503 busy"}},
        {{"--fail-every", "2"}, CURL_HTTP_VERSION_1_0, {ok, failed, ok, failed}},
        {{"--drop"}, CURL_HTTP_VERSION_1_0, {std::to_string(CURLE_GOT_NOTHING) + " 0 "}},
        {{"--delay-ms", "300"}, CURL_HTTP_VERSION_1_0, {ok}},
        {{"--answer-bytes", "9"}, CURL_HTTP_VERSION_1_0, {"0 200 200 xxxxx"}},
        {{"--redirect-to", "/y"}, CURL_HTTP_VERSION_1_0, {"0 307 "}},
        {{"--redirect-to", "http://127.0.0.1:1/", "--status", "301"},
         CURL_HTTP_VERSION_1_1,
         {"0 301 "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "" : c.options[0]);
        unlink(tmp.file("requests.jsonl").c_str());
        ASSERT_NO_FATAL_FAILURE(startStub(c.options));
        const long long before = testsupport::steadyMillis();
        for (const std::string& reply : c.replies)
            EXPECT_EQ(reply, send(url("/x"), "POST", "a=1", c.version));
        const bool delayed = c.options == Args{"--delay-ms", "300"};
        EXPECT_GE(testsupport::steadyMillis() - before, delayed ? 300 : 0);
        EXPECT_EQ(c.replies.size(), recorded().size());
        stub.stop(SIGTERM);
        EXPECT_EQ(0, stub.status());
    }
}

TEST(StubServer, RejectsABadCommandLineWithStatus2) {
    const Args cases[] = {{"--bogus"},
                          {"--port", "70000"},
                          {"--status", "abc"},
                          {"--fail-every", "0"},
                          {"--cert", "c.pem"},
                          {"--delay-ms"},
                          {"--answer-bytes", "3"},
                          {"--redirect-to", "/x", "--status", "200"}};
    for (const Args& bad : cases) {
        const auto run =
            testsupport::runProgram(testsupport::concat({CORVANEXS_STUB_PATH}, bad), {});
        EXPECT_EQ(2, run.status) << bad[0];
        EXPECT_EQ("", run.out) << bad[0];
        EXPECT_NE("", run.err) << bad[0];
    }
}

}  // namespace
