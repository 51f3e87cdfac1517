// Black-box tests of the stand-in messaging server: the real program, started as a child
// process and spoken to over loopback with libcurl, as the daemon speaks to it.
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "TestSupport.h"

extern char** environ;

namespace {

// A program with its standard output on a pipe and its standard error in a file.
class Child {
public:
    // `command` is run by the shell.
    Child(const std::string& command, const std::string& errorPath) {
        int out[2];
        EXPECT_EQ(0, pipe2(out, O_CLOEXEC));
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry)
            env.push_back(*entry);
        m_process.start({"/bin/sh", "-c", "exec " + command + " 2>" + errorPath}, env, out[1]);
        close(out[1]);
        m_out = out[0];
    }
    ~Child() { close(m_out); }

    // The first line of standard output, without its line feed; empty at end of file.
    std::string firstLine() {
        std::string line;
        char c;
        pollfd out{m_out, POLLIN, 0};
        while (poll(&out, 1, 20000) == 1 && read(m_out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    // The exit status, or 128 + the signal that ended it; killed when not ending in time.
    int wait() {
        if (!m_process.waitForExit())
            m_process.stop(SIGKILL);
        return m_process.status();
    }
    int stop(int signal = SIGTERM) {
        m_process.signal(signal);
        return wait();
    }

private:
    testsupport::ChildProcess m_process;
    int m_out = -1;
};

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

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

class StubServerTest : public testsupport::TempDirTest {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }

    // Starts the stub with `options` and returns its base URL.
    std::string start(const std::string& options, const std::string& scheme = "http") {
        stub = std::make_unique<Child>(CORVANEXS_STUB_PATH " " + options, tmp.file("stderr"));
        const std::string port = stub->firstLine();
        EXPECT_FALSE(port.empty()) << testsupport::readFile(tmp.file("stderr"));
        return scheme + "://127.0.0.1:" + port;
    }
    const std::string record = tmp.file("record.jsonl");
    std::unique_ptr<Child> stub;
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
    const std::string url = start("--record " + record);
    for (const Case& c : cases)
        EXPECT_EQ("0 200 200 OK", send(url + c.target, c.method, c.body));
    const auto recorded = lines(testsupport::readFile(record));
    ASSERT_EQ(std::size(cases), recorded.size());
    const std::regex time(R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z",)");
    for (size_t i = 0; i < recorded.size(); ++i) {
        EXPECT_TRUE(std::regex_search(recorded[i], time)) << recorded[i];
        EXPECT_EQ(cases[i].recorded, recorded[i].substr(recorded[i].find("\"method\"")));
    }
    EXPECT_EQ(0, stub->stop());
}

// Every request is recorded, also the failed and dropped ones.
TEST_F(StubServerTest, AnswersAsConfigured) {
    const std::string ok = "0 200 200 OK", failed = "0 500 500 Internal error";
    const std::tuple<std::string, long, std::vector<std::string>> cases[] = {
        {"", CURL_HTTP_VERSION_1_1, {ok}},
        {"--status 503 --answer busy", CURL_HTTP_VERSION_1_0, {"0 503 busy"}},
        {"--fail-every 2", CURL_HTTP_VERSION_1_0, {ok, failed, ok, failed}},
        {"--drop", CURL_HTTP_VERSION_1_0, {std::to_string(CURLE_GOT_NOTHING) + " 0 "}},
        {"--delay-ms 300", CURL_HTTP_VERSION_1_0, {ok}},
        {"--answer-bytes 9", CURL_HTTP_VERSION_1_0, {"0 200 200 xxxxx"}},
        {"--redirect-to /y", CURL_HTTP_VERSION_1_0, {"0 307 "}},
        {"--redirect-to http://127.0.0.1:1/ --status 301", CURL_HTTP_VERSION_1_1, {"0 301 "}},
    };
    for (const auto& [options, version, replies] : cases) {
        unlink(record.c_str());
        const std::string url = start(options + " --record " + record) + "/x";
        const long long before = testsupport::steadyMillis();
        for (const std::string& reply : replies)
            EXPECT_EQ(reply, send(url, "POST", "a=1", version)) << options;
        EXPECT_GE(testsupport::steadyMillis() - before, options == "--delay-ms 300" ? 300 : 0);
        EXPECT_EQ(replies.size(), lines(testsupport::readFile(record)).size()) << options;
        EXPECT_EQ(0, stub->stop());
    }
}

TEST_F(StubServerTest, ServesHttpsWithACertificateMadeHere) {
    const std::string key = tmp.file("key.pem"), cert = tmp.file("cert.pem");
    Child openssl("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 1 -keyout " +
                      key + " -out " + cert,
                  tmp.file("openssl.err"));
    ASSERT_EQ(0, openssl.wait()) << testsupport::readFile(tmp.file("openssl.err"));
    EXPECT_EQ("0 200 200 OK", send(start("--cert " + cert + " --key " + key, "https") + "/secure"));
    EXPECT_EQ(0, stub->stop(SIGINT));
}

TEST_F(StubServerTest, RejectsABadCommandLineWithStatus2) {
    for (const std::string bad :
         {"--bogus", "--port 70000", "--status abc", "--fail-every 0", "--cert c.pem", "--delay-ms",
          "--answer-bytes 3", "--redirect-to /x --status 200"}) {
        Child child(CORVANEXS_STUB_PATH " " + bad, tmp.file("stderr"));
        EXPECT_EQ("", child.firstLine());
        EXPECT_EQ(2, child.wait()) << bad;
        EXPECT_NE("", testsupport::readFile(tmp.file("stderr"))) << bad;
    }
}

}  // namespace
