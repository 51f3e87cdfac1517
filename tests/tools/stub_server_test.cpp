// The stand-in messaging server that every daemon test relies on, spoken to over loopback with
// libcurl as the daemon speaks to it.
#include <curl/curl.h>

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

// A daemon-like request: HTTP/1.0, a form body for POST. Returns the libcurl code, the HTTP
// status and the body, separated by blanks.
std::string send(const std::string& url, const char* method, const std::string& body) {
    std::string answer;
    long status = 0;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
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
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
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
    stub.stop(SIGTERM);
    EXPECT_EQ(0, stub.status());
}

}  // namespace
