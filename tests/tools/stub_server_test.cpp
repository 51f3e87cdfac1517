// Black-box tests of the stand-in messaging server: the real program, started as a child
// process and spoken to over loopback with libcurl, as the daemon speaks to it.
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"

extern char** environ;

namespace {

using testsupport::steadyMillis;

// Runs a program with its standard output on a pipe and its standard error in a file.
class Child {
public:
    Child(std::vector<std::string> args, const std::string& errorPath) {
        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_out = fds[0];
        if (rc != 0) {
            close(m_out);
            throw std::runtime_error("cannot start " + args[0]);
        }
    }
    ~Child() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
    }

    // The first line of standard output, without its line feed; empty at end of file.
    std::string firstLine() {
        std::string line;
        char c;
        pollfd out{m_out, POLLIN, 0};
        while (poll(&out, 1, 20000) == 1 && read(m_out, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }
    // The exit status, or 128 + the signal that ended it; a child that does not end within
    // the deadline is killed.
    int wait() {
        int status = 0;
        if (!testsupport::pollUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; })) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int stop(int signal = SIGTERM) {
        kill(m_pid, signal);
        return wait();
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

struct Reply {
    CURLcode code;
    long status;
    std::string body;
};

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// A daemon-like request: HTTP/1.0 by default, no certificate check, a form body for POST.
Reply send(const std::string& url, const char* method = "POST", const std::string& body = "",
           long version = CURL_HTTP_VERSION_1_0, const char* contentType = nullptr) {
    Reply reply{CURLE_OK, 0, ""};
    CURL* curl = curl_easy_init();
    curl_slist* headers = contentType ? curl_slist_append(nullptr, contentType) : nullptr;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, version);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    if (std::string(method) != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    reply.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return reply;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

class StubServerTest : public testsupport::TempDirTest {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }

    // Starts the stub with `args` and returns its base URL.
    std::string start(std::vector<std::string> args, const std::string& scheme = "http") {
        args.insert(args.begin(), CORVANEXS_STUB_PATH);
        stub = std::make_unique<Child>(args, tmp.file("stderr"));
        const std::string port = stub->firstLine();
        EXPECT_FALSE(port.empty()) << testsupport::readFile(tmp.file("stderr"));
        return scheme + "://127.0.0.1:" + port;
    }
    std::string recordFile() const { return tmp.file("record.jsonl"); }

    std::unique_ptr<Child> stub;
};

TEST_F(StubServerTest, RecordsEachRequestAsAJsonLineWithItsParametersInOrder) {
    struct Case {
        const char* method;
        const char* target;
        std::string body;
        const char* contentType;  // null: libcurl's form type for a body
        const char* recorded;     // the line after its time field
    };
    const Case cases[] = {
        {"POST", "/send", "cmd=Cli&rcv_name=Jane&priority=3&message=Hello%20world", nullptr,
         R"("method":"POST","path":"/send","params":[["cmd","Cli"],["rcv_name","Jane"],)"
         R"(["priority","3"],["message","Hello world"]],)"
         R"("body":"cmd=Cli&rcv_name=Jane&priority=3&message=Hello%20world"})"},
        {"POST", "/", "z=%22q%22+%5c&a=%e9&bare&=v&k=", nullptr,
         R"("method":"POST","path":"/","params":[["z","\"q\" \\"],["a","\u00e9"],)"
         R"(["bare",""],["","v"],["k",""]],"body":"z=%22q%22+%5c&a=%e9&bare&=v&k="})"},
        {"GET", "/a%20b?x=1&y=2", "", nullptr,
         R"("method":"GET","path":"/a b","params":[["x","1"],["y","2"]],"body":""})"},
        {"DELETE", "/d?id=7", "", nullptr,
         R"("method":"DELETE","path":"/d","params":[["id","7"]],"body":""})"},
        {"PUT", "/p?q=1", std::string("raw\n\x01\xff", 6), "Content-Type: text/plain",
         R"("method":"PUT","path":"/p","params":[["q","1"]],"body":"raw\n\u0001\u00ff"})"},
    };
    const std::string url = start({"--record", recordFile()});
    for (const Case& c : cases) {
        EXPECT_EQ(
            CURLE_OK,
            send(url + c.target, c.method, c.body, CURL_HTTP_VERSION_1_0, c.contentType).code);
    }
    const auto recorded = lines(testsupport::readFile(recordFile()));
    ASSERT_EQ(std::size(cases), recorded.size());
    const std::regex time(R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z",)");
    for (size_t i = 0; i < recorded.size(); ++i) {
        EXPECT_TRUE(std::regex_search(recorded[i], time)) << recorded[i];
        EXPECT_EQ(cases[i].recorded, recorded[i].substr(recorded[i].find("\"method\"")));
    }
    EXPECT_EQ(0, stub->stop());
}

TEST_F(StubServerTest, AnswersHttp10And11ClientsWithTheConfiguredStatusAndText) {
    struct Case {
        std::vector<std::string> args;
        long version;
        long status;
        const char* body;
    };
    const Case cases[] = {
        {{}, CURL_HTTP_VERSION_1_0, 200, "200 OK"},
        {{}, CURL_HTTP_VERSION_1_1, 200, "200 OK"},
        {{"--status", "503", "--answer", "busy now"}, CURL_HTTP_VERSION_1_0, 503, "busy now"},
    };
    for (const Case& c : cases) {
        const Reply reply = send(start(c.args) + "/x", "POST", "a=1", c.version);
        EXPECT_EQ(CURLE_OK, reply.code);
        EXPECT_EQ(c.status, reply.status);
        EXPECT_EQ(c.body, reply.body);
        EXPECT_EQ(0, stub->stop());
    }
}

TEST_F(StubServerTest, FailsEveryNthRequestWithStatus500) {
    const std::string url = start({"--fail-every", "3"});
    for (int i = 1; i <= 6; ++i) {
        const Reply reply = send(url + "/x", "POST", "a=1");
        EXPECT_EQ(i % 3 == 0 ? 500 : 200, reply.status) << "request " << i;
        EXPECT_EQ(i % 3 == 0 ? "500 Internal error" : "200 OK", reply.body);
    }
    EXPECT_EQ(0, stub->stop());
}

TEST_F(StubServerTest, DropsTheConnectionWithoutAnswerAfterRecordingTheRequest) {
    const std::string url = start({"--drop", "--record", recordFile()});
    const Reply reply = send(url + "/x", "POST", "cmd=Cli");
    EXPECT_EQ(CURLE_GOT_NOTHING, reply.code);
    EXPECT_EQ(1u, lines(testsupport::readFile(recordFile())).size());
    EXPECT_EQ(0, stub->stop());
}

TEST_F(StubServerTest, DelaysEachAnswer) {
    const std::string url = start({"--delay-ms", "300"});
    const long long before = steadyMillis();
    EXPECT_EQ(CURLE_OK, send(url + "/x").code);
    EXPECT_GE(steadyMillis() - before, 300);
    EXPECT_EQ(0, stub->stop());
}

TEST_F(StubServerTest, ServesHttpsWithTheGivenCertificate) {
    const std::string key = tmp.file("key.pem"), cert = tmp.file("cert.pem");
    Child openssl({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                   "/CN=127.0.0.1", "-days", "1", "-keyout", key, "-out", cert},
                  tmp.file("openssl.err"));
    ASSERT_EQ(0, openssl.wait()) << testsupport::readFile(tmp.file("openssl.err"));
    const std::string url = start({"--cert", cert, "--key", key}, "https");
    const Reply reply = send(url + "/secure", "POST", "a=1");
    EXPECT_EQ(CURLE_OK, reply.code) << curl_easy_strerror(reply.code);
    EXPECT_EQ("200 OK", reply.body);
    EXPECT_EQ(0, stub->stop(SIGINT));
}

TEST_F(StubServerTest, RecordsConcurrentRequestsAsWholeLines) {
    const std::string url = start({"--record", recordFile()});
    const std::string body = "message=" + std::string(2000, 'x');
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                const Reply reply = send(url + "/x", "POST", body);
                EXPECT_EQ(CURLE_OK, reply.code) << curl_easy_strerror(reply.code);
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    const auto recorded = lines(testsupport::readFile(recordFile()));
    ASSERT_EQ(40u, recorded.size());
    for (const auto& line : recorded) {
        EXPECT_EQ(std::string(R"(,"body":")") + body + "\"}", line.substr(line.find(",\"body\":")));
    }
    EXPECT_EQ(0, stub->stop());
}

TEST_F(StubServerTest, RejectsABadCommandLineWithStatus2) {
    const std::vector<std::vector<std::string>> badLines = {
        {"--bogus"},           {"--port", "70000"}, {"--status", "abc"},
        {"--fail-every", "0"}, {"--cert", "c.pem"}, {"--delay-ms"},
    };
    for (auto args : badLines) {
        args.insert(args.begin(), CORVANEXS_STUB_PATH);
        Child child(args, tmp.file("stderr"));
        EXPECT_EQ("", child.firstLine());
        EXPECT_EQ(2, child.wait()) << args[1];
        EXPECT_NE("", testsupport::readFile(tmp.file("stderr"))) << args[1];
    }
}

}  // namespace
