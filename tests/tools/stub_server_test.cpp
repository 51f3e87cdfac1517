// The stand-in messaging server that every daemon test relies on, spoken to over loopback.
#include <httplib.h>

#include <regex>
#include <string>

#include "DaemonHarness.h"

namespace {

class StubServerTest : public corfitest::DaemonTest {
protected:
    // The HTTP status and the answer to `method` on `target`, which goes out as written.
    std::string send(const std::string& method, const std::string& target,
                     const std::string& body) const {
        httplib::Client client("127.0.0.1", port);
        client.set_url_encode(false);
        const auto answer = method == "GET"   ? client.Get(target)
                            : method == "PUT" ? client.Put(target, body, kForm)
                                              : client.Post(target, body, kForm);
        return answer ? std::to_string(answer->status) + " " + answer->body : "no answer";
    }
    static constexpr const char* kForm = "application/x-www-form-urlencoded";
};

TEST_F(StubServerTest, RecordsEachRequestAsAJsonLineWithItsParametersInOrder) {
    const struct {
        const char *method, *target, *body, *recorded;  // recorded: after the time field
    } cases[] = {
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
    std::string expected;  // a line per request, its time stamp as T
    for (const auto& c : cases) {
        EXPECT_EQ("200 200 OK", send(c.method, c.target, c.body));
        expected += std::string("{T,") + c.recorded + "\n";
    }
    const std::regex time(R"(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z",)");
    EXPECT_EQ(expected,
              std::regex_replace(testsupport::readFile(tmp.file("requests.jsonl")), time, "{T,"));
    stub.stop(SIGTERM);
    EXPECT_EQ(0, stub.status());
}

}  // namespace
