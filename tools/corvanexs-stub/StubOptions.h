// Command line of the stand-in messaging server.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace stub {

struct StubOptions {
    int port = 0;            // 0: any free port
    std::string recordPath;  // empty: nothing is recorded
    std::string answer = "200 OK";
    int status = 200;
    bool statusGiven = false;
    std::string redirectTo;      // empty: no redirect
    long long answerBytes = -1;  // -1: the answer text
    bool hang = false;
    int delayMs = 0;
    bool drop = false;
    int failEvery = 0;      // 0: never
    int dropEvery = 0;      // 0: never
    int refuseMs = 0;       // connections refused for this long after the start
    int unavailableMs = 0;  // 503 answers for this long after the start
    std::string certPath;   // both set: HTTPS
    std::string keyPath;
    bool help = false;
};

// A command line the server cannot run with; main reports it and exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses the arguments after the program name; throws UsageError.
StubOptions parseStubOptions(const std::vector<std::string>& args);

const char* stubUsageText();

}  // namespace stub
