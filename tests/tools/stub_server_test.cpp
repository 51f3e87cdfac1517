// The stand-in messaging server that every daemon test relies on, spoken to over loopback.
#include <httplib.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "DaemonHarness.h"

namespace {

using Args = std::vector<std::string>;

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
    Args recorded() const {
        Args lines;
        std::istringstream in(testsupport::readFile(tmp.file("requests.jsonl")));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    static constexpr const char* kForm = "application/x-www-form-urlencoded";
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
        EXPECT_EQ("200 200 OK", send(c.method, c.target, c.body));
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
